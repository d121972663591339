#include "runtime/site/alarm_store.h"

#include <gtest/gtest.h>

namespace {

AlarmChange Report(bool active, const std::string& text = "模块故障告警") {
    AlarmChange r;
    r.data_id = 7;
    r.level = 1;
    r.key = "419430501001";
    r.alarm_id = "419430501001";
    r.value_text = "419430501001";
    r.alarm_text = text;
    r.active = active;
    r.ordinal = 1;
    return r;
}

TEST(AlarmStore, OnlyStateChangesBecomeEvents) {
    AlarmStore store;
    // Sequence of reports and whether each one is an event.
    const struct {
        bool active;
        bool event;
    } steps[] = {{false, false}, {true, true},   {true, false},
                 {false, true},  {false, false}, {true, true}};
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        auto change = store.Report(Report(steps[i].active));
        EXPECT_EQ(change.has_value(), steps[i].event) << "step " << i;
        if (change) {
            EXPECT_EQ(change->active, steps[i].active) << "step " << i;
        }
    }
    ASSERT_EQ(store.Active().size(), 1u);
    EXPECT_TRUE(store.Active(8).empty());
}

TEST(AlarmStore, TextIsPartOfTheIdentity) {
    // The model's AC input alarms share id and key and differ by text only.
    AlarmStore store;
    EXPECT_TRUE(store.Report(Report(true, "第1路交流输入-交流输入1停电")));
    EXPECT_TRUE(store.Report(Report(true, "第2路交流输入-交流输入1停电")));
    EXPECT_EQ(store.Active(7).size(), 2u);
}

TEST(AlarmStore, EveryReportedAlarmIsKnownRaisedOrNot) {
    AlarmStore store;
    // Reported quiet first: no event, but known.
    EXPECT_FALSE(store.Report(Report(false, "a")));
    EXPECT_TRUE(store.Active(7).empty());
    ASSERT_EQ(store.Known(7).size(), 1u);
    EXPECT_FALSE(store.Known(7)[0].active);
    // Raised and cleared: still known, now quiet again.
    EXPECT_TRUE(store.Report(Report(true, "b")));
    EXPECT_TRUE(store.Report(Report(false, "b")));
    EXPECT_EQ(store.Known(7).size(), 2u);
    EXPECT_TRUE(store.Active(7).empty());
    EXPECT_TRUE(store.Known(8).empty());
    // A quiet first report is no event, so the later raise still is one.
    EXPECT_TRUE(store.Report(Report(true, "a")));
    EXPECT_EQ(store.Active(7).size(), 1u);
}

TEST(AlarmStore, HostThresholdWithDirectionAndRecovery) {
    std::map<std::string, ThresholdConfig> cfg;
    cfg["419610401001"] = {2, 180.0f, ThresholdConfig::Direction::kLower, 185.0f};
    cfg["419620301001"] = {1, 57.0f, ThresholdConfig::Direction::kUpper, std::nullopt};
    AlarmStore store;
    const struct {
        const char* id;
        float value;
        bool event;
        bool active;
    } steps[] = {
        {"419610401001", 230.0f, false, false},  // normal, never raised
        {"419610401001", 179.9f, true, true},    // below threshold
        {"419610401001", 182.0f, false, true},   // above threshold, not yet recovered
        {"419610401001", 184.9f, false, true},   // just short of the recover value
        {"419610401001", 185.0f, true, false},   // back at it: cleared
        {"419620301001", 57.0f, false, false},   // upper: equal is not above
        {"419620301001", 57.1f, true, true},
        {"419620301001", 56.9f, true, false},   // no recover value: clears at once
        {"419613901001", 99.0f, false, false},  // no configured level: never an alarm
    };
    for (const auto& s : steps) {
        auto change = store.Evaluate(7, cfg, s.id, "", s.value);
        ASSERT_EQ(change.has_value(), s.event) << s.id << " " << s.value;
        if (change) {
            EXPECT_EQ(change->active, s.active) << s.id << " " << s.value;
            EXPECT_EQ(change->level, cfg[s.id].level);
        }
    }
}

}  // namespace
