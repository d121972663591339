// The runner's HTTP listener as a scraper sees it: q318b-host against the
// built-in simulator with --http on a free loopback port; /metrics holds
// the scenario's values and passes promtool's check; a port in use refuses
// the start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &errs)) ADD_FAILURE() << "not JSON: " << text;
    return v;
}

std::string Text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    return Json::writeString(b, v);
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

// The demo controller without its timetable, answering fast.
void WriteSite(const TempDir& dir) {
    std::ifstream in(kExamples + "/scenarios/demo_site.json");
    std::stringstream ss;
    ss << in.rdbuf();
    Json::Value s = Parse(ss.str());
    s["pace"] = false;
    s["turnaround_ms"] = 2;
    s["events"] = Json::Value(Json::arrayValue);
    dir.Write("scenario.json", Text(s));

    Json::Value d(Json::objectValue);
    d["data_id"] = 1001;
    d["name"] = "demo \"east\"";
    d["port"] = "sim:scenario.json";
    d["poll_interval"] = 2.2;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
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

}  // namespace
