// The telecom operator mapping: alarms decided by the plug-in, reported only
// where the host's level table enables them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "alarm_test_support.h"
#include "tests/support/device_harness.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kOver = "220600120010";
const char* const kUnder = "220600130010";
const char* const kOutage = "220600140010";
const char* const kFreqHigh = "220600160010";
const char* const kFreqLow = "220600170010";

const char* const kAllTelecomIds[] = {
    kOver,          kUnder,         kOutage,        kFreqHigh,      kFreqLow,
    "120600690010", "120600020010", "210600320010", "210600330010", "210600340010",
    "120600470010", "210600320020", "210600330020", "210600340020", "120600470190",
};

DeviceHarness TelecomSite() {
    DeviceHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 2;
    d.has_ac = true;
    d.has_dc = false;
    d.data_.ac.channel_count = 2;
    for (int k = 0; k < 2; ++k) {
        d.data_.ac.channel[k].a = 230.0f;
        d.data_.ac.channel[k].b = 230.0f;
        d.data_.ac.channel[k].c = 230.0f;
        d.data_.ac.channel[k].f = 50.0f;
    }
    return h;
}

// The active flag of the one call made for `id`; fails when there is none
// or more than one.
testing::AssertionResult ActiveOf(const RecordingController& host, const std::string& id,
                                  bool& active) {
    int seen = 0;
    for (const auto& c : host.Of(HostCall::Kind::kThresholdBool))
        if (c.alarm_id == id) {
            ++seen;
            active = c.active;
        }
    if (seen != 1) return testing::AssertionFailure() << seen << " calls for " << id;
    return testing::AssertionSuccess();
}

TEST(TelecomMapping, WithoutLevelsNothingIsReportedAndLevelsAreEntered) {
    DeviceHarness h = TelecomSite();
    h.dev->has_dc = true;
    h.dev->dc_number_ = 2;
    h.dev->data_.rc.channel_count = 1;
    h.dev->data_.dc1.alert_m_count = 1;
    h.dev->data_.dc2.alert_m_count = 1;
    RunOperatorMapping(*h.dev);
    EXPECT_TRUE(h.host->calls.empty());
    for (const char* id : kAllTelecomIds) {
        ASSERT_EQ(h.dev->alarm_level_.count(id), 1u) << id;
        EXPECT_EQ(h.dev->alarm_level_.at(id), 0) << id;
    }
    EXPECT_TRUE(h.dev->alarm_threshold_.empty()) << "thresholds are read for enabled alarms only";
}

TEST(TelecomMapping, AcAlarmsInOrderWithTheirTexts) {
    DeviceHarness h = TelecomSite();
    auto& d = *h.dev;
    for (const char* id : {kOver, kUnder, kOutage, kFreqHigh, kFreqLow}) d.alarm_level_[id] = 2;
    d.alarm_threshold_[kFreqHigh] = 52.0f;
    d.alarm_threshold_[kFreqLow] = 48.0f;
    d.data_.ac.channel[0].a = 220.5f;
    d.data_.ac.channel[0].b = 221.0f;
    d.data_.ac.channel[0].c = 219.8f;
    d.data_.ac.channel[1].a = d.data_.ac.channel[1].b = d.data_.ac.channel[1].c = 0.0f;
    d.data_.ac.channel[0].f = 50.1f;
    d.data_.ac.channel[1].f = 0.0f;
    RunOperatorMapping(d);
    const std::string v = "ua1:220.5 ub1:221 uc1:219.8 ua2:0 ub2:0 uc2:0";
    const std::string f = "f1:50.1 f2:0";
    const Lines want = {
        "alarm level=2 key=220600120010 id=220600120010 value=\"" + v +
            "\" text=\"001#48V直流系统交流输入电压过高告警\" active=0 ordinal=1",
        "alarm level=2 key=220600130010 id=220600130010 value=\"" + v +
            "\" text=\"001#48V直流系统交流输入电压过低告警\" active=0 ordinal=1",
        "alarm level=2 key=220600140010 id=220600140010 value=\"" + v +
            "\" text=\"001#48V直流系统交流输入停电告警\" active=0 ordinal=1",
        "alarm level=2 key=220600160010 id=220600160010 value=\"" + f +
            "\" text=\"001#48V直流系统交流输入频率过高告警\" active=0 ordinal=1",
        "alarm level=2 key=220600170010 id=220600170010 value=\"" + f +
            "\" text=\"001#48V直流系统交流输入频率过低告警\" active=0 ordinal=1",
    };
    EXPECT_EQ(CallLines(*h.host), want);
}

struct AcCase {
    const char* name;
    const char* id;
    std::function<void(q318b_419&)> setup;
    bool active;
};

TEST(TelecomMapping, AcAlarmDecisions) {
    const AcCase cases[] = {
        {"over-voltage: 300 V on configured A", kOver,
         [](q318b_419& d) { d.data_.ac.channel[0].a = 300.0f; }, true},
        {"over-voltage: 300 V on unconfigured B", kOver,
         [](q318b_419& d) {
             d.has_b = false;
             d.data_.ac.channel[0].b = 300.0f;
         },
         false},
        {"over-voltage: exactly 280 V", kOver,
         [](q318b_419& d) { d.data_.ac.channel[1].c = 280.0f; }, false},
        {"over-voltage: 280.5 V on input 2", kOver,
         [](q318b_419& d) { d.data_.ac.channel[1].c = 280.5f; }, true},
        {"under-voltage: 0.01 V is no reading", kUnder,
         [](q318b_419& d) { d.data_.ac.channel[0].b = 0.01f; }, false},
        {"under-voltage: 149.9 V", kUnder, [](q318b_419& d) { d.data_.ac.channel[0].b = 149.9f; },
         true},
        {"under-voltage: 150.0 V", kUnder, [](q318b_419& d) { d.data_.ac.channel[0].b = 150.0f; },
         false},
        {"under-voltage: 149.9 V on unconfigured C", kUnder,
         [](q318b_419& d) {
             d.has_c = false;
             d.data_.ac.channel[1].c = 149.9f;
         },
         false},
        {"outage: input 1 at 100 V, input 2 unwired", kOutage,
         [](q318b_419& d) {
             auto& ac = d.data_.ac;
             ac.channel[0].a = ac.channel[0].b = ac.channel[0].c = 100.0f;
             ac.channel[1].a = ac.channel[1].b = ac.channel[1].c = 0.0f;
         },
         true},
        {"outage counts unconfigured phases: one at 150 V keeps mains", kOutage,
         [](q318b_419& d) {
             auto& ac = d.data_.ac;
             d.has_c = false;
             ac.channel[0].a = ac.channel[0].b = ac.channel[0].c = 0.0f;
             ac.channel[1].a = ac.channel[1].b = 0.0f;
             ac.channel[1].c = 150.0f;
         },
         false},
        {"high frequency above the threshold on input 2", kFreqHigh,
         [](q318b_419& d) { d.data_.ac.channel[1].f = 52.5f; }, true},
        {"high frequency at the threshold", kFreqHigh,
         [](q318b_419& d) { d.data_.ac.channel[0].f = 52.0f; }, false},
        {"high frequency without a threshold: anything above 0", kFreqHigh,
         [](q318b_419& d) { d.alarm_threshold_.erase(kFreqHigh); }, true},
        {"low frequency below the threshold", kFreqLow,
         [](q318b_419& d) { d.data_.ac.channel[0].f = 47.5f; }, true},
        {"low frequency: 0 Hz is no reading", kFreqLow,
         [](q318b_419& d) { d.data_.ac.channel[1].f = 0.0f; }, false},
        {"low frequency: 0.01 Hz is no reading", kFreqLow,
         [](q318b_419& d) { d.data_.ac.channel[1].f = 0.01f; }, false},
        {"low frequency: 0.02 Hz counts", kFreqLow,
         [](q318b_419& d) { d.data_.ac.channel[1].f = 0.02f; }, true},
    };
    for (const AcCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceHarness h = TelecomSite();
        h.dev->alarm_level_[c.id] = 1;
        h.dev->alarm_threshold_[kFreqHigh] = 52.0f;
        h.dev->alarm_threshold_[kFreqLow] = 48.0f;
        c.setup(*h.dev);
        RunOperatorMapping(*h.dev);
        bool active = false;
        ASSERT_TRUE(ActiveOf(*h.host, c.id, active));
        EXPECT_EQ(active, c.active);
        EXPECT_EQ(h.host->calls.size(), 1u) << "only the enabled alarm is reported";
    }
}

TEST(TelecomMapping, NoAcAlarmsWithoutAnAcUnit) {
    DeviceHarness h = TelecomSite();
    h.dev->has_ac = false;
    for (const char* id : {kOver, kUnder, kOutage, kFreqHigh, kFreqLow})
        h.dev->alarm_level_[id] = 1;
    RunOperatorMapping(*h.dev);
    EXPECT_TRUE(h.host->calls.empty());
}

TEST(TelecomMapping, ModuleRunningAlarms) {
    struct Row {
        int open_41_43;
        uint8_t state;
        bool active;
    } rows[] = {{0, 1, true},  {0, 0, false}, {0, 2, false},
                {1, 1, false}, {1, 0, true},  {1, 2, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << "open_41_43 " << r.open_41_43 << " state " << int(r.state));
        DeviceHarness h = TelecomSite();
        auto& d = *h.dev;
        d.has_ac = false;
        d.open_41_43 = r.open_41_43;
        d.data_.rc.channel_count = 3;
        d.data_.rc.channel[2].state[0] = r.state;
        // The other two modules in the opposite state show a mix-up of modules.
        d.data_.rc.channel[0].state[0] = d.data_.rc.channel[1].state[0] =
            r.active ? 7 : 1 - r.open_41_43;
        d.alarm_level_["120600690030"] = 3;
        d.alarm_level_["120600020030"] = 4;
        d.alarm_level_["120600690010"] = 3;
        RunOperatorMapping(d);
        const std::string a = r.active ? "1" : "0";
        const std::string other = r.active ? "0" : "1";
        const Lines want = {
            "alarm level=3 key=120600690010 id=120600690010 value=\"1\" "
            "text=\"001#48V整流模块运行告警\" active=" +
                other + " ordinal=1",
            "alarm level=3 key=120600690030 id=120600690030 value=\"1\" "
            "text=\"003#48V整流模块运行告警\" active=" +
                a + " ordinal=1",
            "alarm level=4 key=120600020030 id=120600020030 value=\"1\" "
            "text=\"003#48V整流模块运行告警\" active=" +
                a + " ordinal=1",
        };
        EXPECT_EQ(CallLines(*h.host), want);
    }
}

TEST(TelecomMapping, DcVoltagesAndFusesOfBothGroups) {
    DeviceHarness h = TelecomSite();
    auto& d = *h.dev;
    d.has_ac = false;
    d.has_dc = true;
    d.dc_number_ = 2;
    d.data_.dc1.v = 53.1f;
    d.data_.dc1.alert_m_count = 2;
    d.data_.dc1.alert_m[0] = 0;
    d.data_.dc1.alert_m[1] = 3;
    d.data_.dc2.v = 44.5f;
    d.data_.dc2.alert_m_count = 2;
    d.data_.dc2.alert_m[0] = 1;
    d.data_.dc2.alert_m[1] = 0;
    for (const char* id : {"210600320010", "210600330010", "210600340010", "210600320020",
                           "210600330020", "210600340020"})
        d.alarm_level_[id] = 2;
    for (const char* id : {"120600470010", "120600470020", "120600470190", "120600470200"})
        d.alarm_level_[id] = 1;
    d.alarm_threshold_["210600320010"] = 47.0f;
    d.alarm_threshold_["210600330010"] = 45.0f;
    d.alarm_threshold_["210600340010"] = 53.0f;
    d.alarm_threshold_["210600320020"] = 47.0f;
    d.alarm_threshold_["210600330020"] = 45.0f;
    d.alarm_threshold_["210600340020"] = 57.5f;
    RunOperatorMapping(d);
    const Lines want = {
        "alarm level=2 key=210600320010 id=210600320010 value=\"53.0999985\" "
        "text=\"48V直流系统直流总电压过低告警\" active=0 ordinal=1",
        "alarm level=2 key=210600330010 id=210600330010 value=\"53.0999985\" "
        "text=\"48V直流系统直流总电压超低告警\" active=0 ordinal=1",
        "alarm level=2 key=210600340010 id=210600340010 value=\"53.0999985\" "
        "text=\"直流总电压过高告警\" active=1 ordinal=1",
        "alarm level=1 key=120600470010 id=120600470010 value=\"1\" "
        "text=\"直流屏1001负载熔丝故障告警\" active=0 ordinal=1",
        "alarm level=1 key=120600470020 id=120600470020 value=\"1\" "
        "text=\"直流屏1002负载熔丝故障告警\" active=1 ordinal=1",
        "alarm level=2 key=210600320020 id=210600320020 value=\"44.5\" "
        "text=\"直流屏2 48V直流系统直流总电压过低告警\" active=1 ordinal=1",
        "alarm level=2 key=210600330020 id=210600330020 value=\"44.5\" "
        "text=\"直流屏2 8V直流系统直流总电压超低告警\" active=1 ordinal=1",
        "alarm level=2 key=210600340020 id=210600340020 value=\"44.5\" "
        "text=\"直流屏2 直流总电压过高告警\" active=0 ordinal=1",
        "alarm level=1 key=120600470190 id=120600470190 value=\"1\" "
        "text=\"直流屏2001负载熔丝故障告警\" active=1 ordinal=1",
        "alarm level=1 key=120600470200 id=120600470200 value=\"1\" "
        "text=\"直流屏2002负载熔丝故障告警\" active=0 ordinal=1",
    };
    EXPECT_EQ(CallLines(*h.host), want);
}

TEST(TelecomMapping, SecondGroupOnlyWhenReportedAndFusesClamped) {
    DeviceHarness h = TelecomSite();
    auto& d = *h.dev;
    d.has_ac = false;
    d.has_dc = true;
    d.dc_number_ = 1;
    d.data_.dc1.alert_m_count = 12;  // more than the record holds
    d.alarm_level_["210600320020"] = 1;
    d.alarm_level_["120600470190"] = 1;
    d.alarm_level_["120600470100"] = 1;
    d.alarm_level_["120600470110"] = 1;
    d.data_.dc2.alert_m_count = 1;
    RunOperatorMapping(d);
    EXPECT_EQ(CallLines(*h.host),
              (Lines{"alarm level=1 key=120600470100 id=120600470100 value=\"1\" "
                     "text=\"直流屏1010负载熔丝故障告警\" active=0 ordinal=1"}));
}

}  // namespace
