// The runner's warning for a device whose rules can never fire because
// its "snapshot" option is off.
#include "tools/snapshot_warning.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <string>

#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

class SnapshotWarningTest : public WorkDirTest {};

Json::Value Levels() {
    Json::Value t;
    for (const char* name : {"dc1v", "ac1ua"}) {
        Json::Value& e = t[name];
        e["ID"] = "419620301";
        e["SignalName"] = name;
        e["LowValue"] = "47";
        e["LowReconverValue"] = "48";
        e["LowAlarmLevel"] = "2";
        e["UpValue"] = "57";
        e["UpReconverValue"] = "56";
        e["UpAlarmLevel"] = "2";
    }
    return t;
}

TEST_F(SnapshotWarningTest, RuleDrivenModesWithRulesAndTheSnapshotOff) {
    WriteFile("ini/unicom/q318b_419.ini",
              "[AI]\nia = 419111000001,A\nrcv = 419120100001,V\nrci = 419120200001,I\n"
              "[ALARM]\nk_1 = 1\n");
    WriteFile("ini/mobile/q318b_419.ini", "[ALARM]\ndc1v_1 = 419620301001,lower\n");
    const struct {
        const char* name;
        int mode;
        Json::Value snapshot;  // null: absent
        bool levels;
        const char* want;
    } rows[] = {
        {"unicom", 1, Json::Value(), false,
         "east (data id 7): mode 1 (unicom) has 3 [AI] rules loaded but \"snapshot\" is off in "
         "\"appSetting\", so they are never evaluated"},
        {"mobile, 0 given", 3, Json::Value("0"), false,
         "east (data id 7): mode 3 (mobile) has 1 [ALARM] rule loaded but \"snapshot\" is off in "
         "\"appSetting\", so it is never evaluated"},
        {"levels", 5, Json::Value(), true,
         "east (data id 7): mode 5 (level thresholds) has 4 level rules loaded but \"snapshot\" "
         "is off in \"appSetting\", so they are never evaluated"},
        {"unicom with the snapshot", 1, Json::Value(1), false, ""},
        {"mobile with the snapshot", 3, Json::Value("1"), false, ""},
        {"levels with the snapshot", 5, Json::Value(2), true, ""},
        {"levels without rules", 5, Json::Value(), false, ""},
        {"telecom", 2, Json::Value(), false, ""},
    };
    DeviceConfig cfg;
    cfg.name = "east";
    cfg.data_id = 7;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        DeviceHarness h{7};
        Json::Value s;
        s["appSetting"]["b_mode"] = r.mode;
        if (!r.snapshot.isNull()) s["appSetting"]["snapshot"] = r.snapshot;
        if (r.levels) s["thresholdSetting"] = Levels();
        testing::internal::CaptureStdout();
        h.dev->InitSetting(s);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(SnapshotWarning(cfg, *h.dev), r.want);
    }
}

TEST_F(SnapshotWarningTest, UnicomWithoutRuleFileHasNothingToSay) {
    DeviceHarness h{7};
    Json::Value s;
    s["appSetting"]["b_mode"] = 1;
    testing::internal::CaptureStdout();
    h.dev->InitSetting(s);
    testing::internal::GetCapturedStdout();
    DeviceConfig cfg;
    cfg.name = "east";
    EXPECT_EQ(SnapshotWarning(cfg, *h.dev), "");
}

}  // namespace
