// Filtered reads of the history file, as the API makes them through a
// read-only opening: the time range is inclusive at both ends, rows come
// oldest first whatever order they were written in, the limit cuts the
// page and says so, a device filter keeps to its device (device 0 too), and
// a reader leaves no transaction open behind it.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/site/history_db.h"

namespace {

class HistoryDbFilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-dbf-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/host.db";
        writer_ = std::make_unique<HistoryDb>(path_);
        // Written out of time order on purpose: a clock stepped back must
        // not reorder the pages, and id order alone would.
        const struct {
            unsigned id;
            int64_t t;
        } rows[] = {{7, 100}, {7, 110}, {8, 110}, {7, 105}, {0, 120}, {7, 120}, {7, 130}};
        writer_->Begin();
        for (const auto& r : rows) {
            StoredRecord rec;
            rec.data_id = r.id;
            rec.unix_time = r.t;
            rec.time = "t" + std::to_string(r.t);
            rec.blob.assign(2704, static_cast<uint8_t>(r.t));
            writer_->AddRecord(rec);
            AlarmEventRow e;
            e.data_id = r.id;
            e.unix_time = r.t;
            e.alarm_id = "a" + std::to_string(r.t);
            e.active = r.t % 2 == 0;
            writer_->AddAlarmEvent(e);
            AnalogReportRow a;
            a.data_id = r.id;
            a.unix_time = r.t;
            a.key = "k";
            a.value = static_cast<double>(r.t) + 0.5;
            writer_->AddAnalogReport(a);
        }
        writer_->Commit();
    }
    void TearDown() override {
        writer_.reset();
        std::system(("rm -rf " + dir_).c_str());
    }

    static RowFilter Filter(std::optional<unsigned> id, double since, std::optional<double> until,
                            int64_t limit) {
        RowFilter f;
        f.data_id = id;
        f.since = since;
        f.until = until;
        f.limit = limit;
        return f;
    }

    std::string dir_, path_;
    std::unique_ptr<HistoryDb> writer_;
};

TEST_F(HistoryDbFilterTest, RangeLimitAndDeviceSelectTheRowsOldestFirst) {
    HistoryDb db(path_, HistoryDb::Access::kReadOnly);
    const struct {
        RowFilter filter;
        std::vector<int64_t> times;
        std::vector<unsigned> ids;
        bool truncated;
    } cases[] = {
        {Filter(7, 0, std::nullopt, 1000), {100, 105, 110, 120, 130}, {7, 7, 7, 7, 7}, false},
        {Filter(7, 105, 120, 1000), {105, 110, 120}, {7, 7, 7}, false},
        {Filter(7, 105.5, 119.5, 1000), {110}, {7}, false},
        {Filter(7, 0, std::nullopt, 2), {100, 105}, {7, 7}, true},
        {Filter(7, 110, std::nullopt, 3), {110, 120, 130}, {7, 7, 7}, false},
        {Filter(7, 110, std::nullopt, 2), {110, 120}, {7, 7}, true},
        {Filter(7, 131, std::nullopt, 10), {}, {}, false},
        {Filter(0, 0, std::nullopt, 10), {120}, {0}, false},
        {Filter(9, 0, std::nullopt, 10), {}, {}, false},
        {Filter(std::nullopt, 110, 120, 10), {110, 110, 120, 120}, {7, 8, 0, 7}, false},
        {Filter(std::nullopt, 0, std::nullopt, 7),
         {100, 105, 110, 110, 120, 120, 130},
         {7, 7, 7, 8, 0, 7, 7},
         false},
        {Filter(std::nullopt, 0, std::nullopt, 6),
         {100, 105, 110, 110, 120, 120},
         {7, 7, 7, 8, 0, 7},
         true},
        {Filter(std::nullopt, 0, std::nullopt, 0), {}, {}, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const auto recs = db.RecordsIn(c.filter);
        const auto events = db.AlarmEventsIn(c.filter);
        const auto reports = db.AnalogReportsIn(c.filter);
        std::vector<int64_t> rt, et, at;
        std::vector<unsigned> ri, ei, ai;
        for (const auto& r : recs.rows) rt.push_back(r.unix_time), ri.push_back(r.data_id);
        for (const auto& r : events.rows) et.push_back(r.unix_time), ei.push_back(r.data_id);
        for (const auto& r : reports.rows) at.push_back(r.unix_time), ai.push_back(r.data_id);
        EXPECT_EQ(rt, c.times) << "case " << i;
        EXPECT_EQ(ri, c.ids) << "case " << i;
        EXPECT_EQ(et, c.times) << "case " << i;
        EXPECT_EQ(ei, c.ids) << "case " << i;
        EXPECT_EQ(at, c.times) << "case " << i;
        EXPECT_EQ(ai, c.ids) << "case " << i;
        EXPECT_EQ(recs.truncated, c.truncated) << "case " << i;
        EXPECT_EQ(events.truncated, c.truncated) << "case " << i;
        EXPECT_EQ(reports.truncated, c.truncated) << "case " << i;
    }
}

TEST_F(HistoryDbFilterTest, RowsReadBackWhole) {
    HistoryDb db(path_, HistoryDb::Access::kReadOnly);
    const auto recs = db.RecordsIn(Filter(7, 105, 105, 10));
    ASSERT_EQ(recs.rows.size(), 1u);
    EXPECT_EQ(recs.rows[0].time, "t105");
    ASSERT_EQ(recs.rows[0].blob.size(), 2704u);
    EXPECT_EQ(recs.rows[0].blob[2703], 105);
    const auto events = db.AlarmEventsIn(Filter(7, 105, 110, 10));
    ASSERT_EQ(events.rows.size(), 2u);
    EXPECT_EQ(events.rows[0].alarm_id, "a105");
    EXPECT_FALSE(events.rows[0].active);
    EXPECT_TRUE(events.rows[1].active);
    const auto reports = db.AnalogReportsIn(Filter(8, 0, std::nullopt, 10));
    ASSERT_EQ(reports.rows.size(), 1u);
    EXPECT_EQ(reports.rows[0].value, 110.5);
}

// The reads use the time indexes the runner creates, rather than scanning
// and sorting a table that grows by a row per round.
TEST_F(HistoryDbFilterTest, DeviceRangeReadsUseAnIndex) {
    writer_.reset();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const char* queries[] = {
        "EXPLAIN QUERY PLAN SELECT * FROM history WHERE unix_time >= 1 AND unix_time <= 2"
        " AND data_id = 7 ORDER BY unix_time, id LIMIT 5",
        "EXPLAIN QUERY PLAN SELECT * FROM alarm_events WHERE unix_time >= 1"
        " ORDER BY unix_time, id LIMIT 5",
        "EXPLAIN QUERY PLAN SELECT * FROM analog_reports WHERE unix_time >= 1"
        " ORDER BY unix_time, id LIMIT 5",
    };
    for (const char* q : queries) {
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(raw, q, -1, &s, nullptr), SQLITE_OK) << q;
        std::string plan;
        while (sqlite3_step(s) == SQLITE_ROW)
            plan += std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 3))) + "; ";
        sqlite3_finalize(s);
        EXPECT_NE(plan.find("INDEX q318b_"), std::string::npos) << q << "\n" << plan;
        EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << q << "\n" << plan;
    }
    sqlite3_close(raw);
}

// A reader that has returned holds no snapshot of the file: the writer's
// checkpoint can take the whole WAL back into the database while the
// reader's connection is still open.
TEST_F(HistoryDbFilterTest, AReadLeavesNoSnapshotOpen) {
    HistoryDb reader(path_, HistoryDb::Access::kReadOnly);
    ASSERT_EQ(reader.RecordsIn(Filter(7, 0, std::nullopt, 2)).rows.size(), 2u);
    ASSERT_EQ(reader.AlarmEventsIn(Filter(7, 0, std::nullopt, 2)).rows.size(), 2u);
    ASSERT_EQ(reader.AnalogReportsIn(Filter(7, 0, std::nullopt, 2)).rows.size(), 2u);
    // A row more, then a checkpoint that must not be held back by a reader.
    StoredRecord rec;
    rec.data_id = 7;
    rec.unix_time = 140;
    rec.blob.assign(2704, 1);
    writer_->AddRecord(rec);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
    // The connection learns that the file is in WAL mode from its first read.
    ASSERT_EQ(sqlite3_exec(raw, "SELECT count(*) FROM history", nullptr, nullptr, nullptr),
              SQLITE_OK);
    int log = -1, done = -1;
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(raw, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log, &done),
              SQLITE_OK);
    EXPECT_GT(log, 0);
    EXPECT_EQ(done, log) << "a reader still pins part of the WAL";
    sqlite3_close(raw);
    // And the reader sees the new row on its next read.
    EXPECT_EQ(reader.RecordsIn(Filter(7, 140, std::nullopt, 5)).rows.size(), 1u);
}

}  // namespace
