// q318b-probe as a field engineer runs it: against simulated controllers
// on a pseudo-terminal, then q318b-host with the device entry the probe
// printed, whose first record must hold the scenario's values.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kProbe = Q318B_PROBE_PATH;
const std::string kHost = Q318B_HOST_PATH;

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome Start(const std::vector<std::string>& argv, const std::string& cwd, double seconds) {
    Child c(argv, cwd);
    Outcome r;
    const auto deadline = In(seconds);
    while (auto line = c.ReadLine(deadline)) r.out += *line + "\n";
    r.status = c.Wait(deadline);
    r.out += c.rest_of_stdout();
    r.err = c.stderr_text();
    return r;
}

Outcome Probe(const TempDir& dir, const std::string& port, const std::string& addresses,
              bool json = true) {
    std::vector<std::string> argv = {kProbe,      port,  "--addresses", addresses,
                                     "--timeout", "0.3", "--quiet"};
    if (json) argv.push_back("--json");
    return Start(argv, dir.path(), 60);
}

// The record of the first round of a runner polling `device`.
Json::Value FirstRecord(const TempDir& dir, const Json::Value& device) {
    Json::Value site(Json::objectValue);
    site["devices"].append(device);
    dir.Write("site.json", e2e::JsonText(site));
    const Outcome r = Start({kHost, "--site", dir / "site.json", "--json", "--rounds", "1",
                             "--no-db", "--diag", dir / "diag.log"},
                            dir.path(), 60);
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const Json::Value e = e2e::ParseJson(line, false);
        if (e["event"].asString() == "record") return e["record"];
    }
    ADD_FAILURE() << "no record: " << r.out << r.err;
    return Json::Value();
}

double Or(const Json::Value& v, double absent) {
    return v.isNull() ? absent : v.asDouble();
}

// The values the scenario reports against the record the runner decoded.
void ExpectScenarioValues(const Json::Value& rec, const Json::Value& s) {
    const Json::Value& mods = s["rectifiers"]["modules"];
    EXPECT_DOUBLE_EQ(rec["rc"]["v"].asDouble(), s["rectifiers"]["voltage"].asDouble());
    ASSERT_EQ(rec["rc"]["channel_count"].asUInt(), mods.size());
    for (Json::ArrayIndex j = 0; j < mods.size(); ++j) {
        EXPECT_DOUBLE_EQ(rec["rc"]["channel"][j]["i"].asDouble(), mods[j]["current"].asDouble());
        EXPECT_EQ(rec["rc"]["channel"][j]["fault"].asInt(), mods[j]["fault"].asInt());
    }
    if (s.isMember("ac")) {
        const Json::Value& in = s["ac"]["inputs"][0];
        EXPECT_EQ(rec["ac"]["channel_count"].asUInt(), s["ac"]["inputs"].size());
        EXPECT_DOUBLE_EQ(rec["ac"]["channel"][0]["a"].asDouble(), Or(in["a"], 0));
        EXPECT_DOUBLE_EQ(rec["ac"]["channel"][0]["b"].asDouble(), Or(in["b"], 0));
        EXPECT_DOUBLE_EQ(rec["ac"]["channel"][0]["f"].asDouble(), Or(in["f"], 0));
        EXPECT_NEAR(rec["ac"]["ib"].asDouble(), Or(s["ac"]["currents"][1], -0.1), 1e-6);
    }
    if (s.isMember("dc")) {
        EXPECT_DOUBLE_EQ(rec["dc1"]["v"].asDouble(), s["dc"][0]["voltage"].asDouble());
        EXPECT_DOUBLE_EQ(rec["dc1"]["i"].asDouble(), s["dc"][0]["current"].asDouble());
        const bool counted =
            !s["layout"].isMember("dc_number") || s["layout"]["dc_number"].asBool();
        if (s["dc"].size() > 1 && counted) {
            EXPECT_DOUBLE_EQ(rec["dc2"]["v"].asDouble(), s["dc"][1]["voltage"].asDouble());
        }
    }
}

Json::Value Scenario(const std::string& name, const std::function<void(Json::Value&)>& change) {
    Json::Value s = e2e::FastScenario(name);
    change(s);
    return s;
}

TEST(ProbeE2e, OptionsFoundDecodeTheScenarioInTheRunner) {
    Json::Value second_group = e2e::FastScenario()["dc"][0];
    second_group["voltage"] = 54.25;
    second_group["current"] = 3.5;
    struct Case {
        const char* name;
        Json::Value scenario;
        Json::Value app;  // the members that must come out as here
    } cases[] = {
        {"demo site", Scenario("demo_site.json", [](Json::Value&) {}),
         e2e::ParseJson(R"({"has_ac": 1, "has_dc": 1, "no_dc_number": 2, "has_tower": 0})")},
        {"every layout option at once", Scenario("layout_variants.json", [](Json::Value&) {}),
         e2e::ParseJson(
             R"({"has_ac": 1, "has_dc": 1, "no_dc_number": 1, "has_tower": 1, "cg": 255})")},
        {"no AC unit, two DC groups",
         Scenario("demo_site.json",
                  [&](Json::Value& s) {
                      s.removeMember("ac");
                      s["dc"].append(second_group);
                  }),
         e2e::ParseJson(R"({"has_ac": 0, "has_dc": 1, "no_dc_number": 2})")},
        {"protocol version 0x21",
         Scenario("demo_site.json", [](Json::Value& s) { s["version"] = 0x21; }),
         e2e::ParseJson(R"({"has_ac": 1, "has_dc": 1})")},
        {"no DC unit, extra bytes per module",
         Scenario("demo_site.json",
                  [](Json::Value& s) {
                      s.removeMember("dc");
                      for (auto& m : s["rectifiers"]["modules"]) m["extra"].append(0);
                  }),
         e2e::ParseJson(R"({"has_dc": 0, "skip_41_41": 1})")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.Write("scenario.json", e2e::JsonText(c.scenario));
        const std::string port = "sim:" + (dir / "scenario.json");
        const Outcome r = Probe(dir, port, "1-2");
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        const Json::Value report = e2e::ParseJson(r.out);
        ASSERT_EQ(report["controllers"].size(), 1u) << r.out;
        const Json::Value& ctl = report["controllers"][0];
        EXPECT_EQ(ctl["address"].asInt(), c.scenario.get("address", 1).asInt());
        const int version = std::string(c.name) == "protocol version 0x21" ? 0x21 : 0x20;
        EXPECT_EQ(ctl["version"].asInt(), version);
        // The device entry makes the runner speak the controller's version.
        EXPECT_EQ(ctl["device"].get("protocol_version", 0x20).asInt(), version);
        EXPECT_EQ(ctl["problems"].size(), 0u) << r.out;
        for (const auto& name : c.app.getMemberNames())
            EXPECT_EQ(ctl["appSetting"][name], c.app[name]) << name;

        Json::Value device = ctl["device"];
        EXPECT_EQ(device["port"].asString(), port);
        EXPECT_EQ(device["settings"]["appSetting"], ctl["appSetting"]);
        ExpectScenarioValues(FirstRecord(dir, device), c.scenario);
    }
}

TEST(ProbeE2e, TwoControllersOnOneLine) {
    TempDir dir;
    Json::Value a = e2e::FastScenario();
    Json::Value b = e2e::FastScenario("layout_variants.json");  // address 2
    dir.Write("a.json", e2e::JsonText(a));
    dir.Write("b.json", e2e::JsonText(b));
    const Outcome r = Probe(dir, "sim:" + (dir / "a.json") + "," + (dir / "b.json"), "1-3");
    ASSERT_EQ(r.status, 0) << r.err;
    const Json::Value report = e2e::ParseJson(r.out);
    ASSERT_EQ(report["controllers"].size(), 2u) << r.out;
    EXPECT_EQ(report["controllers"][0]["address"].asInt(), 1);
    EXPECT_EQ(report["controllers"][0]["appSetting"]["has_tower"].asInt(), 0);
    EXPECT_EQ(report["controllers"][1]["address"].asInt(), 2);
    EXPECT_EQ(report["controllers"][1]["appSetting"]["has_tower"].asInt(), 1);
    EXPECT_EQ(report["controllers"][1]["device"]["address"].asInt(), 2);

    // The text form names both and gives each its settings.
    const Outcome text =
        Probe(dir, "sim:" + (dir / "a.json") + "," + (dir / "b.json"), "1-3", false);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("controller at address 1, protocol version 0x20"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("controller at address 2, protocol version 0x20"), std::string::npos);
    EXPECT_NE(text.out.find("\"appSetting\": {"), std::string::npos);
}

TEST(ProbeE2e, ExitStatus) {
    TempDir dir;
    Json::Value s = e2e::FastScenario();
    s["address"] = 9;
    dir.Write("s.json", e2e::JsonText(s));
    const Outcome none = Probe(dir, "sim:" + (dir / "s.json"), "1-2", false);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("no controller answers"), std::string::npos) << none.out;

    for (const auto& argv : std::vector<std::vector<std::string>>{
             {kProbe, "sim:" + (dir / "s.json"), "--addresses", "9-1"},
             {kProbe, "sim:" + (dir / "missing.json")},
             {kProbe, dir / "no-such-tty"},
             {kProbe, "tcp://127.0.0.1:x"},
             {kProbe}}) {
        const Outcome r = Start(argv, dir.path(), 30);
        EXPECT_EQ(r.status, 2) << argv.back();
        EXPECT_NE(r.err.find("q318b-probe"), std::string::npos) << r.err;
    }
}

}  // namespace
