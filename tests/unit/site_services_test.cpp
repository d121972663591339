#include "runtime/site/site_services.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

class SiteServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-svc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // One round as a device runs it: publish, alarms, report, store.
    static void Round(SiteServices& s, uint8_t fill, bool fault, bool store = true) {
        std::vector<uint8_t> rec(2704, fill);
        s.Publish(7, 5535, rec.data(), rec.size());
        s.CheckThresholdBool(7, 1, "419430501001", "419430501001", "419430501001", "模块故障告警",
                             fault, 1);
        s.CheckAOReport(7, "419110100001", 230.5f);
        if (store) s.SaveHistory(7, rec.data(), rec.size());
    }

    std::string dir_;
};

TEST_F(SiteServicesTest, ARoundIsStoredWholeAndItsChangesBecomeEvents) {
    auto db = std::make_shared<HistoryDb>(dir_ + "/h.db");
    SiteServices s(db);
    s.SetClock([] { return std::time_t{1700000000}; });
    std::vector<std::string> seen;
    s.SetListener([&](const HostEvent& e) { seen.push_back(ToString(e.kind)); });

    Round(s, 1, false);
    Round(s, 2, true);
    Round(s, 3, true);
    Round(s, 4, false);

    const std::vector<std::string> want = {
        "record", "analog_report",                   // fault reported inactive: no event
        "record", "alarm_raised",  "analog_report",  //
        "record", "analog_report",                   // still raised: no event
        "record", "alarm_cleared", "analog_report"};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(db->Records().size(), 4u);
    EXPECT_EQ(db->Records()[1].blob[0], 2);
    ASSERT_EQ(db->AlarmEvents().size(), 2u);
    EXPECT_TRUE(db->AlarmEvents()[0].active);
    EXPECT_FALSE(db->AlarmEvents()[1].active);
    EXPECT_EQ(db->AnalogReports().size(), 4u);
    EXPECT_EQ(s.LastRecord(7)[0], 4);
    EXPECT_TRUE(s.alarms().Active(7).empty());
}

TEST_F(SiteServicesTest, AnUnfinishedRoundLeavesNothingBehind) {
    {
        auto db = std::make_shared<HistoryDb>(dir_ + "/h.db");
        SiteServices s(db);
        Round(s, 1, false);
        Round(s, 2, true, /*store=*/false);  // killed before the round was stored
    }
    HistoryDb db(dir_ + "/h.db");
    EXPECT_EQ(db.Records().size(), 1u);
    EXPECT_TRUE(db.AlarmEvents().empty());
    EXPECT_EQ(db.AnalogReports().size(), 1u);
}

TEST_F(SiteServicesTest, ARecordWithinTheIntervalIsNotStoredButTheRoundsEventsAre) {
    const std::string path = dir_ + "/h.db";
    auto db = std::make_shared<HistoryDb>(path);
    const int64_t t0 = 1700000000;
    int64_t now = t0;
    auto s = std::make_unique<SiteServices>(db);
    s->SetClock([&] { return static_cast<std::time_t>(now); });
    HistoryConfig policy;
    policy.min_interval_s = 600;
    s->SetHistoryPolicy(policy);

    const struct {
        int64_t at;  // seconds after t0
        bool fault;
        bool stored;
        const char* why;
    } rounds[] = {
        {0, false, true, "the first round"},
        {100, true, false, "100 s after: the raise is stored, the record not"},
        {599, true, false, "still within the interval"},
        {600, true, true, "the interval has passed"},
        {650, false, false, "the clear is stored, the record not"},
        {1300, false, true, "700 s after the last stored"},
        {1000, false, true, "the clock set back: stored at once"},
        {1100, false, false, "the interval counts from the set-back time"},
    };
    std::vector<int64_t> want_records;
    size_t want_reports = 0;
    for (const auto& r : rounds) {
        SCOPED_TRACE(r.why);
        now = t0 + r.at;
        Round(*s, static_cast<uint8_t>(r.at), r.fault);
        ++want_reports;
        if (r.stored) want_records.push_back(now);
        EXPECT_FALSE(db->InTransaction()) << "the round is committed whether stored or not";
        // Committed for another connection to see, not held for the next round.
        HistoryDb reader(path, HistoryDb::Access::kReadOnly);
        EXPECT_EQ(reader.Records().size(), want_records.size());
        EXPECT_EQ(reader.AnalogReports().size(), want_reports);
    }
    std::vector<int64_t> got_records;
    for (const auto& r : db->Records()) got_records.push_back(r.unix_time);
    EXPECT_EQ(got_records, want_records);
    const auto events = db->AlarmEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].active);
    EXPECT_EQ(events[0].unix_time, t0 + 100);
    EXPECT_FALSE(events[1].active);
    EXPECT_EQ(events[1].unix_time, t0 + 650);
    EXPECT_EQ(s->LastRecord(7)[0], static_cast<uint8_t>(1100))
        << "publishing is not thinned, only storing";

    // A restart stores its first round, however recent the last stored one.
    s = std::make_unique<SiteServices>(db);
    s->SetClock([&] { return static_cast<std::time_t>(now); });
    s->SetHistoryPolicy(policy);
    now = t0 + 1110;
    Round(*s, 1, false);
    EXPECT_EQ(db->Records().size(), want_records.size() + 1);

    // 0: every round.
    policy.min_interval_s = 0;
    s->SetHistoryPolicy(policy);
    Round(*s, 2, false);
    Round(*s, 3, false);
    EXPECT_EQ(db->Records().size(), want_records.size() + 3);
}

TEST_F(SiteServicesTest, HostThresholdsAndLinkChanges) {
    SiteServices s;
    std::vector<HostEvent> seen;
    s.SetListener([&](const HostEvent& e) { seen.push_back(e); });
    s.SetThresholds(7, {{"419610401001", {2, 180.0f, ThresholdConfig::Direction::kLower, {}}}});

    s.CheckThreshold(7, "419610401001", "", 100.0f);
    s.CheckThreshold(8, "419610401001", "", 100.0f);  // another device: not configured
    s.LinkState(7, true);                             // starting up is no news
    s.LinkState(7, false, "no reply");
    s.LinkState(7, false, "no reply");
    s.LinkState(7, true);

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].kind, HostEvent::Kind::kAlarmRaised);
    EXPECT_EQ(seen[0].alarm.level, 2);
    EXPECT_EQ(seen[1].kind, HostEvent::Kind::kLinkLost);
    EXPECT_EQ(seen[1].detail, "no reply");
    EXPECT_EQ(seen[2].kind, HostEvent::Kind::kLinkBack);
    EXPECT_TRUE(s.LinkUp(7));
}

}  // namespace
