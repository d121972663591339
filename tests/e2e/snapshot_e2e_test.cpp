// The "snapshot" option end to end: q318b-host with the example sites of
// examples/snapshot/ (modes 1, 3 and 5) against the simulator's mains
// failure and low voltage, and --check's warning for rules that cannot fire.
#include <gtest/gtest.h>
#include <json/value.h>
#include <signal.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;
using Events = std::vector<Json::Value>;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";
const std::string kSnapshot = kExamples + "/snapshot";

Json::Value ReadJson(const std::string& path) {
    return e2e::ParseJson(e2e::ReadFile(path));
}

// The scenario's own timetable, answered at once.
Json::Value Scenario() {
    const Json::Value file = ReadJson(kExamples + "/scenarios/mains_failure_low_voltage.json");
    return e2e::FastScenario("mains_failure_low_voltage.json", file["events"]);
}

// The device of examples/snapshot/<site> on the simulator port `port`, its
// files found where the example keeps them.
Json::Value ExampleDevice(const std::string& site, const std::string& port) {
    Json::Value d = ReadJson(kSnapshot + "/" + site)["devices"][0];
    d["port"] = "sim:" + port;
    d["poll_interval"] = 2.2;
    d["workdir"] = kSnapshot;
    d["settings_file"] = kSnapshot + "/" + d["settings_file"].asString();
    return d;
}

void WriteSite(const TempDir& dir, const std::vector<Json::Value>& devices,
               const std::vector<std::string>& scenarios) {
    for (const auto& s : scenarios) dir.Write(s, e2e::JsonText(Scenario(), "  "));
    Json::Value site(Json::objectValue);
    for (const auto& d : devices) site["devices"].append(d);
    dir.Write("site.json", e2e::JsonText(site, "  "));
}

std::unique_ptr<Child> StartHost(const TempDir& dir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {kHost, "--site", dir / "site.json", "--json", "--no-db"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(argv, dir.path());
}

// What an alarm's raise or clear must look like, and the record of the
// round that made it.
struct Expected {
    unsigned data_id;
    const char* alarm_id;
    const char* key;
    int level;
    const char* raised_value;
    const char* raised_text;
    const char* cleared_value;
    const char* cleared_text;
    // The record of the raising round: the scenario's value that triggers it.
    std::function<bool(const Json::Value&)> trigger;
};

bool IsAlarm(const Json::Value& e, const std::string& kind, unsigned data_id,
             const std::string& alarm_id) {
    return e["event"].asString() == kind && e["data_id"].asUInt() == data_id &&
           e["alarm"]["alarm_id"].asString() == alarm_id;
}

std::vector<size_t> Find(const Events& ev, const std::string& kind, unsigned data_id,
                         const std::string& alarm_id) {
    std::vector<size_t> at;
    for (size_t i = 0; i < ev.size(); ++i)
        if (IsAlarm(ev[i], kind, data_id, alarm_id)) at.push_back(i);
    return at;
}

// The device's last record before event `at`.
Json::Value RecordBefore(const Events& ev, size_t at, unsigned data_id) {
    for (size_t i = at; i-- > 0;)
        if (ev[i]["event"].asString() == "record" && ev[i]["data_id"].asUInt() == data_id)
            return ev[i]["record"];
    return Json::Value();
}

std::string Dump(const Events& ev) {
    std::string s;
    for (const auto& e : ev)
        if (e.isMember("alarm"))
            s += e["event"].asString() + " " + e["data_id"].asString() + " " +
                 e["alarm"]["alarm_id"].asString() + " \"" + e["alarm"]["value_text"].asString() +
                 "\" \"" + e["alarm"]["alarm_text"].asString() + "\"\n";
    return s;
}

double AcA(const Json::Value& r) {
    return r["ac"]["channel"][0]["a"].asDouble();
}
double DcV(const Json::Value& r) {
    return r["dc1"]["v"].asDouble();
}

TEST(SnapshotE2E, ExampleRulesRaiseAndClearAtMainsFailureAndLowVoltage) {
    TempDir dir;
    WriteSite(
        dir,
        {ExampleDevice("site-unicom.json", "s1.json"), ExampleDevice("site-mobile.json", "s3.json"),
         ExampleDevice("site-levels.json", "s5.json")},
        {"s1.json", "s3.json", "s5.json"});
    const auto mains_off = [](const Json::Value& r) { return AcA(r) == 0.0; };
    const auto at = [](double v) {
        return [v](const Json::Value& r) { return AcA(r) == 0.0 && DcV(r) == v; };
    };
    const std::vector<Expected> expected = {
        // Mode 1: the host's own thresholds, the rule's name as the text.
        {2001, "419611001001", "419611001001", 2, "0", "A相输入电流", "12.5", "A相输入电流",
         mains_off},
        {2001, "419620201001", "419620201001", 2, "0", "整流模块总输出电流", "21.5",
         "整流模块总输出电流", mains_off},
        {2001, "419620501001", "419620501001", 3, "-10.75", "电池组1电流", "2.5", "电池组1电流",
         mains_off},
        {2001, "419620101001", "419620101001", 1, "46.5", "整流模块输出电压", "53.5",
         "整流模块输出电压", at(46.5)},
        // Mode 3: the signal name as the value, the mobile text and the
        // snapshot value in its JSON form.
        {2003, "419500601001", "419500601001", 2, "A相输入电压", "0406001001;419500601001;1;0.0",
         "A相输入电压", "0406001001;419500601001;1;229.5", mains_off},
        {2003, "419500602001", "419500602001", 2, "B相输入电压", "0406001001;419500602001;2;0.0",
         "B相输入电压", "0406001001;419500602001;2;231.25", mains_off},
        {2003, "419620301001", "419620301001", 2, "直流输出电压", "0406012001;419620301001;1;46.5",
         "直流输出电压", "0406012001;419620301001;1;53.5", at(46.5)},
        // Mode 5: the value and the level's description.
        {2005, "419610401003", "ac1ua", 2, "0", "当前值0低于阈值:150", "229.5", "", mains_off},
        {2005, "419620201003", "rci", 3, "0", "当前值0低于阈值:1", "21.5", "", mains_off},
        {2005, "419620301003", "dc1v", 2, "46.5", "当前值46.5低于阈值:47", "53.5", "", at(46.5)},
        {2005, "419620301004", "dc1v", 1, "44.5", "当前值44.5低于阈值:45", "53.5", "", at(44.5)},
    };

    auto host = StartHost(dir, {});
    Events ev;
    const auto all_cleared = [&] {
        for (const auto& x : expected)
            if (Find(ev, "alarm_cleared", x.data_id, x.alarm_id).empty()) return false;
        return true;
    };
    const auto deadline = In(60);
    while (!all_cleared()) {
        auto line = host->ReadLine(deadline);
        if (!line) break;
        ev.push_back(e2e::ParseJson(*line));
    }
    host->Signal(SIGTERM);
    ASSERT_EQ(host->Wait(In(10)), 0) << host->stderr_text();
    ASSERT_TRUE(all_cleared()) << Dump(ev);

    for (const auto& x : expected) {
        SCOPED_TRACE(std::to_string(x.data_id) + " " + x.alarm_id);
        const auto raised = Find(ev, "alarm_raised", x.data_id, x.alarm_id);
        const auto cleared = Find(ev, "alarm_cleared", x.data_id, x.alarm_id);
        // Once each, however often the value changed while it was raised.
        ASSERT_EQ(raised.size(), 1u) << Dump(ev);
        ASSERT_EQ(cleared.size(), 1u) << Dump(ev);
        ASSERT_LT(raised[0], cleared[0]);
        const Json::Value& r = ev[raised[0]]["alarm"];
        EXPECT_EQ(r["key"].asString(), x.key);
        EXPECT_EQ(r["level"].asInt(), x.level);
        EXPECT_EQ(r["value_text"].asString(), x.raised_value);
        EXPECT_EQ(r["alarm_text"].asString(), x.raised_text);
        const Json::Value& c = ev[cleared[0]]["alarm"];
        EXPECT_EQ(c["key"].asString(), x.key);
        EXPECT_EQ(c["value_text"].asString(), x.cleared_value);
        EXPECT_EQ(c["alarm_text"].asString(), x.cleared_text);
        EXPECT_TRUE(x.trigger(RecordBefore(ev, raised[0], x.data_id)))
            << e2e::JsonText(RecordBefore(ev, raised[0], x.data_id)["dc1"]);
        // Cleared in the first round with the mains back.
        const Json::Value back = RecordBefore(ev, cleared[0], x.data_id);
        EXPECT_EQ(AcA(back), 229.5);
        EXPECT_EQ(DcV(back), 53.5);
    }
    // The upper levels are never reached.
    for (const char* id : {"419620301001", "419620301002", "419610401001"})
        EXPECT_TRUE(Find(ev, "alarm_raised", 2005, id).empty()) << id;
}

// A level rule that any value would raise, on `name`.
Json::Value AlwaysRaised(const std::string& id, const std::string& name) {
    Json::Value e;
    e["ID"] = id;
    e["SignalName"] = name;
    e["UpValue"] = "-1000000";
    e["UpReconverValue"] = "-1000001";
    e["UpAlarmLevel"] = "1";
    return e;
}

TEST(SnapshotE2E, MissingModulesAndValuesNotAvailableNeverReachARule) {
    TempDir dir;
    Json::Value scen = Scenario();
    scen["events"] = Json::Value(Json::arrayValue);
    scen["ac"]["currents"][1] = Json::Value();  // phase B current not available
    dir.Write("s.json", e2e::JsonText(scen, "  "));
    Json::Value d = ExampleDevice("site-levels.json", "s.json");
    d.removeMember("settings_file");
    Json::Value& s = d["settings"];
    s["appSetting"] = ReadJson(kSnapshot + "/settings/levels.json")["appSetting"];
    s["thresholdSetting"]["a"] = AlwaysRaised("900000001", "ia");
    s["thresholdSetting"]["b"] = AlwaysRaised("900000002", "ib");
    s["thresholdSetting"]["m3"] = AlwaysRaised("900000003", "rc3i");
    s["thresholdSetting"]["m4"] = AlwaysRaised("900000004", "rc4i");  // three modules
    s["thresholdSetting"]["g2"] = AlwaysRaised("900000005", "dc2v");  // one DC group
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
    dir.Write("site.json", e2e::JsonText(site, "  "));

    auto host = StartHost(dir, {"--rounds", "2"});
    Events ev;
    while (auto line = host->ReadLine(In(30))) ev.push_back(e2e::ParseJson(*line));
    ASSERT_EQ(host->Wait(In(10)), 0) << host->stderr_text();
    EXPECT_EQ(Find(ev, "alarm_raised", 2005, "900000001001").size(), 1u) << Dump(ev);
    EXPECT_EQ(Find(ev, "alarm_raised", 2005, "900000003001").size(), 1u) << Dump(ev);
    for (const char* id : {"900000002001", "900000004001", "900000005001"})
        for (const auto& e : ev)
            EXPECT_FALSE(e.isMember("alarm") && e["alarm"]["alarm_id"].asString() == id) << id;
}

struct Checked {
    int status;
    std::string out, err;
};

Checked Check(const TempDir& dir) {
    Child c({kHost, "--check", "--site", dir / "site.json"}, dir.path());
    Checked r;
    while (auto line = c.ReadLine(In(30))) r.out += *line + "\n";
    r.status = c.Wait(In(10));
    r.err = c.stderr_text();
    return r;
}

TEST(SnapshotE2E, CheckWarnsOncePerDeviceWhoseRulesCannotFire) {
    TempDir dir;
    // The example sites as they are, and the same three with the snapshot
    // left off; a telecom device has no rules of this kind.
    std::vector<Json::Value> devices;
    const char* sites[] = {"site-unicom.json", "site-mobile.json", "site-levels.json"};
    for (int off = 0; off < 2; ++off) {
        for (const char* name : sites) {
            Json::Value d = ExampleDevice(name, "s.json");
            d["address"] = static_cast<int>(devices.size()) + 1;
            d["data_id"] = 3000 + static_cast<int>(devices.size());
            if (off) {
                Json::Value s = ReadJson(d["settings_file"].asString());
                s["appSetting"].removeMember("snapshot");
                d.removeMember("settings_file");
                d["settings"] = s;
                d["name"] = "off " + d["name"].asString();
            }
            devices.push_back(d);
        }
    }
    Json::Value telecom = ExampleDevice("site-unicom.json", "s.json");
    telecom["address"] = 7;
    telecom["data_id"] = 3006;
    telecom["name"] = "telecom controller";
    telecom["settings_file"] = kExamples + "/settings/telecom.json";
    devices.push_back(telecom);
    WriteSite(dir, devices, {"s.json"});

    const Checked c = Check(dir);
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, "q318b-host: site file " + (dir / "site.json") + " is fine: 7 devices\n");
    const std::string prefix = "q318b-host: warning: site file " + (dir / "site.json") + ": ";
    EXPECT_EQ(c.err,
              prefix +
                  "off unicom controller (data id 3003): mode 1 (unicom) has 4 [AI] rules loaded "
                  "but \"snapshot\" is off in \"appSetting\", so they are never evaluated\n" +
                  prefix +
                  "off mobile controller (data id 3004): mode 3 (mobile) has 3 [ALARM] rules "
                  "loaded but \"snapshot\" is off in \"appSetting\", so they are never "
                  "evaluated\n" +
                  prefix +
                  "off level-threshold controller (data id 3005): mode 5 (level thresholds) has "
                  "7 level rules loaded but \"snapshot\" is off in \"appSetting\", so they are "
                  "never evaluated\n");

    // The runner says the same once per device, as a warning in its log.
    Child run({kHost, "--site", dir / "site.json", "--no-db", "--duration", "1", "--log-format",
               "journal"},
              dir.path());
    std::vector<std::string> warnings;
    while (auto line = run.ReadLine(In(30)))
        if (line->find("is off in") != std::string::npos) warnings.push_back(*line);
    EXPECT_EQ(run.Wait(In(10)), 0) << run.stderr_text();
    const std::string journal = "<4>host: site file " + (dir / "site.json") + ": off ";
    ASSERT_EQ(warnings.size(), 3u);
    const char* who[] = {"unicom controller (data id 3003)", "mobile controller (data id 3004)",
                         "level-threshold controller (data id 3005)"};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(warnings[i].rfind(journal + who[i], 0), 0u) << warnings[i];
}

}  // namespace
