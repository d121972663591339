// A trace from the field, back on the bench: the runner traces a line
// whose controller misbehaves, the simulator serves that trace, and a
// runner against the replay publishes the same records; q318b-decode reads
// the trace with every good reply decoded.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/wire/line_trace.h"
#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

using e2e::Child;
using e2e::In;
using e2e::TempDir;

namespace {

const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";

Json::Value Fault(double at, const std::string& action, const std::string& command = "") {
    Json::Value e(Json::objectValue);
    e["at"] = at;
    e["action"] = action;
    if (!command.empty()) e["command"] = command;
    return e;
}

std::string Site(const std::string& port) {
    Json::Value d(Json::objectValue);
    d["data_id"] = 1001;
    d["port"] = port;
    d["poll_interval"] = 1;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
    return e2e::JsonText(site, "  ");
}

// The records of a --json run, each without its time stamp.
std::vector<std::string> Records(Child& c) {
    std::vector<std::string> out;
    while (auto line = c.ReadLine(In(60))) {
        Json::Value e = e2e::ParseJson(*line);
        if (e["event"].asString() != "record") continue;
        e["record"].removeMember("ttime");
        out.push_back(e2e::JsonText(e["record"], ""));
    }
    return out;
}

std::vector<std::string> RunHost(const TempDir& dir, const std::string& site,
                                 const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {Q318B_HOST_PATH, "--site",   dir / site, "--json",
                                     "--no-db",       "--rounds", "6"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child host(argv, dir.path());
    std::vector<std::string> records = Records(host);
    EXPECT_EQ(host.Wait(In(10)), 0) << host.stderr_text();
    return records;
}

}  // namespace

TEST(TraceE2E, AReplayedTracePublishesTheSameRecordsAndDecodes) {
    TempDir dir;
    Json::Value events(Json::arrayValue);
    for (const auto& f :
         {Fault(1, "garble"), Fault(3, "truncate", "41 41"), Fault(5, "bad_checksum", "41 43"),
          Fault(9, "wrong_address"), Fault(11, "bad_length"), Fault(12.5, "silence")}) {
        events.append(f);
    }
    events[5]["duration"] = 1.5;
    Json::Value rtn = Fault(7, "rtn", "41 44");
    rtn["code"] = 2;
    events.append(rtn);
    dir.Write("faults.json", e2e::JsonText(e2e::FastScenario("demo_site.json", events)));
    dir.Write("site.json", Site("sim:faults.json"));
    const std::vector<std::string> first =
        RunHost(dir, "site.json", {"--trace", dir / "line.trace"});
    ASSERT_EQ(first.size(), 6u);

    // Every line reads back, and the faults show as the codec judged them.
    std::vector<rt::TraceEntry> trace;
    std::string err;
    ASSERT_TRUE(rt::ReadTraceFile(dir / "line.trace", &trace, &err)) << err;
    std::map<std::string, int> verdicts;
    for (const auto& e : trace) ++verdicts[e.verdict];
    for (const char* v : {"sent", "good", "retry", "checksum", "length-checksum", "rtn",
                          "foreign-address", "timeout"})
        EXPECT_GT(verdicts[v], 0) << v;

    Child sim({Q318B_SIM_PATH, "--replay-trace", dir / "line.trace"}, dir.path());
    const auto pty = sim.ReadLine(In(10));
    ASSERT_TRUE(pty) << sim.stderr_text();
    dir.Write("replay.json", Site(*pty));
    const std::vector<std::string> second = RunHost(dir, "replay.json", {});
    EXPECT_EQ(second, first);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(In(10)), 0) << sim.stderr_text();

    // The decoder names the fields of the first good AC reply: the
    // scenario's values.
    Child dec({Q318B_DECODE_PATH, "trace", dir / "line.trace", "--settings",
               kExamples + "/settings/unicom.json"},
              dir.path());
    const Json::Value scenario = e2e::ParseJson(e2e::ReadFile(dir / "faults.json"));
    bool decoded = false;
    size_t lines = 0;
    while (auto line = dec.ReadLine(In(20))) {
        ++lines;
        const Json::Value j = e2e::ParseJson(*line);
        if (decoded || j["command"].asString() != "4041" || !j.isMember("ac")) continue;
        decoded = true;
        EXPECT_DOUBLE_EQ(j["ac"]["channel"][0]["a"].asDouble(),
                         scenario["ac"]["inputs"][0]["a"].asDouble());
        EXPECT_DOUBLE_EQ(j["ac"]["channel"][0]["f"].asDouble(),
                         scenario["ac"]["inputs"][0]["f"].asDouble());
    }
    EXPECT_TRUE(decoded);
    EXPECT_EQ(lines, trace.size());
    EXPECT_EQ(dec.Wait(In(10)), 0) << dec.stderr_text();
}
