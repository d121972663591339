// The analog-report decision: the absolute, percentage and period criteria at
// their boundaries, and the copy of a template's settings.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "alarm_test_support.h"
#include "alarms/threshold_rules.h"
#include "tests/support/device_harness.h"

namespace {

BAOSetting Absolute(float delta, float last) {
    BAOSetting b;
    b.abs_enabled = true;
    b.abs_delta = delta;
    b.last_report_value = last;
    return b;
}

BAOSetting Percent(float delta, float last) {
    BAOSetting b;
    b.percent_enabled = true;
    b.percent_delta = delta;
    b.last_report_value = last;
    return b;
}

BAOSetting Period(float minutes, uint32_t last_time) {
    BAOSetting b;
    b.period_enabled = true;
    b.period_minutes = minutes;
    b.last_report_time = last_time;
    return b;
}

constexpr uint32_t kNow = 1700000000;  // a time of today's size

TEST(AOReportDue, CriteriaAtTheirBoundaries) {
    struct Row {
        const char* name;
        BAOSetting b;
        float value;
        uint32_t now;
        bool due;
    } rows[] = {
        {"abs +2 of 50", Absolute(2, 50), 52.0f, kNow, false},
        {"abs -2 of 50", Absolute(2, 50), 48.0f, kNow, false},
        {"abs above", Absolute(2, 50), 52.01f, kNow, true},
        {"abs below", Absolute(2, 50), 47.9f, kNow, true},
        {"abs 0: any change", Absolute(0, 50), 50.0f, kNow, false},
        {"abs 0: any change, moved", Absolute(0, 50), 50.001f, kNow, true},
        {"percent +10 of 50", Percent(10, 50), 55.0f, kNow, false},
        {"percent above", Percent(10, 50), 55.1f, kNow, true},
        {"percent -10 of 50", Percent(10, 50), 45.0f, kNow, false},
        {"percent below", Percent(10, 50), 44.9f, kNow, true},
        {"period just reached", Period(5, kNow - 300), 1.0f, kNow, false},
        {"period passed by a second", Period(5, kNow - 301), 1.0f, kNow, true},
        {"period of one minute, 59 s", Period(1, kNow - 59), 1.0f, kNow, false},
        {"period of one minute, 61 s", Period(1, kNow - 61), 1.0f, kNow, true},
        {"never reported", Period(60, 0), 1.0f, kNow, true},
        {"nothing enabled", BAOSetting(), 1e9f, kNow, false},
    };
    for (const Row& r : rows) EXPECT_EQ(AOReportDue(r.b, r.value, r.now), r.due) << r.name;
}

TEST(AOReportDue, DisabledCriteriaIgnoreTheirFields) {
    BAOSetting b = Absolute(2, 50);
    b.abs_enabled = false;
    b.percent_delta = 1;
    b.period_minutes = 0;
    EXPECT_FALSE(AOReportDue(b, 100.0f, kNow));
}

TEST(AOReport, ReportsUnderTheKeyAndRemembersValueAndTime) {
    DeviceHarness h;
    auto& d = *h.dev;
    d.ao_report_settings_["K"] = Absolute(2, 50);
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    EXPECT_FALSE(d.CheckAOReport("T", "K", 51.0f));
    EXPECT_TRUE(h.host->calls.empty());
    EXPECT_TRUE(d.CheckAOReport("T", "K", 53.0f));
    const uint32_t after = static_cast<uint32_t>(std::time(nullptr));
    ASSERT_EQ(h.host->calls.size(), 1u);
    EXPECT_EQ(ToText(h.host->calls[0]), "ao-report key=K value=53");
    const BAOSetting& b = d.ao_report_settings_.at("K");
    EXPECT_FLOAT_EQ(b.last_report_value, 53.0f);
    EXPECT_GE(b.last_report_time, before);
    EXPECT_LE(b.last_report_time, after);
    // Measured from the new value now.
    EXPECT_FALSE(d.CheckAOReport("T", "K", 54.5f));
    EXPECT_TRUE(d.CheckAOReport("T", "K", 50.5f));
    EXPECT_EQ(d.ao_report_settings_.count("T"), 0u);
}

TEST(AOReport, PeriodCountsFromTheLastReport) {
    DeviceHarness h;
    auto& d = *h.dev;
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    // Well inside and well past a five-minute period, so the clock moving
    // during the test does not matter.
    d.ao_report_settings_["K"] = Period(5, now - 200);
    EXPECT_FALSE(d.CheckAOReport("T", "K", 1.0f));
    d.ao_report_settings_["K"].last_report_time = now - 400;
    EXPECT_TRUE(d.CheckAOReport("T", "K", 1.0f));
    EXPECT_FALSE(d.CheckAOReport("T", "K", 1.0f)) << "the period restarts at the report";
    EXPECT_EQ(h.host->Of(HostCall::Kind::kAOReport).size(), 1u);
}

TEST(AOReport, KeyWithoutSettingsTakesACopyOfTheTemplate) {
    DeviceHarness h;
    auto& d = *h.dev;
    BAOSetting t = Absolute(2, 50);
    t.period_minutes = 7;
    t.last_report_time = 1234;
    d.ao_report_settings_["T"] = t;
    EXPECT_TRUE(d.CheckAOReport("T", "K", 60.0f));
    ASSERT_EQ(d.ao_report_settings_.count("K"), 1u);
    const BAOSetting& k = d.ao_report_settings_.at("K");
    EXPECT_TRUE(k.abs_enabled);
    EXPECT_FLOAT_EQ(k.abs_delta, 2.0f);
    EXPECT_FLOAT_EQ(k.period_minutes, 7.0f);
    EXPECT_FLOAT_EQ(k.last_report_value, 60.0f);
    const BAOSetting& still = d.ao_report_settings_.at("T");
    EXPECT_FLOAT_EQ(still.last_report_value, 50.0f);
    EXPECT_EQ(still.last_report_time, 1234u);

    // A copy that is not due still stays as the key's own settings.
    EXPECT_FALSE(d.CheckAOReport("T", "K2", 51.0f));
    EXPECT_EQ(d.ao_report_settings_.count("K2"), 1u);
    // Later changes of the template no longer reach the key.
    d.ao_report_settings_["T"].abs_delta = 100;
    EXPECT_TRUE(d.CheckAOReport("T", "K2", 53.0f));
}

TEST(AOReport, NeitherKeyNorTemplateReportsNothingAndCreatesNothing) {
    DeviceHarness h;
    auto& d = *h.dev;
    EXPECT_FALSE(d.CheckAOReport("T", "K", 1.0f));
    EXPECT_TRUE(d.ao_report_settings_.empty());
    EXPECT_TRUE(h.host->calls.empty());
}

}  // namespace
