// The host on a bad line: whatever the line does, no record built from
// another command's reply and no alarm the site does not have.
#include "tests/soak/soak.h"

#include <gtest/gtest.h>

namespace {

soak::Options Base() {
    soak::Options o;
    o.source_dir = Q318B_SOURCE_DIR;
    return o;
}

}  // namespace

// One reply 1.5 s late, or one burst of noise that looks like a frame:
// before, the late reply was taken for the next command's and every later
// reply of the round shifted by one.
TEST(Soak, LateReplyAndNoiseFrameLeaveEveryRecordRight) {
    struct Case {
        const char* what;
        soak::Options::Fixed fault;
    } cases[] = {
        {"late 40 41 reply", {3, "delay", R"({"ms": 1500, "command": "40 41"})"}},
        {"noise frame", {3, "garbage", R"({"text": "~\r"})"}},
    };
    for (const auto& c : cases) {
        soak::Options o = Base();
        o.pace = true;  // as on the wire, so the late reply really is late
        o.poll_interval = 2.5;
        o.rounds = 5;
        o.fault_share = 0;
        o.fixed = {c.fault};
        const soak::Result r = soak::Run(o);
        SCOPED_TRACE(std::string(c.what) + "\n" + soak::Summary(r));
        EXPECT_EQ(r.rounds, 5);
        EXPECT_EQ(r.damaged, 0);
        EXPECT_EQ(r.false_alarms, 0);
        EXPECT_EQ(r.lost, 0) << "the faulted round completes, after its retry";
        EXPECT_EQ(r.records, 5);
        EXPECT_EQ(r.stats.retries, 1u) << "the fault was on the line";
        EXPECT_GE(r.stats.settles, 1u);
    }
}

// The counters themselves: a site that really changes (a module faults)
// shows as records unlike the scenario and as alarm events.
TEST(Soak, ARealChangeIsCounted) {
    soak::Options o = Base();
    o.rounds = 6;
    o.fault_share = 0;
    o.fixed = {{12, "module_fault", R"({"module": 0, "fault": 1})"}};
    const soak::Result r = soak::Run(o);
    EXPECT_GE(r.damaged, 3) << soak::Summary(r);
    EXPECT_GE(r.false_alarms, 1) << soak::Summary(r);
}

// A short seed set over every fault kind; the long runs are in
// docs/performance.md.
TEST(Soak, SeededFaultSchedulesDamageNothing) {
    long injected = 0;
    for (uint64_t seed : {1, 2, 3}) {
        soak::Options o = Base();
        o.seed = seed;
        o.rounds = 120;
        o.fault_share = 0.6;
        const soak::Result r = soak::Run(o);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + soak::Summary(r));
        EXPECT_EQ(r.rounds, 120);
        EXPECT_EQ(r.damaged, 0);
        EXPECT_EQ(r.false_alarms, 0);
        // A round is lost only when every attempt of one exchange failed
        // (a silence longer than the retries): never more than one per fault.
        long faults = 0;
        for (const auto& f : r.injected) faults += f.second;
        EXPECT_LE(r.lost, faults);
        EXPECT_EQ(r.records + r.lost, r.rounds);
        injected += faults;
    }
    EXPECT_GT(injected, 150);
}
