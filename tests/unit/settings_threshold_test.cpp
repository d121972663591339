// "thresholdSetting" entries: level thresholds of the level mode (5) and
// the alarm texts of the mobile mode (3).
#include <gtest/gtest.h>
#include <json/value.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/threshold_entries.h"
#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

Json::Value WithEntries(int b_mode, const Json::Value& entries) {
    Json::Value s;
    s["appSetting"]["b_mode"] = b_mode;
    s["thresholdSetting"] = entries;
    return s;
}

void ExpectRule(const ThresholdRuleMap& table, const std::string& signal, const std::string& id,
                float value, float recover, int level) {
    SCOPED_TRACE(signal + " " + id);
    auto it = table.find(signal);
    ASSERT_NE(it, table.end());
    EXPECT_EQ(it->second.alarm_id, id);
    EXPECT_EQ(it->second.value, value);
    EXPECT_EQ(it->second.recover_value, recover);
    EXPECT_FALSE(it->second.active);
    EXPECT_EQ(it->second.level, level);
}

class ThresholdEntries : public WorkDirTest {
  protected:
    std::vector<std::string> Init(const Json::Value& s) {
        testing::internal::CaptureStdout();
        try {
            h.dev->InitSetting(s);
        } catch (...) {
            out = Lines(testing::internal::GetCapturedStdout());
            throw;
        }
        out = Lines(testing::internal::GetCapturedStdout());
        return out;
    }
    bool Printed(const std::string& line) const {
        return std::find(out.begin(), out.end(), line) != out.end();
    }
    // The lines after the rule file search.
    std::vector<std::string> After(const std::string& prefix) const {
        auto it = std::find_if(out.begin(), out.end(),
                               [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        return std::vector<std::string>(it == out.end() ? it : it + 1, out.end());
    }

    DeviceHarness h{7};
    std::vector<std::string> out;
};

TEST_F(ThresholdEntries, LevelEntryWithAnEmptyLowValue) {
    Json::Value e;
    e["ID"] = "A1";
    e["SignalName"] = "p1";
    e["UpValue"] = "56";
    e["UpReconverValue"] = "55";
    e["UpAlarmLevel"] = "2";
    e["LowValue"] = "";
    e["LowReconverValue"] = "40";
    e["LowAlarmLevel"] = "1";
    Json::Value entries;
    entries["any name"] = e;
    Init(WithEntries(5, entries));
    ASSERT_EQ(h.dev->up_rules_.size(), 1u);
    ExpectRule(h.dev->up_rules_, "p1", "A1001", 56, 55, 2);
    EXPECT_TRUE(h.dev->low_rules_.empty());
    EXPECT_TRUE(h.dev->up2_rules_.empty());
    EXPECT_TRUE(h.dev->low2_rules_.empty());
    EXPECT_EQ(After("parse ini/yaml filename:").size(), 0u);  // the level mode prints nothing
}

TEST_F(ThresholdEntries, FourLevelsFromNumbersOrTexts) {
    Json::Value e;
    e["ID"] = 419620301;  // numbers are read through their text as well
    e["SignalName"] = "out_v";
    e["UpValue"] = 57.5;
    e["UpReconverValue"] = "57";
    e["UpAlarmLevel"] = 2;
    e["Up2Value"] = "58.5";
    e["Up2ReconverValue"] = "58";
    e["Up2AlarmLevel"] = "1";
    e["LowValue"] = "47";
    e["LowReconverValue"] = "48";
    e["LowAlarmLevel"] = "2";
    e["Low2Value"] = "45x";
    e["Low2ReconverValue"] = "46";
    e["Low2AlarmLevel"] = "abc";
    Json::Value entries;
    entries["dc"] = e;
    Init(WithEntries(5, entries));
    ExpectRule(h.dev->up_rules_, "out_v", "419620301001", 57.5f, 57, 2);
    ExpectRule(h.dev->up2_rules_, "out_v", "419620301002", 58.5f, 58, 1);
    ExpectRule(h.dev->low_rules_, "out_v", "419620301003", 47, 48, 2);
    ExpectRule(h.dev->low2_rules_, "out_v", "419620301004", 45, 46, 0);
}

TEST_F(ThresholdEntries, UnusableLevelEntriesAreSkippedSilently) {
    auto entry = [](const Json::Value& id, const Json::Value& signal) {
        Json::Value e;
        if (!id.isNull()) e["ID"] = id;
        if (!signal.isNull()) e["SignalName"] = signal;
        e["UpValue"] = "56";
        e["UpReconverValue"] = "55";
        e["UpAlarmLevel"] = "2";
        return e;
    };
    Json::Value entries;
    entries["empty id"] = entry("", "a");
    entries["no id"] = entry(Json::Value(), "b");
    entries["no signal"] = entry("X1", Json::Value());
    entries["empty signal"] = entry("X2", "");
    entries["not an object"] = "X3";
    entries["null up level"] = entry("X4", "d");
    entries["null up level"]["UpAlarmLevel"] = Json::Value();
    entries["ok"] = entry("X5", "e");
    Init(WithEntries(5, entries));
    ASSERT_EQ(h.dev->up_rules_.size(), 1u);
    ExpectRule(h.dev->up_rules_, "e", "X5001", 56, 55, 2);
    EXPECT_TRUE(After("parse ini/yaml filename:").empty());
}

TEST_F(ThresholdEntries, LaterEntryOfTheSameSignalWins) {
    Json::Value a, b;
    a["ID"] = "A";
    b["ID"] = "B";
    for (Json::Value* e : {&a, &b}) {
        (*e)["SignalName"] = "s";
        (*e)["UpValue"] = "1";
        (*e)["UpReconverValue"] = "1";
        (*e)["UpAlarmLevel"] = "1";
    }
    Json::Value entries;
    entries["1"] = a;
    entries["2"] = b;  // member order is by name
    Init(WithEntries(5, entries));
    EXPECT_EQ(h.dev->up_rules_.at("s").alarm_id, "B001");
}

TEST_F(ThresholdEntries, EveryLevelLoadStartsFromEmptyTables) {
    Json::Value e;
    e["ID"] = "A1";
    e["SignalName"] = "p1";
    e["LowValue"] = "42";
    e["LowReconverValue"] = "43";
    e["LowAlarmLevel"] = "1";
    Json::Value entries;
    entries["x"] = e;
    Init(WithEntries(5, entries));
    h.dev->low_rules_.at("p1").active = true;
    h.dev->up_rules_["stale"] = ThresholdRule();
    Init(WithEntries(5, entries));
    EXPECT_FALSE(h.dev->low_rules_.at("p1").active);
    EXPECT_TRUE(h.dev->up_rules_.empty());
    Init(WithEntries(5, Json::Value(Json::arrayValue)));  // not an object: no entries
    EXPECT_TRUE(h.dev->low_rules_.empty());
}

TEST_F(ThresholdEntries, MistypedLevelFieldRaises) {
    Json::Value e;
    e["ID"] = "A1";
    e["SignalName"] = "p1";
    e["UpValue"].append(56);
    e["UpReconverValue"] = "55";
    e["UpAlarmLevel"] = "2";
    Json::Value entries;
    entries["x"] = e;
    EXPECT_THROW(Init(WithEntries(5, entries)), Json::LogicError);
    EXPECT_TRUE(h.host->Of(HostCall::Kind::kProtocolSetting).empty());
}

TEST_F(ThresholdEntries, MobileTextsAndDiagnostics) {
    h.dev->alarm_level_["419500601001"] = 2;
    h.dev->alarm_threshold_["419500601001"] = 53.5f;
    Json::Value full;
    full["SignalName"] = "A相输入电压";
    full["NMAlarmID"] = "0406001001";
    full["ID"] = "419500601001";
    full["SignalNumber"] = 1;
    Json::Value no_id;
    no_id["NMAlarmID"] = "NM";
    no_id["SignalNumber"] = "3";
    no_id["ID"] = Json::Value();  // null counts as missing
    Json::Value entries;
    entries["419500601001"] = full;
    entries["419500602001"] = no_id;
    entries["not an entry"] = 5;
    Init(WithEntries(3, entries));

    EXPECT_EQ(h.dev->mobile_alarm_text_.at("419500601001"), "0406001001;419500601001;1;");
    EXPECT_EQ(h.dev->mobile_signal_name_.at("419500601001"), "A相输入电压");
    EXPECT_EQ(h.dev->mobile_alarm_text_.at("419500602001"), "NM;;3;");
    EXPECT_EQ(h.dev->mobile_signal_name_.count("419500602001"), 0u);
    EXPECT_EQ(h.dev->mobile_alarm_text_.count("not an entry"), 0u);
    // the diagnostic lookups add 0 entries to the host's tables
    EXPECT_EQ(h.dev->alarm_level_.at("419500602001"), 0);
    EXPECT_EQ(h.dev->alarm_threshold_.at("419500602001"), 0.0f);

    const std::vector<std::string> want = {
        "here 1",
        "here 2",
        "here 419500601001",
        "mobile:419500601001:0406001001;419500601001;1; level:2 value:53.5",
        "here 419500602001",
        "7 ID is missing",
        "mobile:419500602001:NM;;3; level:0 value:0",
        "here not an entry",
    };
    EXPECT_EQ(After("parse ini/yaml filename:"), want);
}

TEST_F(ThresholdEntries, MobileEntryWithNothingPrintsThreeMissingLines) {
    Json::Value entries;
    entries["K"] = Json::Value(Json::objectValue);
    Init(WithEntries(3, entries));
    EXPECT_EQ(h.dev->mobile_alarm_text_.at("K"), ";;;");
    EXPECT_TRUE(Printed("7 NMAlarmID is missing"));
    EXPECT_TRUE(Printed("7 ID is missing"));
    EXPECT_TRUE(Printed("7 SignalNumber is missing"));
}

TEST_F(ThresholdEntries, MobileTablesSurviveALaterLoad) {
    Json::Value a;
    a["ID"] = "1";
    Json::Value entries;
    entries["A"] = a;
    Init(WithEntries(3, entries));
    Json::Value b;
    b["ID"] = "2";
    Json::Value later;
    later["B"] = b;
    Init(WithEntries(3, later));
    EXPECT_EQ(h.dev->mobile_alarm_text_.size(), 2u);
    EXPECT_EQ(h.dev->mobile_alarm_text_.at("A"), ";1;;");
}

TEST_F(ThresholdEntries, MobileThresholdSettingShapes) {
    Json::Value with_elements(Json::arrayValue);
    with_elements.append(Json::Value(Json::objectValue));
    const struct {
        const char* name;
        bool present;
        Json::Value ts;
        bool raises;
        std::vector<std::string> lines;
    } rows[] = {
        {"absent", false, Json::Value(), false, {"here 1"}},
        {"text", true, "entries", false, {"here 1", "here 2"}},
        {"empty array", true, Json::Value(Json::arrayValue), false, {"here 1", "here 2"}},
        {"array with elements", true, with_elements, true, {"here 1", "here 2", "here "}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Json::Value s;
        s["appSetting"]["b_mode"] = 3;
        if (r.present) s["thresholdSetting"] = r.ts;
        if (r.raises) {
            EXPECT_THROW(Init(s), Json::LogicError);
        } else {
            EXPECT_NO_THROW(Init(s));
        }
        EXPECT_EQ(After("parse ini/yaml filename:"), r.lines);
    }
}

TEST_F(ThresholdEntries, OtherModesIgnoreThresholdSetting) {
    Json::Value e;
    e["ID"] = "A1";
    e["SignalName"] = "p1";
    e["UpValue"] = "56";
    e["UpReconverValue"] = "55";
    e["UpAlarmLevel"] = "2";
    Json::Value entries;
    entries["x"] = e;
    for (int mode : {1, 2, 4}) {
        SCOPED_TRACE(mode);
        Init(WithEntries(mode, entries));
        EXPECT_TRUE(h.dev->up_rules_.empty());
        EXPECT_TRUE(h.dev->mobile_alarm_text_.empty());
        EXPECT_FALSE(Printed("here 1"));
    }
}

}  // namespace
