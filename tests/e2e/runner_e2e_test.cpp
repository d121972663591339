// The runner and the decoder as an integrator runs them: each test writes a
// site file and simulator scenarios into its own folder, starts q318b-host
// with --json against the built-in simulator (a pseudo-terminal) and reads
// the event stream, the database and q318b-decode's output.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/site/history_db.h"
#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kDecode = Q318B_DECODE_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";
constexpr size_t kRecordBytes = 2704;

Json::Value Parse(const std::string& text) {
    return e2e::ParseJson(text);
}

std::string Text(const Json::Value& v) {
    return e2e::JsonText(v, "  ");
}

// The demo controller with fast replies; `events` replaces its timetable.
Json::Value FastScenario(const Json::Value& events = Json::Value(Json::arrayValue)) {
    return e2e::FastScenario("demo_site.json", events);
}

Json::Value Event(double at, const std::string& action) {
    Json::Value e(Json::objectValue);
    e["at"] = at;
    e["action"] = action;
    return e;
}

// One device on the simulator serving `scenario`, with a settings file from
// examples/ and the examples' rule files. The device refuses a round within
// about a second of the last, so rounds are 2.2 s apart.
Json::Value Device(unsigned data_id, const std::string& scenario, const std::string& settings) {
    Json::Value d(Json::objectValue);
    d["data_id"] = data_id;
    d["port"] = "sim:" + scenario;
    d["poll_interval"] = 2.2;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/" + settings;
    d["alarms"] = Json::Value(Json::objectValue);
    return d;
}

Json::Value Site(std::vector<Json::Value> devices) {
    Json::Value site(Json::objectValue);
    site["database"] = "history.db";
    // Every round stored: the tests count them.
    site["history"]["min_interval_s"] = 0;
    site["devices"] = Json::Value(Json::arrayValue);
    for (auto& d : devices) site["devices"].append(d);
    return site;
}

Json::Value Level(int level) {
    Json::Value a(Json::objectValue);
    a["level"] = level;
    return a;
}

// A started runner and the events it has shown.
struct HostRun {
    std::unique_ptr<Child> child;
    std::vector<Json::Value> events;

    // Reads events until `done` holds for the events so far; false at the
    // deadline or the end of output.
    template <typename Pred>
    bool ReadUntil(Pred done, double seconds) {
        const auto deadline = In(seconds);
        while (!done(events)) {
            auto line = child->ReadLine(deadline);
            if (!line) return false;
            events.push_back(Parse(*line));
        }
        return true;
    }
    void ReadToEnd(double seconds) {
        ReadUntil([](const std::vector<Json::Value>&) { return false; }, seconds);
    }
    int Finish(double seconds) {
        ReadToEnd(seconds);
        return child->Wait(In(5));
    }
};

HostRun StartHost(const TempDir& dir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {kHost,    "--site", dir / "site.json",
                                     "--json", "--diag", dir / "diag.log"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    HostRun r;
    r.child = std::make_unique<Child>(argv, dir.path());
    return r;
}

void WriteSite(const TempDir& dir, const Json::Value& site,
               const std::map<std::string, Json::Value>& scenarios) {
    for (const auto& s : scenarios) dir.Write(s.first, Text(s.second));
    dir.Write("site.json", Text(site));
}

size_t Count(const std::vector<Json::Value>& events, const std::string& kind) {
    size_t n = 0;
    for (const auto& e : events) n += e["event"].asString() == kind;
    return n;
}

std::vector<Json::Value> Records(const std::vector<Json::Value>& events) {
    std::vector<Json::Value> out;
    for (const auto& e : events)
        if (e["event"].asString() == "record") out.push_back(e["record"]);
    return out;
}

// The alarm events of each round: round k holds those after the k-th
// record event (round 0: before the first record).
using AlarmsByRound = std::vector<std::vector<Json::Value>>;
AlarmsByRound AlarmRounds(const std::vector<Json::Value>& events) {
    AlarmsByRound out(1);
    for (const auto& e : events) {
        const std::string kind = e["event"].asString();
        if (kind == "record") out.emplace_back();
        if (kind == "alarm_raised" || kind == "alarm_cleared") out.back().push_back(e);
    }
    return out;
}

bool Has(const std::vector<Json::Value>& alarms, const std::string& kind, const std::string& id,
         const std::string& key = "") {
    for (const auto& e : alarms)
        if (e["event"].asString() == kind && e["alarm"]["alarm_id"].asString() == id &&
            (key.empty() || e["alarm"]["key"].asString() == key))
            return true;
    return false;
}

bool Mentions(const std::vector<Json::Value>& events, const std::string& id) {
    for (const auto& e : events)
        if (e.isMember("alarm") && e["alarm"]["alarm_id"].asString() == id) return true;
    return false;
}

std::string Dump(const std::vector<Json::Value>& events) {
    std::string s;
    for (const auto& e : events) {
        s += e["event"].asString();
        if (e.isMember("alarm"))
            s += " " + e["alarm"]["alarm_id"].asString() + " " + e["alarm"]["key"].asString();
        if (e.isMember("record"))
            s += " a=" + std::to_string(e["record"]["ac"]["channel"][0]["a"].asDouble());
        s += "\n";
    }
    return s;
}

// ------------------------------------------------------------------ values

TEST(RunnerE2E, PublishedRecordHoldsTheScenarioValues) {
    TempDir dir;
    Json::Value scen = FastScenario();
    // Values a default or a swapped field could not produce by chance.
    Json::Value& in = scen["ac"]["inputs"][0];
    in["a"] = 221.5;
    in["b"] = 232.25;
    in["c"] = 240.75;
    in["f"] = 49.5;
    scen["rectifiers"]["voltage"] = 54.25;
    const double currents[] = {10.5, 11.0, 7.25};
    for (int j = 0; j < 3; ++j) scen["rectifiers"]["modules"][j]["current"] = currents[j];
    scen["dc"][0]["voltage"] = 53.75;
    scen["dc"][0]["current"] = 18.5;
    WriteSite(dir, Site({Device(4101, "scenario.json", "unicom.json")}), {{"scenario.json", scen}});

    HostRun run = StartHost(dir, {"--rounds", "1"});
    ASSERT_EQ(run.Finish(20), 0) << run.child->stderr_text();
    const auto records = Records(run.events);
    ASSERT_EQ(records.size(), 1u) << Dump(run.events);
    const Json::Value& r = records[0];
    EXPECT_EQ(r["data_id"].asUInt(), 4101u);
    EXPECT_EQ(r["ac"]["channel_count"].asInt(), 1);
    const struct {
        const char* what;
        Json::Value got;
        double want;
    } checks[] = {
        {"phase A", r["ac"]["channel"][0]["a"], 221.5},
        {"phase B", r["ac"]["channel"][0]["b"], 232.25},
        {"phase C", r["ac"]["channel"][0]["c"], 240.75},
        {"frequency", r["ac"]["channel"][0]["f"], 49.5},
        {"rectifier voltage", r["rc"]["v"], 54.25},
        {"module 1 current", r["rc"]["channel"][0]["i"], currents[0]},
        {"module 2 current", r["rc"]["channel"][1]["i"], currents[1]},
        {"module 3 current", r["rc"]["channel"][2]["i"], currents[2]},
        {"DC voltage", r["dc1"]["v"], 53.75},
        {"DC current", r["dc1"]["i"], 18.5},
    };
    for (const auto& c : checks) {
        ASSERT_TRUE(c.got.isNumeric()) << c.what;
        EXPECT_DOUBLE_EQ(c.got.asDouble(), c.want) << c.what;
    }
    EXPECT_EQ(r["rc"]["channel_count"].asInt(), 3);
    EXPECT_EQ(r["rc"]["channel"][2]["fault"].asInt(), 3);  // the demo's faulty module
    // The plug-in's diagnostics went to the log, not into the stream.
    EXPECT_EQ(run.child->rest_of_stdout(), "");
    EXPECT_TRUE(e2e::FileExists(dir / "diag.log"));
}

// ------------------------------------------------------------- mains failure

struct MainsCase {
    const char* name;
    const char* settings;
    std::map<std::string, int> levels;  // host alarm levels of the site
    // alarm id and key that the failure must raise and the return clear
    std::vector<std::pair<std::string, std::string>> expected;
    std::vector<std::string> absent;  // ids of the other operator
};

void PrintTo(const MainsCase& c, std::ostream* os) {
    *os << c.name;
}

class MainsFailure : public testing::TestWithParam<MainsCase> {};

TEST_P(MainsFailure, RaisesAndClearsTheOperatorsAlarms) {
    const MainsCase& c = GetParam();
    TempDir dir;
    Json::Value events(Json::arrayValue);
    // The first round (at once) sees the outage, the second (2.2 s) the
    // mains back.
    events.append(Event(0, "mains_failure"));
    events.append(Event(1.2, "mains_restored"));
    Json::Value dev = Device(4201, "mains.json", c.settings);
    for (const auto& l : c.levels) dev["alarms"][l.first] = Level(l.second);
    if (std::string(c.name) == "unicom") {
        // A host threshold on phase A voltage.
        Json::Value& t = dev["alarms"]["419610401001"];
        t["threshold"] = 180;
        t["direction"] = "lower";
        t["recover"] = 185;
    }
    WriteSite(dir, Site({dev}), {{"mains.json", FastScenario(events)}});

    HostRun run = StartHost(dir, {"--rounds", "2", "--no-db"});
    ASSERT_EQ(run.Finish(20), 0) << run.child->stderr_text();
    const auto records = Records(run.events);
    ASSERT_EQ(records.size(), 2u) << Dump(run.events);
    ASSERT_DOUBLE_EQ(records[0]["ac"]["channel"][0]["a"].asDouble(), 0.0) << Dump(run.events);
    ASSERT_DOUBLE_EQ(records[1]["ac"]["channel"][0]["a"].asDouble(), 229.5) << Dump(run.events);

    const AlarmsByRound rounds = AlarmRounds(run.events);
    for (const auto& [id, key] : c.expected) {
        EXPECT_TRUE(Has(rounds[1], "alarm_raised", id, key)) << id << "\n" << Dump(run.events);
        EXPECT_FALSE(Has(rounds[1], "alarm_cleared", id)) << id;
        EXPECT_TRUE(Has(rounds[2], "alarm_cleared", id, key)) << id << "\n" << Dump(run.events);
        EXPECT_FALSE(Has(rounds[2], "alarm_raised", id)) << id;
    }
    for (const auto& id : c.absent) EXPECT_FALSE(Mentions(run.events, id)) << id;
    // The level comes from the site's table where the site gives one.
    for (const auto& e : run.events) {
        if (!e.isMember("alarm")) continue;
        auto l = c.levels.find(e["alarm"]["alarm_id"].asString());
        if (l != c.levels.end()) {
            EXPECT_EQ(e["alarm"]["level"].asInt(), l->second) << l->first;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    RunnerE2E, MainsFailure,
    testing::Values(MainsCase{"unicom",
                              "unicom.json",
                              {{"419610401001", 2}},
                              {{"419415001", "PowerOff"}, {"419610401001", "419610401001"}},
                              {"220600140010"}},
                    MainsCase{"telecom",
                              "telecom.json",
                              {{"220600140010", 1}, {"220600130010", 3}},
                              {{"220600140010", "220600140010"}},
                              // Low voltage is not an outage: no value is
                              // measured, so it is not "low".
                              {"419415001", "220600130010"}}),
    [](const testing::TestParamInfo<MainsCase>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ communication

TEST(RunnerE2E, ControllerThatNeverAnswersRaisesTheCommunicationAlarm) {
    TempDir dir;
    // Nobody answers addresses 5 and 6; only the first device has a level
    // for the communication alarm.
    Json::Value watched = Device(4301, "quiet.json", "unicom.json");
    watched["address"] = 5;
    watched["alarms"]["120600180010"] = Level(2);
    Json::Value unwatched = Device(4302, "quiet.json", "unicom.json");
    unwatched["address"] = 6;
    WriteSite(dir, Site({watched, unwatched}), {{"quiet.json", FastScenario()}});

    HostRun run = StartHost(dir, {"--reset-interval", "0.5"});
    const bool seen = run.ReadUntil(
        [](const std::vector<Json::Value>& ev) {
            bool alarm = false, lost = false;
            for (const auto& e : ev) {
                alarm |= e["event"].asString() == "alarm_raised" &&
                         e["alarm"]["alarm_id"].asString() == "120600180010";
                lost |= e["event"].asString() == "link_lost" && e["data_id"].asUInt() == 4301;
            }
            return alarm && lost;
        },
        15);
    ASSERT_TRUE(seen) << Dump(run.events) << run.child->stderr_text();
    run.child->Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10), 0) << run.child->stderr_text();

    EXPECT_EQ(Count(run.events, "record"), 0u);
    EXPECT_EQ(Count(run.events, "alarm_cleared"), 0u) << Dump(run.events);
    // A link whose polls were all abandoned is not back.
    EXPECT_EQ(Count(run.events, "link_back"), 0u) << Dump(run.events);
    for (const auto& e : run.events) {
        if (e["event"].asString() != "alarm_raised") continue;
        EXPECT_EQ(e["data_id"].asUInt(), 4301u) << "no level, no alarm";
        EXPECT_EQ(e["alarm"]["alarm_id"].asString(), "120600180010");
        EXPECT_EQ(e["alarm"]["level"].asInt(), 2);
    }
}

TEST(RunnerE2E, FirstGoodRoundClearsTheCommunicationAlarm) {
    TempDir dir;
    Json::Value events(Json::arrayValue);
    Json::Value silence = Event(0, "silence");
    silence["duration"] = 1.5;
    events.append(silence);
    Json::Value dev = Device(4401, "late.json", "unicom.json");
    dev["alarms"]["120600180010"] = Level(1);
    WriteSite(dir, Site({dev}), {{"late.json", FastScenario(events)}});

    HostRun run = StartHost(dir, {"--rounds", "1", "--no-db", "--reset-interval", "0.5"});
    ASSERT_EQ(run.Finish(20), 0) << run.child->stderr_text();
    const AlarmsByRound rounds = AlarmRounds(run.events);
    ASSERT_EQ(rounds.size(), 2u) << Dump(run.events);
    EXPECT_TRUE(Has(rounds[0], "alarm_raised", "120600180010")) << Dump(run.events);
    EXPECT_TRUE(Has(rounds[1], "alarm_cleared", "120600180010")) << Dump(run.events);
    EXPECT_FALSE(Has(rounds[1], "alarm_raised", "120600180010")) << Dump(run.events);
}

// ------------------------------------------------------------------- stores

std::vector<Json::Value> DecodeAll(const std::string& db, const std::string& cwd) {
    Child dec({kDecode, "record", "--db", db, "--all"}, cwd);
    std::vector<Json::Value> out;
    const auto deadline = In(20);
    while (auto line = dec.ReadLine(deadline)) out.push_back(Parse(*line));
    EXPECT_EQ(dec.Wait(In(5)), 0) << dec.stderr_text();
    return out;
}

TEST(RunnerE2E, HistoryHoldsEachRoundAndDecodesToWhatTheRunnerShowed) {
    TempDir dir;
    Json::Value events(Json::arrayValue);
    events.append(Event(1.2, "mains_failure"));  // rounds that differ
    WriteSite(dir, Site({Device(4501, "hist.json", "unicom.json")}),
              {{"hist.json", FastScenario(events)}});

    HostRun run = StartHost(dir, {"--rounds", "3"});
    ASSERT_EQ(run.Finish(30), 0) << run.child->stderr_text();
    const auto shown = Records(run.events);
    ASSERT_EQ(shown.size(), 3u) << Dump(run.events);

    {
        HistoryDb db(dir / "history.db");
        const auto stored = db.Records();
        ASSERT_EQ(stored.size(), shown.size());
        for (const auto& r : stored) {
            EXPECT_EQ(r.blob.size(), kRecordBytes);
            EXPECT_EQ(r.data_id, 4501u);
        }
    }

    const auto decoded = DecodeAll(dir / "history.db", dir.path());
    ASSERT_EQ(decoded.size(), shown.size());
    for (size_t k = 0; k < shown.size(); ++k)
        EXPECT_EQ(decoded[k]["record"], shown[k]) << "round " << k + 1 << "\ndecoded:\n"
                                                  << Text(decoded[k]["record"]) << "\nshown:\n"
                                                  << Text(shown[k]);
    // The rounds differ, so a decoder showing one record for all would fail.
    EXPECT_NE(shown.front()["ac"], shown.back()["ac"]);
}

TEST(RunnerE2E, SigtermMidRoundKeepsEveryCompletedRound) {
    TempDir dir;
    Json::Value events(Json::arrayValue);
    // Every reply comes late, so the line is in the middle of a round
    // almost all the time.
    Json::Value slow = Event(0, "delay");
    slow["ms"] = 300;
    slow["count"] = 100000;
    events.append(slow);
    Json::Value dev = Device(4601, "slow.json", "unicom.json");
    dev["reply_timeout"] = 3;
    WriteSite(dir, Site({dev}), {{"slow.json", FastScenario(events)}});

    HostRun run = StartHost(dir, {});
    ASSERT_TRUE(run.ReadUntil(
        [](const std::vector<Json::Value>& ev) { return Count(ev, "record") >= 2; }, 25))
        << Dump(run.events) << run.child->stderr_text();
    const size_t seen = Count(run.events, "record");
    run.child->Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10), 0) << run.child->stderr_text();

    HistoryDb db(dir / "history.db");
    const auto stored = db.Records();
    EXPECT_GE(stored.size(), seen);
    EXPECT_LE(stored.size(), Count(run.events, "record"));
    for (const auto& r : stored) EXPECT_EQ(r.blob.size(), kRecordBytes);
}

// --------------------------------------------------------- link statistics

TEST(RunnerE2E, LinkStatsReachTheStreamAndTheDatabaseEveryInterval) {
    TempDir dir;
    WriteSite(dir, Site({Device(4901, "line.json", "unicom.json")}),
              {{"line.json", FastScenario()}});

    HostRun run = StartHost(dir, {"--rounds", "2", "--stats-interval", "1"});
    ASSERT_EQ(run.Finish(20), 0) << run.child->stderr_text();
    std::vector<Json::Value> stats;
    for (const auto& e : run.events)
        if (e["event"].asString() == "link_stats") stats.push_back(e);
    // Two rounds take more than two seconds.
    ASSERT_GE(stats.size(), 2u) << Dump(run.events);

    const std::vector<std::string> names = {
        "abandoned", "bad_checksum",    "bad_lchksum", "commands",     "drained_bytes",
        "echoes",    "foreign_address", "good",        "late_replies", "other_damage",
        "polls",     "resets",          "retries",     "rtn_errors",   "settles",
        "timeouts",  "wrong_unit"};
    Json::Value previous(Json::objectValue);
    for (const auto& n : names) previous[n] = Json::UInt64(0);
    for (const auto& e : stats) {
        EXPECT_EQ(e["data_id"].asUInt(), 4901u);
        EXPECT_EQ(e["time"].asString().size(), 19u) << e["time"];
        EXPECT_GT(e["unix_time"].asInt64(), 0);
        ASSERT_EQ(e["totals"].getMemberNames(), names);
        ASSERT_EQ(e["minute"].getMemberNames(), names);
        for (const auto& n : names)
            EXPECT_EQ(e["minute"][n].asUInt64(), e["totals"][n].asUInt64() - previous[n].asUInt64())
                << n << " at " << e["time"];
        previous = e["totals"];
    }
    const uint64_t good = stats.back()["totals"]["good"].asUInt64();
    EXPECT_GT(good, 0u);
    // A clean simulated line: every command answered, nothing damaged.
    EXPECT_EQ(stats.back()["totals"]["timeouts"].asUInt64(), 0u);
    EXPECT_EQ(stats.back()["totals"]["bad_checksum"].asUInt64(), 0u);

    HistoryDb db(dir / "history.db");
    const auto rows = db.LinkStats(4901);
    ASSERT_EQ(rows.size(), stats.size());
    uint64_t stored_good = 0;
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].unix_time, stats[k]["unix_time"].asInt64()) << k;
        EXPECT_EQ(rows[k].counts.good, stats[k]["minute"]["good"].asUInt64()) << k;
        EXPECT_EQ(rows[k].counts.commands, stats[k]["minute"]["commands"].asUInt64()) << k;
        stored_good += rows[k].counts.good;
    }
    EXPECT_LE(stored_good, good);
    EXPECT_EQ(stored_good, good) << "the first row counts from the start";
}

// ------------------------------------------------------------ bad site files

struct BadSite {
    const char* name;
    std::function<void(const TempDir&, Json::Value& site, std::vector<std::string>& args)> spoil;
    const char* message;  // a part of the one line on standard error
};

void PrintTo(const BadSite& c, std::ostream* os) {
    *os << c.name;
}

class BadSiteFile : public testing::TestWithParam<BadSite> {};

TEST_P(BadSiteFile, EndsWithOneLineAndWritesNothing) {
    const BadSite& c = GetParam();
    TempDir dir;
    Json::Value site = Site({Device(4701, "scenario.json", "unicom.json")});
    std::vector<std::string> args;
    dir.Write("scenario.json", Text(FastScenario()));
    c.spoil(dir, site, args);
    dir.Write("site.json", Text(site));
    const auto before = dir.Names();

    HostRun run = StartHost(dir, args);
    const int rc = run.Finish(20);
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, -1) << "still running";
    const std::string err = run.child->stderr_text();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("q318b-host: ", 0), 0u) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_TRUE(run.events.empty());
    EXPECT_EQ(dir.Names(), before) << "no database, no diagnostics log";
}

INSTANTIATE_TEST_SUITE_P(
    RunnerE2E, BadSiteFile,
    testing::Values(BadSite{"MissingMember",
                            [](const TempDir&, Json::Value& s, std::vector<std::string>&) {
                                s["devices"][0].removeMember("port");
                            },
                            "missing member \"port\""},
                    BadSite{"WrongType",
                            [](const TempDir&, Json::Value& s, std::vector<std::string>&) {
                                s["devices"][0]["poll_interval"] = "2.2";
                            },
                            "\"poll_interval\" must be a number"},
                    BadSite{"PortThatDoesNotExist",
                            [](const TempDir& d, Json::Value& s, std::vector<std::string>&) {
                                s["devices"][0]["port"] = d / "ttyNOPE0";
                            },
                            "does not exist"},
                    BadSite{"StatsIntervalNotPositive",
                            [](const TempDir&, Json::Value&, std::vector<std::string>& args) {
                                args = {"--stats-interval", "0"};
                            },
                            "--stats-interval"},
                    BadSite{"StatsIntervalNotANumber",
                            [](const TempDir&, Json::Value&, std::vector<std::string>& args) {
                                args = {"--stats-interval", "1m"};
                            },
                            "--stats-interval"},
                    BadSite{"PluginThatDoesNotLoad",
                            [](const TempDir& d, Json::Value&, std::vector<std::string>& args) {
                                d.Write("not_a_plugin.so", "this is not a shared object\n");
                                args = {"--plugin", d / "not_a_plugin.so"};
                            },
                            "not_a_plugin.so"}),
    [](const testing::TestParamInfo<BadSite>& i) { return std::string(i.param.name); });

}  // namespace

// Settings the plug-in rejects (a rule file it cannot read) stop the runner
// before it polls or opens the database. The plug-in's own lines about the
// rejected file go to the diagnostics log.
TEST(RunnerE2E, SettingsRejectedByThePluginNameTheFileAndTheDevice) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "ini").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "ini/unicom").c_str(), 0755), 0);
    dir.Write("ini/unicom/q318b_419.ini", "[AI]\nthis line has no equals sign\n");
    Json::Value dev = Device(4801, "scenario.json", "unicom.json");
    dev["name"] = "rectifier room";
    dev["workdir"] = ".";
    WriteSite(dir, Site({dev}), {{"scenario.json", FastScenario()}});

    HostRun run = StartHost(dir, {});
    const int rc = run.Finish(20);
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, -1) << "still running";
    const std::string err = run.child->stderr_text();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(dir / "site.json"), std::string::npos) << err;
    EXPECT_NE(err.find("rectifier room"), std::string::npos) << err;
    EXPECT_NE(err.find("q318b_419.ini"), std::string::npos) << err;
    EXPECT_TRUE(run.events.empty());
    EXPECT_FALSE(e2e::FileExists(dir / "history.db"));
}
