#include "tools/link_stats_meter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "runtime/site/site_services.h"

namespace {

using std::chrono::milliseconds;

// ------------------------------------------------------------ counter names

TEST(LinkCounts, EachRejectionKindLandsInItsOwnCounter) {
    using wire::FrameError;
    const struct {
        FrameError kind;
        const char* counter;
    } cases[] = {
        {FrameError::kBadChksum, "bad_checksum"},
        {FrameError::kBadLchksum, "bad_lchksum"},
        {FrameError::kReturnCode, "rtn_errors"},
        {FrameError::kWrongAddress, "foreign_address"},
        {FrameError::kWrongUnit, "wrong_unit"},
        {FrameError::kTruncated, "other_damage"},
        {FrameError::kTooShort, "other_damage"},
        {FrameError::kBadHex, "other_damage"},
        {FrameError::kLengthMismatch, "other_damage"},
        {FrameError::kTooLong, "other_damage"},
    };
    for (const auto& c : cases) {
        rt::LinkStats s;
        s.rejected[static_cast<int>(c.kind)] = 7;
        const Json::Value j = LinkCountsJson(CountsOf(s));
        for (const auto& name : j.getMemberNames())
            EXPECT_EQ(j[name].asUInt64(), name == c.counter ? 7u : 0u)
                << wire::ToString(c.kind) << " -> " << name;
    }
}

TEST(LinkCounts, LineCountersKeepTheirNames) {
    rt::LinkStats s;
    s.commands = 1;
    s.replies = 2;
    s.timeouts = 3;
    s.echoes = 4;
    s.late_replies = 5;
    s.drained_bytes = 6;
    s.retries = 8;
    s.abandoned = 9;
    s.polls = 10;
    s.resets = 11;
    s.settles = 12;
    s.process_errors = 13;  // not reported: the plug-in's, not the line's
    const std::map<std::string, uint64_t> want = {
        {"commands", 1},     {"good", 2},       {"timeouts", 3},        {"bad_checksum", 0},
        {"bad_lchksum", 0},  {"rtn_errors", 0}, {"foreign_address", 0}, {"wrong_unit", 0},
        {"other_damage", 0}, {"echoes", 4},     {"late_replies", 5},    {"drained_bytes", 6},
        {"retries", 8},      {"abandoned", 9},  {"polls", 10},          {"resets", 11},
        {"settles", 12},
    };
    const Json::Value j = LinkCountsJson(CountsOf(s));
    std::map<std::string, uint64_t> got;
    for (const auto& name : j.getMemberNames()) got[name] = j[name].asUInt64();
    EXPECT_EQ(got, want);
}

// ------------------------------------------------------------------- meter

struct MeterStep {
    double at;                              // seconds after Start()
    std::map<unsigned, uint64_t> set_good;  // frames good of a device from now on
    size_t reports;                         // batches made by then
    // data id -> {total, change} in the latest batch; empty: not checked
    std::map<unsigned, std::pair<uint64_t, uint64_t>> latest;
};

struct MeterCase {
    const char* name;
    std::vector<unsigned> devices;
    std::map<unsigned, uint64_t> before_start;
    std::vector<MeterStep> steps;
};

void PrintTo(const MeterCase& c, std::ostream* os) {
    *os << c.name;
}

class LinkStatsMeterTest : public testing::TestWithParam<MeterCase> {};

TEST_P(LinkStatsMeterTest, ReportsTotalsAndTheChangeOncePerInterval) {
    const MeterCase& c = GetParam();
    rt::ManualTime clock;
    rt::EventLoop loop(&clock);
    std::map<unsigned, rt::LinkStats> stats;
    std::vector<std::vector<LinkStatsReport>> batches;
    LinkStatsMeter meter(loop, std::chrono::seconds(1),
                         [&](const std::vector<LinkStatsReport>& r) { batches.push_back(r); });
    for (unsigned id : c.devices) meter.AddDevice(id, [&stats, id] { return stats[id]; });
    auto set = [&](const std::map<unsigned, uint64_t>& good) {
        for (const auto& [id, n] : good) {
            stats[id].replies = n;
            stats[id].drained_bytes = 100 * n;
        }
    };
    set(c.before_start);
    meter.Start();
    const rt::TimePoint start = clock.Now();
    for (const auto& step : c.steps) {
        const auto at = start + std::chrono::duration_cast<rt::Duration>(
                                    std::chrono::duration<double>(step.at));
        clock.Advance(at - clock.Now());
        set(step.set_good);
        loop.RunOnce(rt::Duration::zero());
        ASSERT_EQ(batches.size(), step.reports) << "at " << step.at << " s";
        if (step.latest.empty()) continue;
        const auto& last = batches.back();
        ASSERT_EQ(last.size(), c.devices.size());
        for (size_t k = 0; k < last.size(); ++k) {
            const LinkStatsReport& r = last[k];
            EXPECT_EQ(r.data_id, c.devices[k]) << "in the order added";
            const auto want = step.latest.at(r.data_id);
            EXPECT_EQ(r.totals.good, want.first) << r.data_id << " at " << step.at << " s";
            EXPECT_EQ(r.interval.good, want.second) << r.data_id << " at " << step.at << " s";
            EXPECT_EQ(r.interval.drained_bytes, 100 * want.second) << r.data_id;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkStatsMeterTest,
    testing::Values(MeterCase{"FirstIntervalCountsFromZero",
                              {7},
                              {{7, 5}},
                              {{0.999, {}, 0, {}}, {1.0, {}, 1, {{7, {5, 5}}}}}},
                    MeterCase{"CountersMoving",
                              {7},
                              {},
                              {{0.5, {{7, 3}}, 0, {}},
                               {1.0, {}, 1, {{7, {3, 3}}}},
                               {1.5, {{7, 10}}, 1, {}},
                               {2.0, {}, 2, {{7, {10, 7}}}},
                               {3.0, {{7, 12}}, 3, {{7, {12, 2}}}}}},
                    MeterCase{"DeviceWithNoTrafficIsStillReported",
                              {7, 8},
                              {},
                              {{0.5, {{7, 4}}, 0, {}},
                               {1.0, {}, 1, {{7, {4, 4}}, {8, {0, 0}}}},
                               {2.0, {{7, 6}}, 2, {{7, {6, 2}}, {8, {0, 0}}}}}},
                    MeterCase{"HeldUpLoopMakesOneReportAndKeepsTheGrid",
                              {7},
                              {},
                              {{3.5, {{7, 9}}, 1, {{7, {9, 9}}}},
                               {3.9, {}, 1, {}},
                               {4.0, {{7, 11}}, 2, {{7, {11, 2}}}}}},
                    MeterCase{"CounterThatWentBackCountsFromZero",
                              {7},
                              {{7, 10}},
                              {{1.0, {}, 1, {{7, {10, 10}}}}, {2.0, {{7, 4}}, 2, {{7, {4, 4}}}}}}),
    [](const testing::TestParamInfo<MeterCase>& i) { return std::string(i.param.name); });

TEST(LinkStatsMeter, StoppedMeterReportsNoMore) {
    rt::ManualTime clock;
    rt::EventLoop loop(&clock);
    int batches = 0;
    LinkStatsMeter meter(loop, milliseconds(500), [&](const auto&) { ++batches; });
    meter.AddDevice(1, [] { return rt::LinkStats{}; });
    meter.Start();
    clock.Advance(milliseconds(500));
    loop.RunOnce(rt::Duration::zero());
    ASSERT_EQ(batches, 1);
    meter.Stop();
    clock.Advance(std::chrono::seconds(5));
    loop.RunOnce(rt::Duration::zero());
    EXPECT_EQ(batches, 1);
    EXPECT_EQ(loop.NextTimer(), rt::TimePoint::max());
}

// ------------------------------------------------------------------ output

TEST(LinkStatsOutput, TheLineRowAlwaysShowsTheKeyCountersAndOtherwiseOnlyWhatHappened) {
    LinkCounts clean;
    clean.good = 41;
    clean.commands = 41;
    clean.polls = 5;
    EXPECT_EQ(LinkLine(clean), "good 41, timeouts 0, retries 0, abandoned 0");

    const struct {
        uint64_t LinkCounts::*member;
        const char* shown;
    } optional[] = {
        {&LinkCounts::bad_checksum, "bad CHKSUM 3"},
        {&LinkCounts::bad_lchksum, "bad LCHKSUM 3"},
        {&LinkCounts::rtn_errors, "RTN errors 3"},
        {&LinkCounts::foreign_address, "foreign address 3"},
        {&LinkCounts::wrong_unit, "wrong unit 3"},
        {&LinkCounts::other_damage, "other damage 3"},
        {&LinkCounts::echoes, "echoes 3"},
        {&LinkCounts::late_replies, "late replies 3"},
        {&LinkCounts::drained_bytes, "drained bytes 3"},
    };
    for (const auto& o : optional) {
        LinkCounts c = clean;
        c.timeouts = 2;
        c.*o.member = 3;
        EXPECT_EQ(LinkLine(c),
                  std::string("good 41, timeouts 2, retries 0, abandoned 0; ") + o.shown);
    }
    LinkCounts two = clean;
    two.bad_checksum = 1;
    two.drained_bytes = 37;
    EXPECT_EQ(LinkLine(two),
              "good 41, timeouts 0, retries 0, abandoned 0; bad CHKSUM 1, drained bytes 37");
}

TEST(LinkStatsOutput, EventCarriesTotalsAndTheChangeUnderTheirNames) {
    LinkStatsReport r;
    r.data_id = 4101;
    r.totals.good = 20;
    r.totals.rtn_errors = 3;
    r.interval.good = 8;
    r.interval.rtn_errors = 1;
    const Json::Value j = LinkStatsEvent(r, 1700000000);
    EXPECT_EQ(j["event"].asString(), "link_stats");
    EXPECT_EQ(j["data_id"].asUInt(), 4101u);
    EXPECT_EQ(j["unix_time"].asInt64(), 1700000000);
    EXPECT_EQ(j["time"].asString().size(), std::string("YYYY-MM-DD hh:mm:ss").size());
    EXPECT_EQ(j["totals"]["good"].asUInt64(), 20u);
    EXPECT_EQ(j["totals"]["rtn_errors"].asUInt64(), 3u);
    EXPECT_EQ(j["minute"]["good"].asUInt64(), 8u);
    EXPECT_EQ(j["minute"]["rtn_errors"].asUInt64(), 1u);
    EXPECT_EQ(j["totals"].size(), 17u);
    EXPECT_EQ(j["minute"].size(), 17u);

    const LinkStatsRow row = LinkStatsRowOf(r, 1700000000);
    EXPECT_EQ(row.data_id, 4101u);
    EXPECT_EQ(row.unix_time, 1700000000);
    EXPECT_EQ(row.time, j["time"].asString());
    EXPECT_EQ(row.counts, r.interval) << "the database keeps the change, not the totals";
}

TEST(LinkStatsOutput, IntervalFlagTakesSecondsWithinRange) {
    const struct {
        const char* text;
        bool ok;
        rt::Duration want;
    } cases[] = {
        {"60", true, std::chrono::seconds(60)},
        {"1", true, std::chrono::seconds(1)},
        {"0.25", true, milliseconds(250)},
        {"86400", true, std::chrono::hours(24)},
        {"0", false, {}},
        {"-1", false, {}},
        {"0.0001", false, {}},
        {"86401", false, {}},
        {"nan", false, {}},
        {"inf", false, {}},
        {"1e400", false, {}},
        {"", false, {}},
        {"abc", false, {}},
        {"5s", false, {}},
    };
    for (const auto& c : cases) {
        rt::Duration got{};
        EXPECT_EQ(ParseStatsInterval(c.text, &got), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(got, c.want) << c.text;
        }
    }
}

// ------------------------------------------------------------------ writer

class LinkStatsWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-link-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string dir_;
};

TEST_F(LinkStatsWriterTest, RowsWaitForAnOpenRoundAndNeverJoinIt) {
    auto db = std::make_shared<HistoryDb>(dir_ + "/h.db");
    SiteServices services(db);
    LinkStatsWriter writer(db);
    LinkStatsRow row;
    row.data_id = 7;
    row.counts.good = 12;

    // A device that published and has not stored yet.
    std::vector<uint8_t> rec(2704, 1);
    services.Publish(7, 5535, rec.data(), rec.size());
    ASSERT_TRUE(db->InTransaction());
    writer.Add({row});
    EXPECT_EQ(writer.waiting(), 1u);
    EXPECT_FALSE(writer.Flush());
    {
        // What another reader sees: nothing yet.
        HistoryDb reader(dir_ + "/h.db");
        EXPECT_TRUE(reader.LinkStats().empty());
    }

    services.SaveHistory(7, rec.data(), rec.size());
    EXPECT_TRUE(writer.Flush());
    EXPECT_EQ(writer.waiting(), 0u);
    HistoryDb reader(dir_ + "/h.db");
    const auto rows = reader.LinkStats(7);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].counts.good, 12u);
    EXPECT_EQ(reader.Records().size(), 1u);
}

TEST_F(LinkStatsWriterTest, WithoutADatabaseNothingWaits) {
    LinkStatsWriter writer(nullptr);
    writer.Add({LinkStatsRow{}});
    EXPECT_EQ(writer.waiting(), 0u);
    EXPECT_TRUE(writer.Flush());
}

}  // namespace
