// The runner's HTTP listener as scrapers and API clients see it:
// q318b-host against the built-in simulator with --http on a free loopback
// port; /metrics holds the scenario's values and passes promtool's check;
// the JSON API gives the same values, the stored rows by time range, and a
// scripted mains failure as it is raised and cleared; a port in use
// refuses the start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";

using e2e::JsonText;
using e2e::ParseJson;
Json::Value Parse(const std::string& text) {
    return ParseJson(text);
}
std::string Text(const Json::Value& v) {
    return JsonText(v);
}

// A loopback socket bound to a port the kernel picked; `listening` keeps it
// so that the port stays taken.
struct PortHolder {
    int fd = -1;
    int port = 0;
    explicit PortHolder(bool listening) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot bind a loopback port");
        port = ntohs(a.sin_port);
        if (listening) {
            if (::listen(fd, 1) != 0) throw std::runtime_error("listen failed");
        } else {
            ::close(fd);
            fd = -1;
        }
    }
    ~PortHolder() {
        if (fd >= 0) ::close(fd);
    }
};

// The demo controller answering fast, with the timetable `events` (none
// by default).
void WriteSite(const TempDir& dir, double poll_interval = 2.2,
               const Json::Value& events = Json::Value(Json::arrayValue)) {
    dir.Write("scenario.json", Text(e2e::FastScenario("demo_site.json", events)));

    Json::Value d(Json::objectValue);
    d["data_id"] = 1001;
    d["name"] = "demo \"east\"";
    d["port"] = "sim:scenario.json";
    d["poll_interval"] = poll_interval;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
    // Every round stored: the series and plots count them.
    site["history"]["min_interval_s"] = 0;
    dir.Write("site.json", Text(site));
}

// Sample lines by their name and labels as written.
std::map<std::string, double> Samples(const std::string& page) {
    std::map<std::string, double> out;
    std::istringstream in(page);
    for (std::string l; std::getline(in, l);) {
        if (l.empty() || l[0] == '#') continue;
        const auto sp = l.rfind(' ');
        out[l.substr(0, sp)] = std::strtod(l.c_str() + sp + 1, nullptr);
    }
    return out;
}

TEST(HttpE2e, MetricsCarryTheScenarioAndPassPromtool) {
    ASSERT_EQ(std::system("command -v promtool >/dev/null 2>&1"), 0)
        << "promtool is missing (scripts/bootstrap.sh installs package prometheus)";
    TempDir dir;
    WriteSite(dir);
    const int port = PortHolder(false).port;
    Child host({kHost, "--site", dir / "site.json", "--json", "--no-db", "--http",
                "127.0.0.1:" + std::to_string(port)},
               dir.path());

    // Two published records: the first round has been stored and the loop
    // has turned since, so the snapshot holds it.
    int records = 0;
    const auto deadline = In(30);
    while (records < 2) {
        auto line = host.ReadLine(deadline);
        ASSERT_TRUE(line) << "no second record; stderr: " << host.stderr_text();
        if (Parse(*line)["event"].asString() == "record") ++records;
    }

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(5, 0);
    auto res = client.Get("/metrics");
    ASSERT_TRUE(res) << "no answer from the listener";
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    const std::string page = res->body;
    const auto samples = Samples(page);

    const std::string dev = "data_id=\"1001\",name=\"demo \\\"east\\\"\"";
    struct Want {
        std::string sample;
        double value;
    };
    const Want wants[] = {
        {"q318b_ac_voltage_volts{" + dev + ",input=\"1\",phase=\"A\"}", 229.5},
        {"q318b_ac_voltage_volts{" + dev + ",input=\"1\",phase=\"B\"}", 231.25},
        {"q318b_ac_voltage_volts{" + dev + ",input=\"1\",phase=\"C\"}", 230.75},
        {"q318b_ac_frequency_hertz{" + dev + ",input=\"1\"}", 50},
        {"q318b_ac_current_amperes{" + dev + ",phase=\"A\"}", 12.5},
        {"q318b_ac_current_amperes{" + dev + ",phase=\"B\"}", 11.75},
        {"q318b_ac_current_amperes{" + dev + ",phase=\"C\"}", 12},
        {"q318b_rectifier_output_voltage_volts{" + dev + "}", 53.5},
        {"q318b_module_current_amperes{" + dev + ",module=\"1\"}", 10.5},
        {"q318b_module_current_amperes{" + dev + ",module=\"2\"}", 11},
        {"q318b_module_current_amperes{" + dev + ",module=\"3\"}", 0},
        {"q318b_module_state{" + dev + ",module=\"3\",byte=\"1\"}", 1},
        {"q318b_module_state{" + dev + ",module=\"2\",byte=\"2\"}", 1},
        {"q318b_module_fault{" + dev + ",module=\"3\"}", 3},
        {"q318b_module_fault{" + dev + ",module=\"1\"}", 0},
        {"q318b_dc_bus_voltage_volts{" + dev + ",group=\"1\"}", 53.5},
        {"q318b_dc_battery_current_amperes{" + dev + ",group=\"1\",battery=\"1\"}", 2.5},
        {"q318b_dc_battery_current_amperes{" + dev + ",group=\"1\",battery=\"2\"}", -1.25},
        {"q318b_link_up{" + dev + "}", 1},
        {"q318b_frames_total{" + dev + ",outcome=\"timeout\"}", 0},
        {"q318b_frames_total{" + dev + ",outcome=\"bad_checksum\"}", 0},
    };
    for (const auto& w : wants) {
        auto it = samples.find(w.sample);
        ASSERT_NE(it, samples.end()) << w.sample << "\n" << page;
        EXPECT_DOUBLE_EQ(it->second, w.value) << w.sample;
    }
    EXPECT_EQ(samples.count("q318b_module_current_amperes{" + dev + ",module=\"4\"}"), 0u);
    EXPECT_GE(samples.at("q318b_rounds_completed_total{" + dev + "}"), 1);
    EXPECT_GE(samples.at("q318b_frames_total{" + dev + ",outcome=\"good\"}"), 5);
    const double age = samples.at("q318b_last_round_age_seconds{" + dev + "}");
    EXPECT_GE(age, 0);
    EXPECT_LT(age, 30);
    EXPECT_EQ(page.find("nan"), std::string::npos);
    EXPECT_EQ(client.Get("/nothing")->status, 404);

    dir.Write("metrics.txt", page);
    const std::string check = "promtool check metrics < '" + (dir / "metrics.txt") + "' > '" +
                              (dir / "promtool.out") + "' 2>&1";
    const int rc = std::system(check.c_str());
    std::ifstream pin(dir / "promtool.out");
    std::stringstream pout;
    pout << pin.rdbuf();
    EXPECT_EQ(rc, 0) << pout.str() << "\n" << page;

    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(In(10)), 0) << host.stderr_text();
}

TEST(HttpE2e, PortInUseRefusesTheStart) {
    TempDir dir;
    WriteSite(dir);
    PortHolder taken(true);
    Child host({kHost, "--site", dir / "site.json", "--no-db", "--diag", dir / "diag.log", "--http",
                "127.0.0.1:" + std::to_string(taken.port)},
               dir.path());
    EXPECT_EQ(host.Wait(In(20)), 2);
    const std::string err = host.stderr_text();
    EXPECT_NE(err.find(std::to_string(taken.port)), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(e2e::FileExists(dir / "diag.log"));
}

TEST(HttpE2e, BadListenAddressesRefusedWithOneLine) {
    TempDir dir;
    WriteSite(dir);
    const char* const bad[] = {"9318",           "127.0.0.1:", "127.0.0.1:0",  "127.0.0.1:65536",
                               "example.org:80", ":9318",      "127.0.0.1:80x"};
    for (const char* addr : bad) {
        Child host({kHost, "--site", dir / "site.json", "--no-db", "--http", addr}, dir.path());
        EXPECT_EQ(host.Wait(In(20)), 2) << addr;
        const std::string err = host.stderr_text();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << addr << ": " << err;
        EXPECT_NE(err.find("--http"), std::string::npos) << addr << ": " << err;
    }
}

// The runner with its database and listener, and a client of its API. The
// runner's output is read while waiting, so that it never blocks on a full
// pipe.
class ApiRunner {
  public:
    explicit ApiRunner(const TempDir& dir)
        : port_(PortHolder(false).port),
          host_({kHost, "--site", dir / "site.json", "--json", "--db", dir / "host.db", "--http",
                 "127.0.0.1:" + std::to_string(port_)},
                dir.path()),
          client_("127.0.0.1", port_) {
        client_.set_connection_timeout(5, 0);
        client_.set_read_timeout(10, 0);
    }
    ~ApiRunner() {
        host_.Signal(SIGTERM);
        const int rc = host_.Wait(In(10));
        EXPECT_EQ(rc, 0) << host_.stderr_text();
    }

    struct Reply {
        int status = 0;
        Json::Value body;
        std::string text;
    };
    Reply Get(const std::string& path) {
        auto res = client_.Get(path.c_str());
        if (!res) return {};
        return {res->status, res->body.rfind("{", 0) == 0 ? Parse(res->body) : Json::Value(),
                res->body};
    }
    Json::Value Json200(const std::string& path) {
        Reply r = Get(path);
        EXPECT_EQ(r.status, 200) << path << ": " << r.text;
        return r.body;
    }

    // Polls `done` about every 100 ms until it holds or the deadline passes.
    template <typename Pred>
    bool WaitFor(e2e::Clock::time_point deadline, Pred done) {
        while (!done()) {
            if (e2e::Clock::now() >= deadline) return false;
            const auto pace = std::min(deadline, In(0.1));
            while (host_.ReadLine(pace)) {
            }
        }
        return true;
    }

    const std::string& stderr_text() const { return host_.stderr_text(); }

  private:
    int port_;
    Child host_;
    httplib::Client client_;
};

std::string Q(const std::string& path, double since, double until) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "since=%.0f&until=%.0f", since, until);
    return path + (path.find('?') == std::string::npos ? "?" : "&") + buf;
}

TEST(HttpE2e, ApiServesTheScenarioAndItsStoredRows) {
    TempDir dir;
    WriteSite(dir, 1.0);
    ApiRunner api(dir);
    const std::string dev = "/api/v1/devices/1001";
    ASSERT_TRUE(api.WaitFor(In(40),
                            [&] {
                                auto r = api.Get("/api/v1/devices");
                                return r.status == 200 &&
                                       r.body["devices"][0]["rounds"].asInt() >= 4;
                            }))
        << "fewer than four rounds; stderr: " << api.stderr_text();

    const Json::Value devices = api.Json200("/api/v1/devices")["devices"];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["data_id"].asUInt(), 1001u);
    EXPECT_EQ(devices[0]["name"].asString(), "demo \"east\"");
    EXPECT_TRUE(devices[0]["link_up"].asBool());
    EXPECT_LT(devices[0]["last_round_age"].asDouble(), 30);
    EXPECT_GE(devices[0]["active_alarms"].asInt(), 1);  // the faulty module
    EXPECT_EQ(api.Json200(dev)["data_id"].asUInt(), 1001u);

    const Json::Value rec = api.Json200(dev + "/record");
    EXPECT_EQ(rec["data_id"].asUInt(), 1001u);
    EXPECT_GT(rec["time"].asDouble(), 0);
    const Json::Value& r = rec["record"];
    EXPECT_DOUBLE_EQ(r["ac"]["channel"][0]["a"].asDouble(), 229.5);
    EXPECT_DOUBLE_EQ(r["ac"]["ib"].asDouble(), 11.75);
    EXPECT_DOUBLE_EQ(r["rc"]["v"].asDouble(), 53.5);
    EXPECT_EQ(r["rc"]["channel_count"].asInt(), 3);
    EXPECT_EQ(r["rc"]["channel"][2]["fault"].asInt(), 3);
    EXPECT_DOUBLE_EQ(r["dc1"]["v"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(r["dc1"]["i"].asDouble(), 21.5);

    const Json::Value out_v = api.Json200(dev + "/values/out_v");
    EXPECT_DOUBLE_EQ(out_v["value"].asDouble(), 53.5);
    EXPECT_EQ(out_v["key"].asString(), "out_v");
    // The only AC input is up; the absent second one counts as lost.
    EXPECT_DOUBLE_EQ(api.Json200(dev + "/values/ac")["value"].asDouble(), 0);
    EXPECT_DOUBLE_EQ(api.Json200(dev + "/values/ac1")["value"].asDouble(), 0);
    auto unknown = api.Get(dev + "/values/no_such_key");
    EXPECT_EQ(unknown.status, 404) << unknown.text;
    EXPECT_EQ(unknown.body["refused"].asString(), "不支持变量");

    // A base that no longer changes: rows are written oldest first, so once
    // a row of second `last` is there, every earlier second is complete.
    const Json::Value first = api.Json200(dev + "/history");
    const Json::Value& rows0 = first["records"];
    ASSERT_GE(rows0.size(), 4u);
    const double last = rows0[rows0.size() - 1]["time"].asDouble() - 1;
    const Json::Value all = api.Json200(Q(dev + "/history", 0, last))["records"];
    ASSERT_GE(all.size(), 2u);
    for (Json::ArrayIndex i = 0; i < all.size(); ++i) {
        EXPECT_DOUBLE_EQ(all[i]["record"]["dc1"]["v"].asDouble(), 53.5);
        if (i > 0) {
            EXPECT_LE(all[i - 1]["time"].asDouble(), all[i]["time"].asDouble());
        }
    }
    const double t1 = all[1]["time"].asDouble();
    const double tn = all[all.size() - 1]["time"].asDouble();
    size_t in_range = 0;
    for (const auto& row : all) in_range += row["time"].asDouble() >= t1 ? 1 : 0;
    const Json::Value ranged = api.Json200(Q(dev + "/history", t1, tn));
    EXPECT_EQ(ranged["records"].size(), in_range);
    EXPECT_FALSE(ranged["truncated"].asBool());
    EXPECT_GE(ranged["records"][0]["time"].asDouble(), t1);
    const Json::Value limited = api.Json200(Q(dev + "/history", 0, last) + "&limit=1");
    ASSERT_EQ(limited["records"].size(), 1u);
    EXPECT_TRUE(limited["truncated"].asBool());
    EXPECT_EQ(limited["records"][0]["time"], all[0]["time"]);
    EXPECT_EQ(api.Json200(dev + "/history?since=253402300799")["records"].size(), 0u);

    const Json::Value series = api.Json200(Q(dev + "/series", t1, tn));
    ASSERT_EQ(series["points"].size(), in_range);
    EXPECT_FALSE(series["truncated"].asBool());
    for (const auto& p : series["points"]) {
        ASSERT_EQ(p["dc"].size(), 1u);
        EXPECT_DOUBLE_EQ(p["dc"][0]["v"].asDouble(), 53.5);
        EXPECT_DOUBLE_EQ(p["dc"][0]["i"].asDouble(), 21.5);
    }
    EXPECT_TRUE(api.Json200(Q(dev + "/series", 0, last) + "&limit=1")["truncated"].asBool());

    // The faulty module's alarms were raised in the first round.
    const Json::Value events = api.Json200("/api/v1/events?data_id=1001")["events"];
    ASSERT_GE(events.size(), 1u);
    EXPECT_TRUE(events[0]["active"].asBool());
    EXPECT_EQ(events[0]["data_id"].asUInt(), 1001u);
    EXPECT_FALSE(events[0]["time_text"].asString().empty());
    const double raised = events[0]["time"].asDouble();
    const Json::Value one = api.Json200("/api/v1/events?limit=1");
    ASSERT_EQ(one["events"].size(), 1u);
    EXPECT_EQ(one["truncated"].asBool(), events.size() > 1);
    EXPECT_EQ(api.Json200(Q("/api/v1/events", raised + 1, raised + 1000))["events"].size(), 0u);
    EXPECT_EQ(api.Json200(Q("/api/v1/events", raised, raised))["events"].size(), events.size());

    // This runner makes no analog reports (no device has report settings).
    const Json::Value reports = api.Json200(Q("/api/v1/reports?limit=5", 0, last));
    EXPECT_TRUE(reports["reports"].isArray());
    EXPECT_FALSE(reports["truncated"].asBool());

    EXPECT_EQ(api.Get("/api/v1/events?limit=0").status, 400);
    EXPECT_EQ(api.Get("/api/v1/devices/1002").status, 404);
    EXPECT_EQ(api.Get("/api/v1/nothing").status, 404);
}

TEST(HttpE2e, AMainsFailureIsRaisedAndClearedInMetricsAlarmsAndEvents) {
    TempDir dir;
    Json::Value events(Json::arrayValue);
    Json::Value fail(Json::objectValue), back(Json::objectValue);
    fail["at"] = 3;
    fail["action"] = "mains_failure";
    back["at"] = 8;
    back["action"] = "mains_restored";
    events.append(fail);
    events.append(back);
    WriteSite(dir, 1.0, events);
    const double started = static_cast<double>(std::time(nullptr));
    ApiRunner api(dir);

    // The plug-in's alarm for an input without power.
    const std::string id = "419415001", key = "PowerOff";
    const std::string gauge =
        "q318b_alarm_active{data_id=\"1001\",name=\"demo \\\"east\\\"\","
        "alarm_id=\"" +
        id + "\",key=\"" + key + "\"}";
    Json::Value alarm;
    const auto find_alarm = [&] {
        alarm = Json::Value();
        const Json::Value body = api.Json200("/api/v1/alarms?data_id=1001");
        for (const auto& a : body["alarms"])
            if (a["alarm_id"].asString() == id && a["key"].asString() == key) alarm = a;
        return !alarm.isNull();
    };
    ASSERT_TRUE(api.WaitFor(In(40), [&] { return api.Get("/api/v1/alarms").status == 200; }))
        << "the listener never answered; stderr: " << api.stderr_text();
    ASSERT_TRUE(api.WaitFor(In(40), find_alarm))
        << "no mains alarm: " << api.Get("/api/v1/alarms").text << api.Get("/api/v1/devices").text
        << "; stderr: " << api.stderr_text();
    EXPECT_EQ(alarm["name"].asString(), "demo \"east\"");
    EXPECT_FALSE(alarm["alarm_text"].asString().empty());
    ASSERT_TRUE(alarm["since"].isNumeric()) << Text(alarm);
    const double since = alarm["since"].asDouble();
    EXPECT_GE(since, started);
    EXPECT_LE(since, static_cast<double>(std::time(nullptr)) + 1);
    auto metrics = api.Get("/metrics");
    ASSERT_EQ(metrics.status, 200);
    const auto raised_samples = Samples(metrics.text);
    // Still active after the scrape (it clears five scenario seconds after
    // the raise), so the page was taken while it was.
    ASSERT_TRUE(find_alarm()) << "the alarm cleared before the scrape could be checked";
    ASSERT_TRUE(raised_samples.count(gauge)) << gauge << "\n" << metrics.text;
    EXPECT_EQ(raised_samples.at(gauge), 1);

    ASSERT_TRUE(api.WaitFor(In(40), [&] { return !find_alarm(); }))
        << "the mains alarm never cleared";
    const auto cleared_samples = Samples(api.Get("/metrics").text);
    // A cleared alarm is still one the host knows: 0, not gone.
    ASSERT_TRUE(cleared_samples.count(gauge)) << gauge << " gone after the clear";
    EXPECT_EQ(cleared_samples.at(gauge), 0) << gauge << " still 1";

    // The raise and the clear, in that order, the raise at the alarm's since.
    std::vector<Json::Value> mine;
    ASSERT_TRUE(api.WaitFor(In(20), [&] {
        mine.clear();
        const Json::Value body = api.Json200("/api/v1/events?data_id=1001");
        for (const auto& e : body["events"])
            if (e["alarm_id"].asString() == id && e["key"].asString() == key) mine.push_back(e);
        return mine.size() >= 2;
    }));
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_TRUE(mine[0]["active"].asBool());
    EXPECT_DOUBLE_EQ(mine[0]["time"].asDouble(), since);
    EXPECT_FALSE(mine[1]["active"].asBool());
    EXPECT_GT(mine[1]["time"].asDouble(), since);  // the failure lasts five scenario seconds
    // The range filter finds the clear alone.
    const Json::Value late =
        api.Json200(Q("/api/v1/events?data_id=1001", mine[1]["time"].asDouble(),
                      mine[1]["time"].asDouble()))["events"];
    bool clear_found = false;
    for (const auto& e : late) {
        EXPECT_EQ(e["time"], mine[1]["time"]);
        clear_found = clear_found || (e["alarm_id"].asString() == id && !e["active"].asBool());
    }
    EXPECT_TRUE(clear_found);
}

}  // namespace
