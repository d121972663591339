// The controller model's own AC input and module alarms, with the running
// ordinals that the host receives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alarm_test_support.h"
#include "tests/support/device_harness.h"

namespace {

using Lines = std::vector<std::string>;

std::string Line(int level, const std::string& key, const std::string& id, const std::string& value,
                 const std::string& text, bool active, int ordinal) {
    return "alarm level=" + std::to_string(level) + " key=" + key + " id=" + id + " value=\"" +
           value + "\" text=\"" + text + "\" active=" + (active ? "1" : "0") +
           " ordinal=" + std::to_string(ordinal);
}

TEST(ModelAlarms, TwoInputsThreeModulesOrdinalsOneToTwentySix) {
    DeviceHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 3;  // no operator mapping: only the model's alarms
    d.has_ac = true;
    d.alarm_seq_ = 1;
    auto& ac = d.data_.ac;
    ac.channel_count = 2;
    // Input 1: breaker tripped, input-1 power cut; byte 1 has no alarm.
    ac.channel[0].p40_44[0] = 0x05;
    ac.channel[0].p40_44[1] = 0x05;
    ac.channel[0].p40_44[3] = 0xE1;
    ac.channel[0].p40_44[6] = 0xE1;  // wrong code for a changeover failure
    // Input 2: surge protector, input-3 power cut, changeover, panel link.
    ac.channel[1].p40_44[2] = 0x05;
    ac.channel[1].p40_44[5] = 0xE1;
    ac.channel[1].p40_44[6] = 0xE3;
    ac.channel[1].p40_44[7] = 0xE2;
    auto& rc = d.data_.rc;
    rc.channel_count = 3;
    rc.channel[0].p41_44[0] = 1;
    rc.channel[1].p41_44[1] = 1;
    rc.channel[1].p41_44[3] = 1;  // bytes 3 to 6 raise nothing
    rc.channel[2].p41_44[2] = 1;
    rc.channel[2].p41_44[7] = 1;
    rc.channel[0].p41_44[7] = 2;

    d.RunCheckThreshold();

    const Lines want = {
        Line(1, "p40_44_0", "419410701", "0", "第1路交流输入-交流输入空开跳", true, 1),
        Line(1, "p40_44_2", "419410901", "0", "第1路交流输入-防雷器断", false, 2),
        Line(1, "p40_44_3", "419415001", "0", "第1路交流输入-交流输入1停电", true, 3),
        Line(1, "p40_44_4", "419415001", "0", "第1路交流输入-交流输入2停电", false, 4),
        Line(1, "p40_44_5", "419415001", "0", "第1路交流输入-交流输入3停电", false, 5),
        Line(1, "p40_44_6", "419400101", "0", "第1路交流输入-市电切换失败", false, 6),
        Line(1, "p40_44_7", "419400201", "0", "第1路交流输入-交流屏通讯中断", false, 7),
        Line(1, "p40_44_0", "419410701", "0", "第2路交流输入-交流输入空开跳", false, 8),
        Line(1, "p40_44_2", "419410901", "0", "第2路交流输入-防雷器断", true, 9),
        Line(1, "p40_44_3", "419415001", "0", "第2路交流输入-交流输入1停电", false, 10),
        Line(1, "p40_44_4", "419415001", "0", "第2路交流输入-交流输入2停电", false, 11),
        Line(1, "p40_44_5", "419415001", "0", "第2路交流输入-交流输入3停电", true, 12),
        Line(1, "p40_44_6", "419400101", "0", "第2路交流输入-市电切换失败", true, 13),
        Line(1, "p40_44_7", "419400201", "0", "第2路交流输入-交流屏通讯中断", true, 14),
        Line(3, "Q318BRC_0", "419430501", "1", "模块1模块故障告警状态", true, 15),
        Line(4, "Q318BRC_1", "419431C01", "1", "模块1模块风扇告警", false, 16),
        Line(3, "Q318BRC_2", "419240403", "1", "模块1模块过温告警状态", false, 17),
        Line(2, "Q318BRC_7", "419430601", "1", "模块1整流模块过压关机告警", false, 18),
        Line(3, "Q318BRC_0", "419430501", "1", "模块2模块故障告警状态", false, 19),
        Line(4, "Q318BRC_1", "419431C01", "1", "模块2模块风扇告警", true, 20),
        Line(3, "Q318BRC_2", "419240403", "1", "模块2模块过温告警状态", false, 21),
        Line(2, "Q318BRC_7", "419430601", "1", "模块2整流模块过压关机告警", false, 22),
        Line(3, "Q318BRC_0", "419430501", "1", "模块3模块故障告警状态", false, 23),
        Line(4, "Q318BRC_1", "419431C01", "1", "模块3模块风扇告警", false, 24),
        Line(3, "Q318BRC_2", "419240403", "1", "模块3模块过温告警状态", true, 25),
        Line(2, "Q318BRC_7", "419430601", "1", "模块3整流模块过压关机告警", true, 26),
    };
    EXPECT_EQ(CallLines(*h.host), want);
    EXPECT_EQ(d.alarm_seq_, 27);
}

TEST(ModelAlarms, WithoutAnAcUnitOnlyModules) {
    DeviceHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 3;
    d.has_ac = false;
    d.alarm_seq_ = 1;
    d.data_.ac.channel_count = 2;
    d.data_.rc.channel_count = 2;
    d.RunCheckThreshold();
    const auto calls = h.host->Of(HostCall::Kind::kThresholdBool);
    ASSERT_EQ(calls.size(), 8u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].ordinal, i + 1);
        EXPECT_EQ(calls[i].key.rfind("Q318BRC_", 0), 0u) << calls[i].key;
    }
    EXPECT_EQ(calls[5].alarm_text, "模块2模块风扇告警");
}

TEST(ModelAlarms, NoInputsNoModulesNoCall) {
    DeviceHarness h;
    h.dev->b_mode_ = 3;
    h.dev->RunCheckThreshold();
    EXPECT_TRUE(h.host->calls.empty());
}

TEST(ModelAlarms, CountsBeyondTheRecordAreClamped) {
    DeviceHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 3;
    d.alarm_seq_ = 1;
    d.data_.ac.channel_count = 5;
    d.data_.rc.channel_count = 200;
    d.RunCheckThreshold();
    EXPECT_EQ(h.host->calls.size(), 2u * 7 + 40u * 4);
    EXPECT_EQ(h.host->calls.back().alarm_text, "模块40整流模块过压关机告警");
}

TEST(ModelAlarms, OrdinalWrapsAtSixteenBits) {
    DeviceHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 3;
    d.alarm_seq_ = 65535;
    d.data_.rc.channel_count = 1;
    d.RunCheckThreshold();
    const auto calls = h.host->Of(HostCall::Kind::kThresholdBool);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].ordinal, 65535);
    EXPECT_EQ(calls[1].ordinal, 0);
    EXPECT_EQ(calls[3].ordinal, 2);
}

// The operator mapping runs first and leaves the ordinal alone; its mains
// failure alarm shares the id of the model's power-cut alarms.
TEST(ModelAlarms, FollowTheUnicomMappingWithOrdinalsFromOne) {
    DeviceHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 1;
    d.alarm_seq_ = 1;
    d.data_.ac.channel_count = 1;
    d.data_.rc.channel_count = 1;
    d.data_.ac.channel[0].p40_44[3] = 0xE1;
    d.RunCheckThreshold();
    const auto calls = h.host->Of(HostCall::Kind::kThresholdBool);
    ASSERT_EQ(calls.size(), 1u + 1u + 7u + 4u);
    EXPECT_EQ(calls[0].key, "PowerOff");
    EXPECT_EQ(calls[0].alarm_id, "419415001");
    EXPECT_EQ(calls[0].ordinal, 100);
    EXPECT_EQ(calls[1].key, "419430501001");  // unicom module fault
    EXPECT_EQ(calls[1].ordinal, 1);
    EXPECT_EQ(calls[2].key, "p40_44_0");
    EXPECT_EQ(calls[2].ordinal, 1);
    EXPECT_EQ(calls[4].alarm_id, "419415001");
    EXPECT_TRUE(calls[4].active);
    EXPECT_EQ(calls.back().ordinal, 11);
}

}  // namespace
