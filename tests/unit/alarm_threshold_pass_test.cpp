// The threshold pass of the unicom, mobile and level-threshold modes, and the
// hysteresis of level rules over successive rounds.
#include <gtest/gtest.h>
#include <json/value.h>

#include <cmath>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "alarm_test_support.h"
#include "device/q318b_419.h"
#include "runtime/framework/recording_controller.h"

namespace {

using Lines = std::vector<std::string>;
using Base = UniDataDevice<q318b_419_Data_t, PMBusProtocol, kQ318bDataType>;

// The device with the pass reachable and a snapshot hook that tests fill.
class PassDevice : public q318b_419 {
  public:
    using Base::RunThresholdPass;

    void GenJsonData() override {
        ++gen_calls;
        gen_saw_lock_free = !MutexHeldElsewhere(json_mutex_);
    }

    static bool MutexHeldElsewhere(std::mutex& m) {
        return std::async(std::launch::async,
                          [&m] {
                              if (!m.try_lock()) return true;
                              m.unlock();
                              return false;
                          })
            .get();
    }

    int gen_calls = 0;
    bool gen_saw_lock_free = false;
};

// Notes whether the device's snapshot lock was held at each alarm call.
class LockWatchingHost : public RecordingController {
  public:
    void CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                            const std::string& alarm_id, const std::string& value_text,
                            const std::string& alarm_text, bool active, uint16_t ordinal) override {
        locked.push_back(PassDevice::MutexHeldElsewhere(static_cast<PassDevice&>(dev).json_mutex_));
        RecordingController::CheckThresholdBool(dev, level, key, alarm_id, value_text, alarm_text,
                                                active, ordinal);
    }
    void CheckThreshold(QVRVDevice& dev, const std::string& alarm_id, const std::string& name,
                        float value, int count) override {
        locked.push_back(PassDevice::MutexHeldElsewhere(static_cast<PassDevice&>(dev).json_mutex_));
        RecordingController::CheckThreshold(dev, alarm_id, name, value, count);
    }
    std::vector<bool> locked;
};

struct PassHarness {
    PassHarness()
        : host(std::make_shared<LockWatchingHost>()), dev(std::make_unique<PassDevice>()) {
        dev->Init(host, 7, Json::Value());
    }
    // One round of the pass; returns the host calls it made.
    Lines Round() {
        host->Clear();
        dev->RunThresholdPass();
        return CallLines(*host);
    }
    std::shared_ptr<LockWatchingHost> host;
    std::unique_ptr<PassDevice> dev;
};

ThresholdRule Rule(const std::string& id, float value, float recover, int level) {
    ThresholdRule r;
    r.alarm_id = id;
    r.value = value;
    r.recover_value = recover;
    r.level = level;
    return r;
}

std::string Level(int level, const std::string& key, const std::string& id,
                  const std::string& value, const std::string& text, bool active) {
    return "alarm level=" + std::to_string(level) + " key=" + key + " id=" + id + " value=\"" +
           value + "\" text=\"" + text + "\" active=" + (active ? "1" : "0") + " ordinal=1";
}

// ------------------------------------------------------------ level rules

struct Step {
    double value;
    bool active;
    const char* text;
};

void RunSequence(ThresholdRuleMap PassDevice::*table, const ThresholdRule& rule,
                 const std::vector<Step>& steps) {
    PassHarness h;
    h.dev->b_mode_ = 5;
    (h.dev.get()->*table)["p1"] = rule;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "value " << s.value);
        h.dev->json_data_["p1"] = s.value;
        const Lines got = h.Round();
        ASSERT_EQ(got.size(), 1u);
        const HostCall& c = h.host->calls.front();
        EXPECT_EQ(c.alarm_id, rule.alarm_id);
        EXPECT_EQ(c.key, "p1");
        EXPECT_EQ(c.level, rule.level);
        EXPECT_EQ(c.active, s.active);
        EXPECT_EQ(c.alarm_text, s.text);
        EXPECT_EQ(c.ordinal, 1);
    }
}

TEST(LevelRules, UpperRuleRaisesAtTheValueAndClearsAtTheRecoverValue) {
    RunSequence(&PassDevice::up_rules_, Rule("A1001", 56, 55, 2),
                {{55.9, false, ""},
                 {56, true, "当前值56高于阈值:56"},
                 {55.5, true, "当前值55.5高于阈值:56"},
                 {55, false, ""},
                 {55.9, false, ""}});
}

TEST(LevelRules, LowerRuleRaisesAtTheValueAndClearsAtTheRecoverValue) {
    RunSequence(&PassDevice::low_rules_, Rule("A1003", 42, 43, 1),
                {{42.01, false, ""},
                 {42, true, "当前值42低于阈值:42"},
                 {42.5, true, "当前值42.5低于阈值:42"},
                 {43, false, ""}});
}

TEST(LevelRules, RecoverValueOnTheFarSideClearsAtTheNextRoundWithinIt) {
    RunSequence(&PassDevice::up2_rules_, Rule("A1002", 56, 58, 3),
                {{57, true, "当前值57高于阈值:56"},
                 {58, false, ""},
                 {57, true, "当前值57高于阈值:56"},
                 {58.5, true, "当前值58.5高于阈值:56"}});
}

TEST(LevelRules, NineDigitValueTexts) {
    PassHarness h;
    h.dev->b_mode_ = 5;
    h.dev->up_rules_["ua"] = Rule("U1001", 230, 229, 2);
    h.dev->json_data_["ua"] = static_cast<double>(230.4f);
    EXPECT_EQ(h.Round(),
              (Lines{Level(2, "ua", "U1001", "230.399994", "当前值230.399994高于阈值:230", true)}));
    h.dev->up_rules_["ua"] = Rule("U1001", 0.1f, 0.0f, 2);
    h.dev->json_data_["ua"] = 0.5;
    EXPECT_EQ(h.Round(),
              (Lines{Level(2, "ua", "U1001", "0.5", "当前值0.5高于阈值:0.100000001", true)}));
}

TEST(LevelRules, TablesInOrderKeysInByteOrderOnlyNumericMembers) {
    PassHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 5;
    d.low2_rules_["v"] = Rule("V004", 40, 41, 4);
    d.low_rules_["v"] = Rule("V003", 45, 46, 3);
    d.up2_rules_["v"] = Rule("V002", 58, 57, 2);
    d.up_rules_["v"] = Rule("V001", 56, 55, 1);
    d.up_rules_["V"] = Rule("W001", 1, 0, 1);       // 'V' sorts before 'v'
    d.up_rules_["text"] = Rule("T001", 1, 0, 1);    // not numeric
    d.up_rules_["absent"] = Rule("X001", 1, 0, 1);  // not in the snapshot
    d.up_rules_["flag"] = Rule("F001", 1, 0, 1);    // bool is not numeric
    d.json_data_["v"] = 44;                         // an integer member
    d.json_data_["V"] = Json::UInt(3);
    d.json_data_["text"] = "57";
    d.json_data_["flag"] = true;
    EXPECT_EQ(h.Round(), (Lines{
                             Level(1, "V", "W001", "3", "当前值3高于阈值:1", true),
                             Level(1, "v", "V001", "44", "", false),
                             Level(2, "v", "V002", "44", "", false),
                             Level(3, "v", "V003", "44", "当前值44低于阈值:45", true),
                             Level(4, "v", "V004", "44", "", false),
                         }));
    EXPECT_FALSE(d.json_data_.isMember("absent")) << "mode 5 adds no member";
    EXPECT_EQ(d.gen_calls, 1);
}

TEST(LevelRules, NaNKeepsTheState) {
    PassHarness h;
    h.dev->b_mode_ = 5;
    h.dev->up_rules_["p1"] = Rule("A1001", 56, 55, 2);
    h.dev->json_data_["p1"] = 57.0;
    h.Round();
    ASSERT_TRUE(h.dev->up_rules_["p1"].active);
    h.dev->json_data_["p1"] = std::nan("");
    h.Round();
    EXPECT_TRUE(h.dev->up_rules_["p1"].active);
    ASSERT_EQ(h.host->calls.size(), 1u);
    EXPECT_TRUE(h.host->calls[0].active);
}

// ------------------------------------------------------------ the pass

TEST(ThresholdPass, RunsUnderTheSnapshotLockAfterGenJsonData) {
    for (int mode : {1, 3, 5}) {
        SCOPED_TRACE(mode);
        PassHarness h;
        auto& d = *h.dev;
        d.b_mode_ = mode;
        d.ai_rules_["p"] = {"ABCDEFGHIJ", "name"};
        d.alarm_rules_["p_1"] = "ID1,upper";
        d.alarm_level_["ID1"] = 1;
        d.up_rules_["p"] = Rule("P001", 1, 0, 1);
        d.json_data_["p"] = 2.0;
        testing::internal::CaptureStdout();
        h.Round();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(d.gen_calls, 1);
        EXPECT_TRUE(d.gen_saw_lock_free);
        ASSERT_FALSE(h.host->locked.empty());
        for (bool held : h.host->locked) EXPECT_TRUE(held);
        EXPECT_FALSE(PassDevice::MutexHeldElsewhere(d.json_mutex_)) << "released afterwards";
    }
}

TEST(ThresholdPass, OtherModesEvaluateNothing) {
    for (int mode : {0, 2, 4, 7}) {
        SCOPED_TRACE(mode);
        PassHarness h;
        auto& d = *h.dev;
        d.b_mode_ = mode;
        d.ai_rules_["p"] = {"ABCDEFGHIJ", "name"};
        d.alarm_rules_["p_1"] = "ID1,upper";
        d.alarm_level_["ID1"] = 1;
        d.up_rules_["p"] = Rule("P001", 1, 0, 1);
        d.json_data_["p"] = 2.0;
        EXPECT_TRUE(h.Round().empty());
        EXPECT_EQ(d.gen_calls, 0);
    }
}

TEST(ThresholdPass, UnicomAnalogRules) {
    PassHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 1;
    d.ai_rules_["p40_41_0"] = {"ABCDEFGHIJ", "AC voltage, phase A"};
    d.ai_rules_["p40_41_1"] = {"419110200001", "unset"};
    d.ai_rules_["p40_41_2"] = {"419110300001", "null"};
    d.ao_report_settings_["ABC6EFGH1J"] = ReportEveryRound();
    d.json_data_["p40_41_0"] = 230.5;
    d.json_data_["p40_41_2"] = Json::Value();
    EXPECT_EQ(h.Round(),
              (Lines{"threshold id=ABC6EFGH1J name=\"AC voltage, phase A\" value=230.5 count=1",
                     "ao-report key=ABCDEFGHIJ value=230.5"}));
    EXPECT_TRUE(d.json_data_.isMember("p40_41_1")) << "the lookup leaves a null member";
    EXPECT_EQ(d.ao_report_settings_.count("ABCDEFGHIJ"), 1u) << "key took the template's copy";
}

TEST(ThresholdPass, UnicomIdentifierTooShortIsSkippedWithOneLine) {
    PassHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 1;
    d.ai_rules_["a"] = {"12345678", "short"};
    d.ai_rules_["b"] = {"123456789", "nine"};
    d.ai_rules_["c"] = {"", "empty"};
    d.json_data_["a"] = 1.0;
    d.json_data_["b"] = 2.0;
    d.json_data_["c"] = 3.0;
    testing::internal::CaptureStdout();
    const Lines got = h.Round();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, (Lines{"threshold id=123656781 name=\"nine\" value=2 count=1"}));
    EXPECT_EQ(out,
              "AI a identifier:12345678 has fewer than 9 characters, skipped\n"
              "AI c identifier: has fewer than 9 characters, skipped\n");
}

TEST(ThresholdPass, UnicomValueOfTheWrongTypeLeavesThePassUnlocked) {
    PassHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 1;
    d.ai_rules_["a"] = {"ABCDEFGHIJ", "n"};
    d.json_data_["a"] = "230";
    EXPECT_ANY_THROW(d.RunThresholdPass());
    EXPECT_FALSE(PassDevice::MutexHeldElsewhere(d.json_mutex_));
}

struct MobileCase {
    const char* name;
    const char* rule_key;
    const char* rule_text;
    Json::Value snapshot;  // value of the data name, or absent when null type
    bool present;
    int level;
    float threshold;
    Lines calls;
    std::string line;
};

TEST(ThresholdPass, MobileRules) {
    const std::string text = "alarm level=2 key=419500601001 id=419500601001 value=\"ua\" ";
    const MobileCase cases[] = {
        {"upper raised",
         "ua_1",
         "419500601001,upper",
         Json::Value(230.5),
         true,
         2,
         220.0f,
         {text + "text=\"N1;419500601001;S1;230.5\" active=1 ordinal=1"},
         "dataName:ua alarmId:419500601001 alarmComp:upper level:2 realvalue:230.5 vs 220\n"},
        {"upper at the threshold",
         "ua_1",
         "419500601001,upper",
         Json::Value(220.0),
         true,
         2,
         220.0f,
         {text + "text=\"N1;419500601001;S1;220.0\" active=0 ordinal=1"},
         "dataName:ua alarmId:419500601001 alarmComp:upper level:2 realvalue:220.0 vs 220\n"},
        {"lower",
         "ua_x",
         "419500601001,lower",
         Json::Value(219.5),
         true,
         2,
         220.0f,
         {text + "text=\"N1;419500601001;S1;219.5\" active=1 ordinal=1"},
         "dataName:ua alarmId:419500601001 alarmComp:lower level:2 realvalue:219.5 vs 220\n"},
        {"equal",
         "ua",
         "419500601001,equal",
         Json::Value(220.0),
         true,
         2,
         220.0f,
         {text + "text=\"N1;419500601001;S1;220.0\" active=1 ordinal=1"},
         "dataName:ua alarmId:419500601001 alarmComp:equal level:2 realvalue:220.0 vs 220\n"},
        {"notequal",
         "ua_1",
         "419500601001,notequal",
         Json::Value(220.0),
         true,
         2,
         220.0f,
         {text + "text=\"N1;419500601001;S1;220.0\" active=0 ordinal=1"},
         "dataName:ua alarmId:419500601001 alarmComp:notequal level:2 realvalue:220.0 vs 220\n"},
        {"an integer compares by number",
         "ua_1",
         "419500601001,upper",
         Json::Value(221),
         true,
         2,
         220.0f,
         {text + "text=\"N1;419500601001;S1;221\" active=1 ordinal=1"},
         "dataName:ua alarmId:419500601001 alarmComp:upper level:2 realvalue:221 vs 220\n"},
        {"level 0: printed only",
         "ua_1",
         "419500601001,upper",
         Json::Value(230.5),
         true,
         0,
         220.0f,
         {},
         "dataName:ua alarmId:419500601001 alarmComp:upper level:0 realvalue:230.5 vs 220\n"},
        {"unknown direction: printed only",
         "ua_1",
         "419500601001,above",
         Json::Value(230.5),
         true,
         2,
         220.0f,
         {},
         "dataName:ua alarmId:419500601001 alarmComp:above level:2 realvalue:230.5 vs 220\n"},
        {"missing value, lower: skipped",
         "ua_1",
         "419500601001,lower",
         Json::Value(),
         false,
         2,
         220.0f,
         {},
         "dataName:ua alarmId:419500601001 alarmComp:lower level:2 realvalue:null vs 220\n"},
        {"null value, notequal: skipped",
         "ua_1",
         "419500601001,notequal",
         Json::Value(),
         true,
         2,
         220.0f,
         {},
         "dataName:ua alarmId:419500601001 alarmComp:notequal level:2 realvalue:null vs 220\n"},
    };
    for (const MobileCase& c : cases) {
        SCOPED_TRACE(c.name);
        PassHarness h;
        auto& d = *h.dev;
        d.b_mode_ = 3;
        d.alarm_rules_[c.rule_key] = c.rule_text;
        d.alarm_level_["419500601001"] = c.level;
        d.alarm_threshold_["419500601001"] = c.threshold;
        d.mobile_alarm_text_["419500601001"] = "N1;419500601001;S1;";
        d.mobile_signal_name_["419500601001"] = "ua";
        if (c.present) d.json_data_["ua"] = c.snapshot;
        testing::internal::CaptureStdout();
        const Lines got = h.Round();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_EQ(got, c.calls);
    }
}

TEST(ThresholdPass, MobileDataNameEndsAtTheFirstUnderscore) {
    PassHarness h;
    auto& d = *h.dev;
    d.b_mode_ = 3;
    d.alarm_rules_["p40_41_0"] = "A2,upper";
    d.alarm_rules_["zz"] = "nocomma";
    d.json_data_["p40"] = 5.0;
    testing::internal::CaptureStdout();
    const Lines got = h.Round();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "dataName:p40 alarmId:A2 alarmComp:upper level:0 realvalue:5.0 vs 0\n"
              "dataName:zz alarmId:nocomma alarmComp:nocomma level:0 realvalue:null vs 0\n");
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(d.alarm_level_.count("A2"), 1u);
    EXPECT_EQ(d.alarm_threshold_.count("nocomma"), 1u);
    EXPECT_TRUE(d.json_data_.isMember("zz")) << "the lookup leaves a null member";
}

}  // namespace
