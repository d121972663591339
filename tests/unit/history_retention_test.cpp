#include "runtime/site/history_retention.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "runtime/site/site_services.h"

namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kNow = 1700000000;

int64_t FileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

HistoryConfig MaxAge(int days) {
    HistoryConfig c;
    c.max_age_days = days;
    c.min_interval_s = 0;
    return c;
}

// The unix_time of every row of each of the runner's tables.
struct Times {
    std::vector<int64_t> records, events, reports, links;
};

Times TimesIn(const HistoryDb& db) {
    Times t;
    for (const auto& r : db.Records()) t.records.push_back(r.unix_time);
    for (const auto& r : db.AlarmEvents()) t.events.push_back(r.unix_time);
    for (const auto& r : db.AnalogReports()) t.reports.push_back(r.unix_time);
    for (const auto& r : db.LinkStats()) t.links.push_back(r.unix_time);
    for (auto* v : {&t.records, &t.events, &t.reports, &t.links}) std::sort(v->begin(), v->end());
    return t;
}

class HistoryRetentionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-ret-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/host.db";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // `n` rows at `t` in each of the four tables.
    static void Fill(HistoryDb& db, int64_t t, int n, unsigned data_id = 7) {
        db.Begin();
        for (int k = 0; k < n; ++k) {
            StoredRecord r;
            r.data_id = data_id;
            r.unix_time = t;
            r.time = "2023-11-14 22:13:20";
            r.type = 5535;
            r.blob.assign(2704, static_cast<uint8_t>(k));
            db.AddRecord(r);
            AlarmEventRow e;
            e.data_id = data_id;
            e.unix_time = t;
            e.alarm_id = "419430501001";
            e.key = "419430501001";
            e.active = k % 2 == 0;
            db.AddAlarmEvent(e);
            AnalogReportRow a;
            a.data_id = data_id;
            a.unix_time = t;
            a.key = "419120300001";
            a.value = 53.5;
            db.AddAnalogReport(a);
        }
        db.Commit();
        std::vector<LinkStatsRow> links(static_cast<size_t>(n));
        for (auto& l : links) {
            l.data_id = data_id;
            l.unix_time = t;
        }
        db.AddLinkStats(links);
    }

    std::string dir_, path_;
};

TEST_F(HistoryRetentionTest, RowsPastTheAgeLimitGoFromEveryTableAndNewerOnesStay) {
    auto db = std::make_shared<HistoryDb>(path_);
    // Written out of time order, as after a clock set back: what counts is
    // each row's time, not its place in the file.
    const int64_t ages[] = {6 * kDay, 10 * kDay, 0, 7 * kDay, 7 * kDay + 1, 8 * kDay};
    for (int64_t age : ages) Fill(*db, kNow - age, 3);
    HistoryRetention retention(db, MaxAge(7));
    EXPECT_TRUE(retention.incremental()) << "a new file gives pages back";
    int steps = 0;
    while (retention.Step(kNow)) ASSERT_LT(++steps, 10);
    EXPECT_FALSE(retention.Step(kNow));
    EXPECT_EQ(retention.last_step().rows_deleted, 0) << "nothing left once it says so";

    // Exactly seven days old is not older than seven days.
    const std::vector<int64_t> kept = {kNow - 7 * kDay,
                                       kNow - 7 * kDay,
                                       kNow - 7 * kDay,
                                       kNow - 6 * kDay,
                                       kNow - 6 * kDay,
                                       kNow - 6 * kDay,
                                       kNow,
                                       kNow,
                                       kNow};
    const Times t = TimesIn(*db);
    EXPECT_EQ(t.records, kept);
    EXPECT_EQ(t.events, kept);
    EXPECT_EQ(t.reports, kept);
    EXPECT_EQ(t.links, kept);

    // Off: nothing is deleted, however old.
    HistoryRetention off(db, MaxAge(0));
    EXPECT_FALSE(off.Step(kNow + 365 * kDay));
    EXPECT_EQ(TimesIn(*db).records, kept);
}

TEST_F(HistoryRetentionTest, AStepDeletesAtMostItsShareAndGivesBackAtMostItsPages) {
    auto db = std::make_shared<HistoryDb>(path_);
    Fill(*db, kNow - 30 * kDay, 1000);
    Fill(*db, kNow, 10);
    RetentionOptions o;
    o.record_rows_per_step = 100;
    o.rows_per_step = 100;
    o.vacuum_pages = 40;
    o.keep_free_pages = 8;
    HistoryRetention retention(db, MaxAge(7), o);
    const int64_t pages_before = retention.Stats().page_count;

    int64_t vacuumed = 0;
    for (int k = 1; k <= 10; ++k) {
        SCOPED_TRACE("step " + std::to_string(k));
        EXPECT_TRUE(retention.Step(kNow));
        EXPECT_EQ(retention.last_step().rows_deleted, 4 * 100) << "100 from each table";
        EXPECT_EQ(retention.last_step().pages_vacuumed, 40);
        vacuumed += 40;
        EXPECT_EQ(TimesIn(*db).records.size(), 1000u - 100u * k + 10u);
    }
    // The rows are gone; the free pages go back a step's worth at a time.
    int vacuum_steps = 0;
    while (retention.Step(kNow)) {
        ASSERT_LT(++vacuum_steps, 1000);
        EXPECT_EQ(retention.last_step().rows_deleted, 0);
        EXPECT_EQ(retention.last_step().pages_vacuumed, 40);
        vacuumed += 40;
    }
    vacuumed += retention.last_step().pages_vacuumed;
    const auto after = retention.Stats();
    EXPECT_EQ(after.freelist_count, 8) << "the reserve for the next rounds stays";
    EXPECT_GT(vacuumed, 1000) << "about a page per 2704-byte record was given back";
    EXPECT_LT(after.page_count, pages_before / 10);
    EXPECT_EQ(TimesIn(*db).records.size(), 10u);
}

TEST_F(HistoryRetentionTest, NothingIsDeletedWhileARoundIsOpen) {
    auto db = std::make_shared<HistoryDb>(path_);
    Fill(*db, kNow - 30 * kDay, 5);
    HistoryRetention retention(db, MaxAge(7));

    // A round that is rolled back must not take deletions with it, nor
    // may they commit its half.
    db->Begin();
    StoredRecord r;
    r.data_id = 7;
    r.unix_time = kNow;
    r.blob.assign(2704, 1);
    db->AddRecord(r);
    EXPECT_TRUE(retention.Step(kNow)) << "work is left: come back soon";
    EXPECT_TRUE(retention.last_step().skipped);
    EXPECT_EQ(retention.last_step().rows_deleted, 0);
    EXPECT_TRUE(db->InTransaction()) << "the round is still open";
    EXPECT_EQ(TimesIn(*db).records.size(), 6u);
}

TEST_F(HistoryRetentionTest, ARoundLeftOpenAtTheEndTakesNoDeletionWithIt) {
    {
        auto db = std::make_shared<HistoryDb>(path_);
        Fill(*db, kNow - 30 * kDay, 5);
        HistoryRetention retention(db, MaxAge(7));
        db->Begin();
        StoredRecord r;
        r.data_id = 7;
        r.unix_time = kNow;
        r.blob.assign(2704, 1);
        db->AddRecord(r);
        EXPECT_TRUE(retention.Step(kNow));
    }  // the runner ends mid-round: the round is rolled back
    auto db = std::make_shared<HistoryDb>(path_);
    EXPECT_EQ(TimesIn(*db).records.size(), 5u) << "the open round left nothing, and took nothing";
    HistoryRetention again(db, MaxAge(7));
    while (again.Step(kNow)) {
    }
    EXPECT_FALSE(again.last_step().skipped);
    EXPECT_TRUE(TimesIn(*db).records.empty());
}

// A file created before incremental vacuum keeps its mode: converting it
// would rewrite it whole. Its freed pages are filled again instead.
TEST_F(HistoryRetentionTest, AnOlderFileStopsGrowingWithoutBeingRewritten) {
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw,
                               "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER"
                               " NOT NULL, unix_time INTEGER NOT NULL, time TEXT NOT NULL,"
                               " type INTEGER NOT NULL, record BLOB NOT NULL)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(raw);
    }
    auto db = std::make_shared<HistoryDb>(path_);
    HistoryRetention retention(db, MaxAge(1));
    EXPECT_FALSE(retention.incremental());
    // Each day 200 rows come and the 200 of two days before go: after the
    // first deletion the new rows fill the freed pages.
    std::vector<int64_t> pages;
    for (int day = 0; day <= 6; ++day) {
        SCOPED_TRACE("day " + std::to_string(day));
        Fill(*db, kNow + day * kDay, 200);
        while (retention.Step(kNow + day * kDay)) {
        }
        EXPECT_EQ(TimesIn(*db).records.size(), day == 0 ? 200u : 400u);
        pages.push_back(retention.Stats().page_count);
    }
    for (size_t day = 3; day < pages.size(); ++day)
        EXPECT_LE(pages[day], pages[2] + pages[2] / 50) << "day " << day;
    EXPECT_GT(retention.Stats().freelist_count, 100) << "freed pages stay in the file";
    db.reset();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA auto_vacuum", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 0) << "the file's mode was left as it was";
    sqlite3_finalize(st);
    sqlite3_close(raw);
}

// Rounds through the site services with the clock moved, a retention step
// after each as the runner's loop does between rounds: after the first
// age limit the file holds the same span of rows and stops growing.
TEST_F(HistoryRetentionTest, ManySimulatedDaysSettleAtASteadySize) {
    constexpr int kMaxAgeDays = 2;
    constexpr int kDays = 8;
    constexpr int64_t kRound = 300;  // seconds between a device's rounds
    constexpr unsigned kDevices = 2;
    HistoryConfig config;
    config.max_age_days = kMaxAgeDays;
    config.min_interval_s = 600;

    auto db = std::make_shared<HistoryDb>(path_);
    int64_t now = kNow;
    SiteServices services(db);
    services.SetClock([&] { return static_cast<std::time_t>(now); });
    services.SetHistoryPolicy(config);
    RetentionOptions o;
    o.keep_free_pages = 16;
    HistoryRetention retention(db, config, o);

    std::vector<int64_t> pages_at_day_end;
    std::vector<int64_t> file_at_day_end;
    const std::vector<uint8_t> rec(2704, 0x5a);
    for (int64_t t = 0; t < kDays * kDay; t += kRound) {
        now = kNow + t;
        for (unsigned id = 1; id <= kDevices; ++id) {
            services.Publish(id, 5535, rec.data(), rec.size());
            // An alarm raised and cleared every 20 minutes: events within
            // the record interval.
            services.CheckThresholdBool(id, 1, "419430501001", "419430501001", "", "模块故障告警",
                                        (t / 1200) % 2 == 1, 1);
            for (const char* key : {"419120300001", "419120400001", "419113900001"})
                services.CheckAOReport(id, key, 53.5f);
            services.SaveHistory(id, rec.data(), rec.size());
        }
        if (t % 3600 == 0) {
            std::vector<LinkStatsRow> links(kDevices);
            for (unsigned k = 0; k < kDevices; ++k) {
                links[k].data_id = k + 1;
                links[k].unix_time = now;
            }
            db->AddLinkStats(links);
        }
        retention.Step(now);
        if ((t + kRound) % kDay == 0) {
            pages_at_day_end.push_back(retention.Stats().page_count);
            file_at_day_end.push_back(FileSize(path_));
        }
    }
    while (retention.Step(now)) {
    }

    // Nothing older than the limit, and every stored record of the last
    // two days: one per device per 600 s.
    const int64_t cutoff = now - kMaxAgeDays * kDay;
    const Times times = TimesIn(*db);
    for (const auto* v : {&times.records, &times.events, &times.reports, &times.links}) {
        ASSERT_FALSE(v->empty());
        EXPECT_GE(v->front(), cutoff);
    }
    const int64_t records_written = kDevices * (kDays * kDay / 600);
    const int64_t per_window = kDevices * (kMaxAgeDays * kDay / 600);
    EXPECT_GE(static_cast<int64_t>(times.records.size()), per_window);
    EXPECT_LE(static_cast<int64_t>(times.records.size()), per_window + kDevices);
    // 20-minute alarm flips: 144 events per device in two days.
    EXPECT_NEAR(static_cast<double>(times.events.size()), kDevices * 144.0, kDevices * 2.0);
    EXPECT_EQ(times.reports.size(), 3u * kDevices * (kMaxAgeDays * kDay / kRound + 1));

    // The size after the first two limits is where it stays.
    ASSERT_EQ(pages_at_day_end.size(), static_cast<size_t>(kDays));
    const int64_t settled = std::max(pages_at_day_end[2], pages_at_day_end[3]);
    for (size_t d = 4; d < pages_at_day_end.size(); ++d) {
        SCOPED_TRACE("day " + std::to_string(d + 1));
        EXPECT_LE(pages_at_day_end[d], settled + settled / 20);
        EXPECT_GE(pages_at_day_end[d], settled - settled / 20);
    }
    EXPECT_GT(pages_at_day_end[2], pages_at_day_end[0] + pages_at_day_end[0] / 2)
        << "it grew until the first rows were old enough";
    // The file on disk follows at each checkpoint (its -wal is bounded by
    // SQLite's own checkpoints) and holds a fraction of what was written.
    const int64_t page_size = retention.Stats().page_size;
    for (size_t d = 4; d < file_at_day_end.size(); ++d) {
        SCOPED_TRACE("day " + std::to_string(d + 1));
        EXPECT_LE(file_at_day_end[d], (settled + settled / 20) * page_size);
    }
    EXPECT_LT(file_at_day_end.back(), records_written * 2704 / 2);
}

}  // namespace
