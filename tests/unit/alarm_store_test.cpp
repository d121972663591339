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

// A level rule's alarm: its text carries the value while raised and is
// empty once cleared.
AlarmChange LevelReport(bool active, const std::string& text, unsigned data_id = 7) {
    AlarmChange r;
    r.data_id = data_id;
    r.level = 2;
    r.key = "dc1v";
    r.alarm_id = "419620301003";
    r.value_text = "0";
    r.alarm_text = text;
    r.active = active;
    r.ordinal = 1;
    return r;
}

TEST(AlarmStore, AnAlarmWhoseTextFollowsItsValueIsOneAlarmAcrossRounds) {
    AlarmStore store;
    const struct {
        bool active;
        const char* text;
        bool event;
    } rounds[] = {
        {false, "", false},
        {true, "当前值46.5低于阈值:47", true},
        {true, "当前值44.5低于阈值:47", false},  // still the raised one, new text
        {true, "当前值44.5低于阈值:47", false},
        {false, "", true},  // the clear finds it whatever its text was
        {false, "", false},
    };
    for (size_t i = 0; i < sizeof rounds / sizeof rounds[0]; ++i) {
        store.BeginRound(7);
        const auto change = store.Report(LevelReport(rounds[i].active, rounds[i].text));
        ASSERT_EQ(change.has_value(), rounds[i].event) << "round " << i;
        if (change) {
            EXPECT_EQ(change->active, rounds[i].active) << "round " << i;
            EXPECT_EQ(change->alarm_text, rounds[i].text) << "round " << i;
        }
        // One alarm, shown with its latest text.
        ASSERT_EQ(store.Known(7).size(), 1u) << "round " << i;
        EXPECT_EQ(store.Known(7)[0].alarm_text, rounds[i].text) << "round " << i;
        EXPECT_EQ(store.Active(7).size(), rounds[i].active ? 1u : 0u) << "round " << i;
    }
}

TEST(AlarmStore, AlarmsToldApartByTextStayApartAcrossRounds) {
    AlarmStore store;
    // The model's per-module alarms: same id and key, one text and ordinal
    // each, all reported every round.
    auto module = [](int n, bool active) {
        AlarmChange r = Report(active, "模块" + std::to_string(n) + "模块故障告警状态");
        r.ordinal = static_cast<uint16_t>(10 + n);
        return r;
    };
    store.BeginRound(7);
    EXPECT_TRUE(store.Report(module(1, true)));
    EXPECT_FALSE(store.Report(module(2, false)));
    store.BeginRound(7);
    EXPECT_FALSE(store.Report(module(1, true)));
    EXPECT_TRUE(store.Report(module(2, true)));
    // A third module that appears later is an alarm of its own.
    store.BeginRound(7);
    EXPECT_FALSE(store.Report(module(1, true)));
    EXPECT_FALSE(store.Report(module(2, true)));
    EXPECT_TRUE(store.Report(module(3, true)));
    EXPECT_EQ(store.Active(7).size(), 3u);

    // Texts that change within one round are different alarms, and so are
    // those of another ordinal or another device.
    store.BeginRound(7);
    EXPECT_TRUE(store.Report(LevelReport(true, "a")));
    EXPECT_TRUE(store.Report(LevelReport(true, "b")));
    AlarmChange other = LevelReport(true, "c");
    other.ordinal = 2;
    EXPECT_TRUE(store.Report(other));
    store.BeginRound(8);
    EXPECT_TRUE(store.Report(LevelReport(true, "d", 8)));
    EXPECT_EQ(store.Active(7).size(), 6u);
    EXPECT_EQ(store.Active(8).size(), 1u);

    // Two candidates from the round before: the new text cannot be told to
    // be either, so it is a new alarm and both stay raised.
    store.BeginRound(7);
    EXPECT_TRUE(store.Report(LevelReport(true, "e")));
    EXPECT_EQ(store.Active(7).size(), 7u);
}

}  // namespace
