// The poll chain driven as the host drives it: RefreshStatus(), then one
// reply per command through process_payload(), with a recording host.
#include <boost/date_time/posix_time/posix_time.hpp>
#include <functional>

#include "tests/support/device_harness.h"
#include "tests/unit/decoder_test_util.h"

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;

const Bytes kDcV = {0xCD, 0xCC, 0x56, 0x42};   // 53.7
const Bytes kDcI = {0x66, 0x66, 0xCA, 0x41};   // 25.3
const Bytes kDcV2 = {0x66, 0x66, 0x58, 0x42};  // 54.1
const Bytes kDcI2 = {0x9A, 0x99, 0x41, 0x41};  // 12.1

// Minimal well-formed replies, INFO field as the host delivers it.
const Bytes kAcAnalog = {0x00,                     // DATAFLAG
                         0x01,                     // one AC input
                         0x33, 0xB3, 0x5C, 0x43,   // A 220.7
                         0xCD, 0x4C, 0x5D, 0x43,   // B 221.3
                         0x66, 0xE6, 0x5E, 0x43,   // C 222.9
                         0x66, 0x66, 0x48, 0x42,   // f 50.1
                         0x00,                     // no user values
                         0x33, 0x33, 0x2B, 0x41,   // ia 10.7
                         0xCD, 0xCC, 0x34, 0x41,   // ib 11.3
                         0x66, 0x66, 0x4E, 0x41};  // ic 12.9
const Bytes kAcStatus = {0x00, 0x00 /* no switch states */, 0x01, 0xA7 /* one status byte */};
const Bytes kAcAlarm = {0x00, 0x01,               // DATAFLAG, one input
                        0xA1, 0xA2, 0xA3, 0xA4,   // a, b, c, f alarms
                        0x00, 0x01, 0xC1,         // no fuses, one user byte
                        0xB1, 0xB2, 0xB3};        // current alarms
const Bytes kRcAnalog = {0x00,                    // DATAFLAG
                         0x9A, 0x99, 0x56, 0x42,  // output voltage
                         0x01,                    // one module
                         0x9A, 0x99, 0x79, 0x40,  // module current 3.9
                         0x00};                   // no user values
const Bytes kRcStatus = {0x00, 0x01, 0xD1, 0xD2, 0xD3, 0x00};
const Bytes kRcAlarm = {0x00, 0x01, 0xE1, 0x00};
const Bytes kDcGroup = Cat({kDcV, kDcI, {0x00, 0x00, 0x00}});  // v, i, M N P = 0
const Bytes kDcGroup2 = Cat({kDcV2, kDcI2, {0x00, 0x00, 0x00}});
const Bytes kDcAnalogOne = Cat({{0x00}, kDcGroup});  // no group count
const Bytes kDcAnalogTwo = Cat({{0x00, 0x02}, kDcGroup, kDcGroup2});
const Bytes kDcAlarmOne = {0x00, 0xF1, 0x00, 0x00};
const Bytes kDcAlarmTwo = {0x00, 0x02, 0xF1, 0x00, 0x00, 0xF2, 0x00, 0x00};

const std::vector<Bytes> kAcAndRc = {kAcAnalog, kAcStatus, kAcAlarm,
                                     kRcAnalog, kRcStatus, kRcAlarm};

std::vector<std::string> Commands(const RecordingController& host) {
    std::vector<std::string> out;
    for (const auto& c : host.Of(HostCall::Kind::kCommand)) out.push_back(ToText(c));
    return out;
}

struct CycleResult {
    bool started = false;
    std::vector<int> returns;
    std::vector<int> steps;  // poll_step_ after each reply
    std::string printed;
};

CycleResult RunCycle(DeviceHarness& h, const std::vector<Bytes>& replies) {
    CycleResult r;
    r.printed = Printed([&] {
        r.started = h.dev->RefreshStatus();
        for (const auto& info : replies) {
            r.returns.push_back(h.Reply(info));
            r.steps.push_back(h.dev->poll_step_);
        }
    });
    return r;
}

TEST(PollCycle, DefaultChainSendsSixCommandsAndCompletes) {
    DeviceHarness h;
    const CycleResult r = RunCycle(h, kAcAndRc);
    EXPECT_TRUE(r.started);
    EXPECT_EQ(
        Commands(*h.host),
        (std::vector<std::string>{"command 40 41 [01]", "command 40 43 [01]", "command 40 44 [01]",
                                  "command 41 41 []", "command 41 43 []", "command 41 44 []"}));
    EXPECT_EQ(r.returns, (std::vector<int>{1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(r.steps, (std::vector<int>{101, 102, 104, 105, 106, 10}));
    EXPECT_EQ(h.host->Of(HostCall::Kind::kPublish).size(), 1u);
    EXPECT_EQ(h.host->Of(HostCall::Kind::kHistory).size(), 1u);
    EXPECT_EQ(Count(r.printed, " reset called\n"), 2);
    EXPECT_NE(r.printed.find("41_43 11 vs 11\n"), std::string::npos);

    const auto& d = h.dev->data_;
    EXPECT_FLOAT_EQ(Val(d.ac.channel[0].a), 220.7f);
    EXPECT_EQ(d.ac.p40_43[0], 0xA7);
    EXPECT_EQ(d.ac.ic_alarm, 0xB3);
    EXPECT_FLOAT_EQ(Val(d.rc.channel[0].i), 3.9f);
    EXPECT_EQ(d.rc.channel[0].state[2], 0xD3);
    EXPECT_EQ(d.rc.channel[0].fault, 0xE1);
}

TEST(PollCycle, OptionsShapeTheCommands) {
    struct Case {
        const char* name;
        std::function<void(q318b_419&)> setup;
        std::vector<Bytes> replies;
        std::vector<std::string> commands;
        std::vector<int> steps;
    } cases[] = {
        {"first AC command without INFO",
         [](q318b_419& d) { d.no_40_arg = 1; },
         kAcAndRc,
         {"command 40 41 []", "command 40 43 [01]", "command 40 44 [01]", "command 41 41 []",
          "command 41 43 []", "command 41 44 []"},
         {101, 102, 104, 105, 106, 10}},
        {"no AC unit: rectifiers first",
         [](q318b_419& d) { d.has_ac = false; },
         {kRcAnalog, kRcStatus, kRcAlarm},
         {"command 41 41 []", "command 41 43 []", "command 41 44 []"},
         {105, 106, 10}},
        {"DC unit: 42 41 and 42 44 with FF",
         [](q318b_419& d) { d.has_dc = true; },
         {kAcAnalog, kAcStatus, kAcAlarm, kRcAnalog, kRcStatus, kRcAlarm, kDcAnalogOne,
          kDcAlarmOne},
         {"command 40 41 [01]", "command 40 43 [01]", "command 40 44 [01]", "command 41 41 []",
          "command 41 43 []", "command 41 44 []", "command 42 41 [FF]", "command 42 44 [FF]"},
         {101, 102, 104, 105, 106, 107, 108, 10}},
        {"DC unit with no_42_arg: no INFO",
         [](q318b_419& d) {
             d.has_dc = true;
             d.has_ac = false;
             d.no_42_arg = 1;
         },
         {kRcAnalog, kRcStatus, kRcAlarm, kDcAnalogOne, kDcAlarmOne},
         {"command 41 41 []", "command 41 43 []", "command 41 44 []", "command 42 41 []",
          "command 42 44 []"},
         {105, 106, 107, 108, 10}},
        {"group byte FF: carried by every AC command, skipped in every AC reply",
         [](q318b_419& d) { d.group_byte_ = 0xFF; },
         {Cat({{0x00, 0xFF}, {kAcAnalog.begin() + 1, kAcAnalog.end()}}),
          Cat({{0x00, 0xFF}, {kAcStatus.begin() + 1, kAcStatus.end()}}),
          Cat({{0x00, 0xFF}, {kAcAlarm.begin() + 1, kAcAlarm.end()}}), kRcAnalog, kRcStatus,
          kRcAlarm},
         {"command 40 41 [FF]", "command 40 43 [FF]", "command 40 44 [FF]", "command 41 41 []",
          "command 41 43 []", "command 41 44 []"},
         {101, 102, 104, 105, 106, 10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceHarness h;
        c.setup(*h.dev);
        const CycleResult r = RunCycle(h, c.replies);
        EXPECT_TRUE(r.started);
        EXPECT_EQ(Commands(*h.host), c.commands);
        EXPECT_EQ(r.steps, c.steps);
        EXPECT_EQ(r.returns.back(), 0);
        EXPECT_EQ(h.host->Of(HostCall::Kind::kPublish).size(), 1u);
        // Whatever the layout, the same values land in the record.
        if (h.dev->has_ac) {
            EXPECT_FLOAT_EQ(Val(h.dev->data_.ac.ib), 11.3f);
            EXPECT_EQ(h.dev->data_.ac.p40_43[0], 0xA7);
            EXPECT_EQ(h.dev->data_.ac.channel[0].p40_44[0], 0xC1);
        }
        EXPECT_EQ(h.dev->data_.rc.channel[0].fault, 0xE1);
    }
}

TEST(PollCycle, DcGroupCountIsDetectedFromTheFirstAnalogReply) {
    struct Case {
        const char* name;
        Bytes analog;
        Bytes alarm;
        int want_mode;
        uint64_t want_groups;  // dc_number_ afterwards
        bool second_group;
        std::vector<std::string> printed;
    } cases[] = {
        {"bus voltage right after the DATAFLAG: no count",
         kDcAnalogOne,
         kDcAlarmOne,
         1,
         0,
         false,
         {"test dc_v:53.7\n", "no dc number is 1\n", "parse42_41 53.700001 25.299999\n"}},
        {"a count of 2 before the groups",
         kDcAnalogTwo,
         kDcAlarmTwo,
         2,
         2,
         true,
         {"no dc number is 2\n", "pmbuspower_419 PMBUSPOWER_42_41 dc_number:2\n",
          "pmbuspower_419 PMBUSPOWER_42_44 dc_number:2\n", "parse42_41 54.099998 12.100000\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceHarness h;
        h.dev->has_dc = true;
        h.dev->has_ac = false;
        std::vector<Bytes> replies = {kRcAnalog, kRcStatus, kRcAlarm, c.analog, c.alarm};
        const CycleResult r = RunCycle(h, replies);
        EXPECT_EQ(h.dev->no_dc_number, c.want_mode);
        EXPECT_EQ(h.dev->dc_number_, c.want_groups);
        const auto& d = h.dev->data_;
        EXPECT_FLOAT_EQ(Val(d.dc1.v), 53.7f);
        EXPECT_FLOAT_EQ(Val(d.dc1.i), 25.3f);
        EXPECT_EQ(d.dc1.v_alarm, 0xF1);
        EXPECT_FLOAT_EQ(Val(d.dc2.v), c.second_group ? 54.1f : 0.0f);
        EXPECT_EQ(d.dc2.v_alarm, c.second_group ? 0xF2 : 0x00);
        for (const auto& line : c.printed)
            EXPECT_NE(r.printed.find(line), std::string::npos) << line;
        // The next round does not test again.
        h.dev->last_data_time_ -= seconds(5);
        const CycleResult next = RunCycle(h, replies);
        EXPECT_EQ(next.printed.find("test dc_v:"), std::string::npos);
        EXPECT_EQ(h.dev->no_dc_number, c.want_mode);
    }
}

TEST(PollCycle, OneGroupCountedLeavesTheSecondGroupAlone) {
    DeviceHarness h;
    h.dev->has_dc = true;
    h.dev->has_ac = false;
    h.dev->no_dc_number = 2;
    h.dev->data_.dc2.v_alarm = 0x77;
    RunCycle(h, {kRcAnalog,
                 kRcStatus,
                 kRcAlarm,
                 Cat({{0x00, 0x01}, kDcGroup, kDcGroup2}),
                 {0x00, 0x01, 0xF1, 0x00, 0x00, 0xF2, 0x00, 0x00}});
    EXPECT_EQ(h.dev->dc_number_, 1u);
    EXPECT_FLOAT_EQ(Val(h.dev->data_.dc1.v), 53.7f);
    EXPECT_FLOAT_EQ(Val(h.dev->data_.dc2.v), 0.0f);
    EXPECT_EQ(h.dev->data_.dc2.v_alarm, 0x77);
}

TEST(PollCycle, RepliesOutsideTheChainAnswerControlRequests) {
    for (int step : {10, 103, 300, 310, 0}) {
        SCOPED_TRACE(step);
        DeviceHarness h;
        h.dev->poll_step_ = step;
        const q318b_419_Data_t before = h.dev->data_;
        int rc = -2;
        const std::string out = Printed([&] { rc = h.Reply(kAcAnalog); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(h.dev->ctrl_result_, 1);
        EXPECT_EQ(h.dev->poll_step_, step);
        EXPECT_TRUE(h.host->calls.empty());
        EXPECT_EQ(std::memcmp(&before, &h.dev->data_, sizeof before), 0);
        EXPECT_TRUE(out.empty()) << out;
    }
}

TEST(PollCycle, UndecodableAcAnalogReplyHaltsTheCycle) {
    DeviceHarness h;
    Printed([&] { h.dev->RefreshStatus(); });
    h.host->Clear();
    int rc = 0;
    Printed([&] { rc = h.Reply(Bytes(kAcAnalog.begin(), kAcAnalog.end() - 1)); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(h.dev->poll_step_, 100);
    EXPECT_TRUE(h.host->calls.empty());
}

TEST(PollCycle, RefreshStatusWaitsAfterACompletedRound) {
    DeviceHarness h;
    RunCycle(h, kAcAndRc);
    h.host->Clear();
    bool started = true;
    Printed([&] { started = h.dev->RefreshStatus(); });
    EXPECT_FALSE(started);
    EXPECT_EQ(h.dev->serial_cmd_, 10);
    EXPECT_TRUE(h.host->calls.empty());

    h.dev->last_data_time_ = second_clock::local_time() - seconds(2);
    Printed([&] { started = h.dev->RefreshStatus(); });
    EXPECT_TRUE(started);
    EXPECT_EQ(Commands(*h.host), std::vector<std::string>{"command 40 41 [01]"});
    EXPECT_EQ(h.dev->poll_step_, 100);
}

TEST(PollCycle, RefreshStatusSendsNothingWhenTheHostRefuses) {
    DeviceHarness h;
    h.host->may_poll = false;
    EXPECT_FALSE(h.dev->RefreshStatus());
    EXPECT_TRUE(h.host->calls.empty());
}

TEST(PollCycle, ModelAndLayoutOptionsReachTheDecoders) {
    DeviceHarness h;
    h.dev->device_type_ = "lfcq93_k408n27_419";
    h.dev->has_tower = true;
    h.dev->has_dc = true;
    h.dev->no_dc_number = 1;
    h.dev->dc_i_adjust = -1;
    const Bytes ac_analog = {0x00, 0x01, 0x33, 0xB3, 0x5C, 0x43, 0xCD, 0x4C, 0x5D, 0x43,  // A, B
                             0x66, 0xE6, 0x5E, 0x43, 0x66, 0x66, 0x48, 0x42,              // C, f
                             0x00,                          // no tower values
                             0x09, 0x9A, 0x99, 0xD9, 0x3F,  // lfcq93: ignored byte, one float
                             0x33, 0x33, 0x2B, 0x41, 0xCD, 0xCC, 0x34, 0x41, 0x66, 0x66,
                             0x4E, 0x41};
    const Bytes ac_status = {0x00, 0x00, 0x00 /* no tower */, 0x00};
    const Bytes ac_alarm = {0x00, 0x01, 0xA1, 0xA2,
                            0xA3, 0xA4, 0x01, 0xF1,  // fuse: stored for this model
                            0x01, 0xD1,              // tower byte
                            0x01, 0xC1,              // user byte
                            0xB1, 0xB2, 0xB3, 0xE9};
    const Bytes rc_analog = {0x00, 0x9A, 0x99, 0x56, 0x42, 0x01, 0x9A, 0x99,
                             0x79, 0x40, 0x01, 0xCD, 0xCC, 0x0E, 0x42,  // tower value 35.7
                             0x00};
    const Bytes rc_status = {0x00, 0x01, 0xD1, 0xD2, 0xD3, 0x00 /* no tower */, 0x00};
    const Bytes rc_alarm = {0x00, 0x01, 0xE1, 0x01, 0xD7 /* tower */, 0x00};
    const CycleResult r = RunCycle(h, {ac_analog, ac_status, ac_alarm, rc_analog, rc_status,
                                       rc_alarm, kDcAnalogOne, kDcAlarmOne});
    EXPECT_EQ(r.returns, (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 0}));
    const auto& d = h.dev->data_;
    EXPECT_EQ(d.ac.channel[0].p40_41_count, 1);
    EXPECT_FLOAT_EQ(Val(d.ac.ic), 12.9f);
    EXPECT_EQ((Bytes{d.ac.channel[0].p40_44, d.ac.channel[0].p40_44 + 5}),
              (Bytes{0xF1, 0xD1, 0xC1, 0xE9, 0x00}));
    EXPECT_FLOAT_EQ(Val(d.rc.channel[0].p41_41[0]), 35.7f);
    EXPECT_EQ(d.rc.channel[0].p41_44[0], 0xD7);
    EXPECT_FLOAT_EQ(Val(d.dc1.i), -25.3f);
    EXPECT_NE(r.printed.find("parse40_41 1:1.700000\n"), std::string::npos);
}

// --- replies that do not hold what their header or layout promises

Bytes Frame(uint16_t info_chars, const Bytes& info) {
    Bytes f = {0x20,
               0x01,
               0x41,
               0x00,
               static_cast<uint8_t>(info_chars >> 8),
               static_cast<uint8_t>(info_chars & 0xFF)};
    f.insert(f.end(), info.begin(), info.end());
    return f;
}

TEST(PollCycle, InfoLengthIsCutToTheBytesHeld) {
    struct Case {
        const char* name;
        Bytes frame;
        std::string line;
    } cases[] = {
        {"header claims 2047 bytes, 11 held", Frame(0x0FFE, kRcAnalog), "41_43 11 vs 11\n"},
        {"header claims fewer than held", Frame(10, kRcAnalog), "41_43 5 vs -1\n"},
        {"frame shorter than its header", {0x20, 0x01, 0x41}, "41_43 0 vs -1\n"},
        {"empty frame", {}, "41_43 0 vs -1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceHarness h;
        h.dev->poll_step_ = 104;
        h.dev->reply_frame_ = c.frame;
        int rc = 0;
        const std::string out = Printed([&] { rc = h.dev->process_payload(); });
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(h.dev->poll_step_, 105);
    }
}

TEST(PollCycle, DcReplyTooShortToTellLeavesTheModeUndecided) {
    for (const Bytes& analog : {Bytes{0x00}, Bytes{0x00, 0xCD, 0xCC, 0x56}}) {
        SCOPED_TRACE(analog.size());
        DeviceHarness h;
        h.dev->has_dc = true;
        h.dev->has_ac = false;
        const CycleResult r = RunCycle(h, {kRcAnalog, kRcStatus, kRcAlarm, analog, kDcAlarmTwo});
        EXPECT_EQ(h.dev->no_dc_number, -1);
        EXPECT_EQ(h.dev->dc_number_, 0u);
        EXPECT_FLOAT_EQ(Val(h.dev->data_.dc1.v), 0.0f);
        EXPECT_EQ(h.dev->data_.dc1.v_alarm, 0) << "alarm reply of unknown layout not taken";
        EXPECT_EQ(r.printed.find("test dc_v:"), std::string::npos);
        EXPECT_EQ(r.steps, (std::vector<int>{105, 106, 107, 108, 10}));

        // The next full reply decides.
        h.dev->last_data_time_ -= seconds(5);
        RunCycle(h, {kRcAnalog, kRcStatus, kRcAlarm, kDcAnalogOne, kDcAlarmOne});
        EXPECT_EQ(h.dev->no_dc_number, 1);
        EXPECT_FLOAT_EQ(Val(h.dev->data_.dc1.v), 53.7f);
    }
}

TEST(PollCycle, DcReplyWithoutItsGroupCountDecodesNothing) {
    DeviceHarness h;
    h.dev->has_dc = true;
    h.dev->has_ac = false;
    h.dev->no_dc_number = 2;
    h.dev->dc_number_ = 5;
    const CycleResult r = RunCycle(h, {kRcAnalog, kRcStatus, kRcAlarm, {0x00}, {0x00}});
    EXPECT_EQ(h.dev->dc_number_, 5u);
    EXPECT_EQ(r.printed.find("dc_number:"), std::string::npos);
    EXPECT_EQ(r.steps.back(), 10);
}

}  // namespace
