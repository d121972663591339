// The probe on a real pseudo-terminal line with simulated controllers on
// it: several at their own addresses, and a converter that echoes.
#include "tools/probe/probe_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "runtime/wire/event_loop.h"
#include "runtime/wire/transport.h"
#include "tests/unit/decoder_test_util.h"
#include "tools/probe/probe_layout.h"
#include "tools/probe/probe_report.h"
#include "tools/probe/probe_sim.h"

namespace {

sim::Scenario Demo() {
    sim::Scenario s;
    std::string err;
    EXPECT_TRUE(sim::LoadScenarioFile(
        std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/demo_site.json", &s, &err))
        << err;
    s.events.clear();
    s.pace = false;
    s.turnaround_ms = 0;
    return s;
}

std::vector<probe::Found> ProbeLine(std::vector<sim::Scenario> scenarios, int last_address) {
    rt::EventLoop loop;
    probe::SimLine line(loop, std::move(scenarios));
    std::string err;
    EXPECT_TRUE(line.Serve(&err)) << err;
    rt::SerialPort port(line.pty_path(), 9600);
    EXPECT_TRUE(port.Open(&err)) << err;
    probe::LineOptions opt;
    opt.first_address = 1;
    opt.last_address = last_address;
    // An absent address costs one timeout; the simulator answers at once.
    opt.first_byte_timeout = std::chrono::milliseconds(300);
    std::vector<probe::Found> found;
    {
        probe::LineProbe lp(loop, port, opt);
        found = lp.Run(nullptr);
        EXPECT_EQ(lp.error(), "");
    }
    port.Close();
    line.Stop();
    return found;
}

probe::Options Infer(const probe::Found& f) {
    probe::Verdict v;
    Printed([&] { v = probe::InferLayout(f.round); });
    EXPECT_FALSE(v.fits.empty());
    return v.fits.empty() ? probe::Options() : v.fits.front().options;
}

TEST(ProbeLine, FindsTwoControllersSharingOneLine) {
    sim::Scenario first = Demo();
    sim::Scenario second = Demo();
    second.address = 2;
    second.ac.reset();
    second.layout.dc_number = false;
    for (auto& m : second.rectifiers->modules) m.extra = {0x01};

    const std::vector<probe::Found> found = ProbeLine({first, second}, 3);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].address, 1);
    EXPECT_EQ(found[1].address, 2);
    for (const auto& f : found) {
        EXPECT_EQ(f.version, 0x20);
        EXPECT_EQ(f.round.exchanges.size(), probe::ProbeCommands().size());
    }
    // The second controller has no AC unit: its AC commands get RTN 4.
    const probe::Exchange* ac = found[1].round.Find(0x40, 0x41, probe::Arg::kGroup);
    ASSERT_NE(ac, nullptr);
    EXPECT_TRUE(ac->answered);
    EXPECT_EQ(ac->rtn, 4);

    const probe::Options a = Infer(found[0]);
    EXPECT_TRUE(a.has_ac);
    EXPECT_EQ(a.no_dc_number, 2);
    EXPECT_EQ(a.skip_41_41, 0);
    const probe::Options b = Infer(found[1]);
    EXPECT_FALSE(b.has_ac);
    EXPECT_EQ(b.no_dc_number, 1);
    EXPECT_EQ(b.skip_41_41, 1);
}

TEST(ProbeLine, TakesTheReplyNotTheEchoNorAnotherAddress) {
    sim::Scenario s = Demo();
    s.address = 2;
    // The first round command's reply claims to come from address 3 (a
    // reply takes the oldest live fault, so this one comes first).
    sim::Event foreign;
    foreign.action = "wrong_address";
    foreign.args["command"] = "40 41";
    s.events.push_back(foreign);
    sim::Event echo;
    echo.action = "echo";
    echo.args["count"] = 1000;
    s.events.push_back(echo);

    const std::vector<probe::Found> found = ProbeLine({s}, 2);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, 2);
    const probe::Options o = Infer(found[0]);
    EXPECT_TRUE(o.has_ac);
    EXPECT_TRUE(o.has_dc);
    EXPECT_EQ(o.cg, 1);
}

// A reply that comes after its timeout is not taken for the next
// command's answer.
TEST(ProbeLine, ALateReplyDoesNotShiftTheRound) {
    sim::Scenario s = Demo();
    // Paced as on a real line, so replies take their wire time.
    s.pace = true;
    sim::Event late;
    late.action = "delay";
    late.args["ms"] = 500;
    late.args["command"] = "40 41";
    s.events.push_back(late);
    const std::vector<probe::Found> found = ProbeLine({s}, 1);
    ASSERT_EQ(found.size(), 1u);
    const probe::RoundCapture& r = found[0].round;
    // With the group byte after the DATAFLAG, and without.
    EXPECT_EQ(r.Find(0x40, 0x41, probe::Arg::kAll)->info.size(), 32u);
    EXPECT_EQ(r.Find(0x40, 0x41, probe::Arg::kNone)->info.size(), 31u);
    EXPECT_EQ(r.Find(0x40, 0x43, probe::Arg::kGroup)->info.size(), 5u);
    const probe::Options o = Infer(found[0]);
    EXPECT_TRUE(o.has_ac);
    EXPECT_EQ(o.no_dc_number, 2);
}

// A controller of another version refuses the scan's query (RTN 1) but
// names its version; the round is asked in it, and the device entry sets
// the runner's "protocol_version" to it.
TEST(ProbeLine, AnotherProtocolVersion) {
    sim::Scenario s = Demo();
    s.version = 0x21;
    const std::vector<probe::Found> found = ProbeLine({s}, 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].version, 0x21);
    EXPECT_EQ(found[0].scan_rtn, 1);
    const probe::Options o = Infer(found[0]);
    EXPECT_TRUE(o.has_ac);
    EXPECT_EQ(o.no_dc_number, 2);

    probe::Report r;
    r.port = "sim:x.json";
    probe::Verdict v;
    Printed([&] { v = probe::InferLayout(found[0].round); });
    r.controllers.push_back({found[0], v});
    const std::string text = probe::ReportText(r);
    EXPECT_NE(text.find("protocol version 0x21"), std::string::npos) << text;
    // Not a problem any more: the device entry names the version.
    EXPECT_EQ(text.find("problem:"), std::string::npos) << text;
    const Json::Value j = probe::ReportJson(r);
    EXPECT_EQ(j["controllers"][0]["problems"].size(), 0u);
    EXPECT_EQ(j["controllers"][0]["device"]["protocol_version"].asInt(), 0x21);
    EXPECT_EQ(j["controllers"][0]["device"]["settings"]["appSetting"]["has_ac"].asInt(), 1);
}

TEST(ProbeLine, NothingOnTheLine) {
    sim::Scenario s = Demo();
    s.address = 9;
    EXPECT_TRUE(ProbeLine({s}, 2).empty());
}

}  // namespace
