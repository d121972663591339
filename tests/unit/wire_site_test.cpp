// The driver and the simulator in one process, over a pseudo-terminal:
// what the host receives must be what the scenario says, field by field,
// whatever the line does to the replies on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/q318b_419.h"
#include "runtime/wire/frame_codec.h"
#include "sim/controller.h"
#include "sim/scenario.h"
#include "tests/support/record_diff.h"
#include "tests/support/sim_rig.h"
#include "tests/support/virtual_time.h"

using namespace std::chrono_literals;

namespace {

sim::Scenario Load(const std::string& name) {
    sim::Scenario s;
    std::string err;
    EXPECT_TRUE(sim::LoadScenarioFile(
        std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/" + name + ".json", &s, &err))
        << err;
    return s;
}

// The record the driver must have made of the scenario's replies.
void ExpectRecord(const q318b_419_Data_t& d, const sim::Scenario& s, const std::string& what) {
    std::string all;
    for (const auto& line : RecordDiffs(d, s)) all += "\n  " + line;
    EXPECT_TRUE(all.empty()) << what << ":" << all;
}

q318b_419_Data_t LastRecord(const RecordingController& host) {
    q318b_419_Data_t d;
    std::memset(static_cast<void*>(&d), 0, sizeof d);
    auto pubs = host.Of(HostCall::Kind::kPublish);
    EXPECT_FALSE(pubs.empty());
    if (!pubs.empty()) {
        EXPECT_EQ(pubs.back().bytes.size(), sizeof d);
        std::memcpy(static_cast<void*>(&d), pubs.back().bytes.data(),
                    std::min(sizeof d, pubs.back().bytes.size()));
    }
    return d;
}

// A device set up the way a site file would set it up for the scenario.
std::unique_ptr<q318b_419> DeviceFor(const sim::Scenario& s, SimRig& rig) {
    auto dev = std::make_unique<q318b_419>();
    dev->Init(rig.port, 7, Json::Value());
    dev->address_ = s.address;
    dev->has_ac = s.ac.has_value();
    dev->has_dc = !s.dc.empty();
    dev->has_tower = s.layout.tower;
    if (s.layout.group_byte == sim::Layout::GroupByte::kAlways) dev->group_byte_ = 0xFF;
    return dev;
}

// Body of a command frame as the driver sends it.
std::string Cmd(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {}) {
    const std::string f = wire::EncodeCommand(wire::Version(0x20), wire::Address(1), cid1, cid2,
                                              info.data(), info.size());
    return f.substr(1, f.size() - 2);
}

}  // namespace

TEST(WireSite, RecordEqualsTheScenarioFieldByField) {
    for (const char* name : {"small_site", "large_site", "layout_variants", "over_capacity"}) {
        sim::Scenario s = Load(name);
        s.pace = false;
        s.turnaround_ms = 0;
        SimRig rig(s);
        ASSERT_TRUE(rig.served) << rig.error;
        auto dev = DeviceFor(s, rig);
        rig.port->AddDevice(*dev, rt::DeviceSchedule());
        testing::internal::CaptureStdout();
        rig.port->Start();
        const bool done = rig.RunUntil([&] { return rig.Published() == 1; });
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(done) << name;
        ExpectRecord(LastRecord(*rig.services), s, name);
        const auto& st = rig.port->Stats(*dev);
        EXPECT_EQ(st.Rejected(), 0u) << name;
        EXPECT_EQ(st.replies, dev->has_dc ? 8u : 6u) << name;
        EXPECT_EQ(rig.services->Of(HostCall::Kind::kHistory).size(), 1u) << name;
    }
}

// Damaged replies carry other values than the good ones (a "poison" site):
// had any of them reached a decoder, the record would show it.
TEST(WireSite, DamagedRepliesAreSurvivedAndNeverReachTheRecord) {
    const sim::Scenario good = Load("small_site");
    sim::Scenario poison = good;
    for (auto& m : poison.rectifiers->modules) {
        m.current = 999.0f;
        m.state[0] = m.state[1] = m.state[2] = 0x99;
        m.fault = 0x99;
    }
    poison.dc[0].voltage_alarm = 0x99;
    sim::SimController g(good), p(poison);

    const auto info_of = [](sim::SimController& c, uint8_t cid1, uint8_t cid2,
                            std::vector<uint8_t> cmd) {
        std::string text;
        EXPECT_EQ(c.BuildInfo(cid1, cid2, cmd, &text), 0);
        return text;
    };
    const auto frame = [](uint8_t cid1, uint8_t rtn, const std::string& info) {
        std::string out;
        wire::EncodeFrameText(wire::Version(0x20), wire::Address(1), cid1, rtn, info, &out);
        return out;
    };
    std::string bad_sum = frame(0x41, 0, info_of(p, 0x41, 0x41, {}));
    bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
    const std::string rtn2 = frame(0x41, 2, info_of(p, 0x41, 0x43, {}));
    std::string cut = frame(0x41, 0, info_of(p, 0x41, 0x44, {}));
    cut.resize(cut.size() - 9);
    std::string bad_len = frame(0x42, 0, info_of(p, 0x42, 0x44, {0xFF}));
    bad_len[9] = bad_len[9] == '0' ? '1' : '0';

    sim::Scenario s = good;
    s.pace = false;
    s.turnaround_ms = 0;
    const auto replay = [&](uint8_t cid1, uint8_t cid2, std::vector<std::string> frames) {
        sim::Replay r;
        r.cid1 = cid1;
        r.cid2 = cid2;
        r.frames = std::move(frames);
        s.replay.push_back(r);
    };
    replay(0x40, 0x41, {"\x01\xFFjunk\r\n" + g.Answer(Cmd(0x40, 0x41, {1}), 0).text + "\r\n"});
    replay(0x41, 0x41, {bad_sum, g.Answer(Cmd(0x41, 0x41), 0).text});
    replay(0x41, 0x43, {rtn2, g.Answer(Cmd(0x41, 0x43), 0).text});
    replay(0x41, 0x44, {cut, g.Answer(Cmd(0x41, 0x44), 0).text});
    replay(0x42, 0x44, {bad_len, g.Answer(Cmd(0x42, 0x44, {0xFF}), 0).text});
    Json::Value silence;
    silence["command"] = "42 41";
    s.events.push_back({0, "silence", silence});

    rt::ManualTime clock;
    SimRig rig(s, &clock);
    ASSERT_TRUE(rig.served) << rig.error;
    auto dev = DeviceFor(s, rig);
    rt::DeviceSchedule sched;
    sched.reply_timeout = 2s;
    sched.poll_interval = 60s;
    sched.reset_interval = 600s;
    rig.port->AddDevice(*dev, sched);
    testing::internal::CaptureStdout();
    rig.port->Start();
    // The line stalls twice (the cut frame, the silence) and waits for
    // quiet after every fault: time moves on only when it does.
    RunVirtual(
        rig.loop, clock, [&] { return rig.Published() == 1; }, 120s);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.Published(), 1u);
    ExpectRecord(LastRecord(*rig.services), good, "after the damaged replies");

    const auto& st = rig.port->Stats(*dev);
    EXPECT_EQ(st.rejected[static_cast<int>(wire::FrameError::kBadChksum)], 1u);
    EXPECT_EQ(st.rejected[static_cast<int>(wire::FrameError::kReturnCode)], 1u);
    EXPECT_EQ(st.rejected[static_cast<int>(wire::FrameError::kBadLchksum)], 1u);
    EXPECT_EQ(st.timeouts, 2u) << "the cut frame and the silence";
    EXPECT_EQ(st.process_errors, 5u);
    EXPECT_EQ(st.abandoned, 0u) << "each exchange went on at its retry";
    EXPECT_EQ(st.replies, 8u);
    EXPECT_GT(rig.port->stray_bytes(), 0u) << "the junk between frames";
}

TEST(WireSite, SilentControllerRaisesTheLinkAlarmAndPollingResumes) {
    sim::Scenario s = Load("small_site");
    s.pace = false;
    s.turnaround_ms = 0;
    Json::Value silence;
    silence["duration"] = 130;
    s.events.push_back({0, "silence", silence});

    rt::ManualTime clock;
    SimRig rig(s, &clock);
    ASSERT_TRUE(rig.served) << rig.error;
    auto dev = DeviceFor(s, rig);
    dev->alarm_level_["120600180010"] = 2;
    rt::DeviceSchedule sched;
    sched.reply_timeout = 2s;
    sched.retries = 2;
    sched.poll_interval = 20s;
    sched.reset_interval = 30s;
    rig.port->AddDevice(*dev, sched);
    testing::internal::CaptureStdout();
    rig.port->Start();
    const auto link_alarms = [&] {
        std::vector<bool> states;
        for (const auto& c : rig.services->Of(HostCall::Kind::kThresholdBool))
            if (c.alarm_id == "120600180010") states.push_back(c.active);
        return states;
    };
    // Two minutes of silence in 2 s steps: rounds abandoned, Reset() on the
    // host's timer raising the link alarm (no round has ever completed).
    for (int i = 0; i < 60; ++i) {
        rig.RunUntil([] { return false; }, 3, 1ms);
        clock.Advance(2s);
    }
    EXPECT_EQ(rig.Published(), 0u);
    const auto& st = rig.port->Stats(*dev);
    EXPECT_GE(st.abandoned, 4u);
    EXPECT_EQ(st.replies, 0u);
    EXPECT_GE(st.resets, 3u);
    auto states = link_alarms();
    ASSERT_FALSE(states.empty());
    EXPECT_TRUE(states.back()) << "link alarm raised";
    EXPECT_EQ(rig.log.size(), 2u) << "one line a minute for a link that keeps failing";

    // The controller speaks again: the exchange waiting at the end of the
    // silence times out, its retry is answered and the round runs on.
    clock.Advance(30s);
    ASSERT_TRUE(RunVirtual(
        rig.loop, clock, [&] { return rig.Published() == 1; }, 60s));
    testing::internal::GetCapturedStdout();
    ExpectRecord(LastRecord(*rig.services), s, "after the silence");
    states = link_alarms();
    EXPECT_FALSE(states.back()) << "link alarm cleared";
}
