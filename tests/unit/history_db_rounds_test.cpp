// The store's inserts are prepared once per file and bound afresh for
// every row: many rounds of every kind of row must read back exactly as
// written, across closing and reopening the file. A round whose COMMIT
// fails must be reported and leave no transaction behind that would take
// in the writes that follow.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/site/history_db.h"

namespace {

class HistoryDbRoundsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-rounds-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/host.db";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string dir_, path_;
};

// Rows whose every column changes from round to round, text and blob
// lengths included (a binding left from the row before would show), and
// whose optional texts are sometimes empty.
StoredRecord RecordOf(unsigned id, int round) {
    StoredRecord r;
    r.data_id = id;
    r.unix_time = 1700000000 + round * 10;
    r.time = "round " + std::to_string(round) + std::string(round % 7, '.');
    r.type = 5535 + round % 3;
    r.blob.assign(2704 + (round % 5) * 3, static_cast<uint8_t>(round * 31 + id));
    r.blob[round % 2704] = static_cast<uint8_t>(id);
    return r;
}

AlarmEventRow AlarmOf(unsigned id, int round) {
    AlarmEventRow e;
    e.data_id = id;
    e.unix_time = 1700000000 + round * 10;
    e.time = "t" + std::to_string(round);
    e.alarm_id = "4194" + std::to_string(round % 13);
    e.key = round % 4 == 0 ? "" : "key" + std::to_string(round);
    e.level = round % 4;
    e.active = round % 2 == 0;
    e.value_text = round % 3 == 0 ? "" : std::to_string(round * 0.5);
    e.alarm_text = round % 5 == 0 ? "市电停电" : "alarm " + std::to_string(round);
    e.ordinal = round % 9;
    return e;
}

AnalogReportRow ReportOf(unsigned id, int round) {
    AnalogReportRow r;
    r.data_id = id;
    r.unix_time = 1700000000 + round * 10;
    r.time = "t" + std::to_string(round);
    r.key = "41911010000" + std::to_string(round % 10);
    r.value = round * 1.25 - 40;
    return r;
}

LinkStatsRow LinkOf(unsigned id, int n) {
    LinkStatsRow r;
    r.data_id = id;
    r.unix_time = 1700000000 + n * 60;
    r.time = "l" + std::to_string(n);
    uint64_t v = static_cast<uint64_t>(n) * 100 + id;
    for (const auto& f : kLinkCountFields) r.counts.*f.member = v++;
    return r;
}

TEST_F(HistoryDbRoundsTest, ManyRoundsOfEveryRowReadBackAsWritten) {
    const unsigned ids[] = {7, 8, 1001};
    std::vector<StoredRecord> records;
    std::vector<AlarmEventRow> alarms;
    std::vector<AnalogReportRow> reports;
    std::vector<LinkStatsRow> links;
    int round = 0;
    // Three openings of the same file: the statements are prepared again
    // on a file that already has rows.
    for (int opening = 0; opening < 3; ++opening) {
        HistoryDb db(path_);
        for (int k = 0; k < 70; ++k, ++round) {
            for (unsigned id : ids) {
                db.Begin();
                records.push_back(RecordOf(id, round));
                db.AddRecord(records.back());
                if ((round + id) % 3 != 0) {
                    alarms.push_back(AlarmOf(id, round));
                    db.AddAlarmEvent(alarms.back());
                }
                for (int r = 0; r < 1 + round % 3; ++r) {
                    reports.push_back(ReportOf(id, round * 3 + r));
                    db.AddAnalogReport(reports.back());
                }
                db.Commit();
            }
            if (round % 10 == 9) {
                std::vector<LinkStatsRow> rows;
                for (unsigned id : ids) rows.push_back(LinkOf(id, round));
                db.AddLinkStats(rows);
                links.insert(links.end(), rows.begin(), rows.end());
            }
        }
        // A round in flight when the file is closed is not stored.
        db.Begin();
        db.AddRecord(RecordOf(7, 9999));
        db.AddAlarmEvent(AlarmOf(7, 9999));
    }

    const HistoryDb db(path_, HistoryDb::Access::kReadOnly);
    const auto got_records = db.Records();
    ASSERT_EQ(got_records.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const auto &a = got_records[i], &b = records[i];
        EXPECT_EQ(a.data_id, b.data_id) << i;
        EXPECT_EQ(a.unix_time, b.unix_time) << i;
        EXPECT_EQ(a.time, b.time) << i;
        EXPECT_EQ(a.type, b.type) << i;
        EXPECT_EQ(a.blob, b.blob) << i;
    }
    const auto got_alarms = db.AlarmEvents();
    ASSERT_EQ(got_alarms.size(), alarms.size());
    for (size_t i = 0; i < alarms.size(); ++i) {
        const auto &a = got_alarms[i], &b = alarms[i];
        EXPECT_EQ(a.data_id, b.data_id) << i;
        EXPECT_EQ(a.unix_time, b.unix_time) << i;
        EXPECT_EQ(a.time, b.time) << i;
        EXPECT_EQ(a.alarm_id, b.alarm_id) << i;
        EXPECT_EQ(a.key, b.key) << i;
        EXPECT_EQ(a.level, b.level) << i;
        EXPECT_EQ(a.active, b.active) << i;
        EXPECT_EQ(a.value_text, b.value_text) << i;
        EXPECT_EQ(a.alarm_text, b.alarm_text) << i;
        EXPECT_EQ(a.ordinal, b.ordinal) << i;
    }
    const auto got_reports = db.AnalogReports();
    ASSERT_EQ(got_reports.size(), reports.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        const auto &a = got_reports[i], &b = reports[i];
        EXPECT_EQ(a.data_id, b.data_id) << i;
        EXPECT_EQ(a.unix_time, b.unix_time) << i;
        EXPECT_EQ(a.time, b.time) << i;
        EXPECT_EQ(a.key, b.key) << i;
        EXPECT_EQ(a.value, b.value) << i;
    }
    const auto got_links = db.LinkStats();
    ASSERT_EQ(got_links.size(), links.size());
    for (size_t i = 0; i < links.size(); ++i) {
        EXPECT_EQ(got_links[i].data_id, links[i].data_id) << i;
        EXPECT_EQ(got_links[i].time, links[i].time) << i;
        for (const auto& f : kLinkCountFields)
            EXPECT_EQ(got_links[i].counts.*f.member, links[i].counts.*f.member) << i << f.name;
    }
}

// A row the file refuses fails its call and leaves the statement ready:
// the round goes on, and the next row goes in with its own values.
TEST_F(HistoryDbRoundsTest, ARefusedRowLeavesTheRestOfTheRoundIntact) {
    { HistoryDb create(path_); }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TRIGGER refuse BEFORE INSERT ON history WHEN NEW.data_id = 666"
                           " BEGIN SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);

    HistoryDb db(path_);
    db.Begin();
    db.AddRecord(RecordOf(7, 1));
    EXPECT_THROW(db.AddRecord(RecordOf(666, 2)), StoreError);
    db.AddRecord(RecordOf(8, 3));
    db.Commit();
    const auto got = db.Records();
    ASSERT_EQ(got.size(), 2u);
    for (const auto& [row, round] : {std::pair<size_t, int>{0, 1}, {1, 3}}) {
        const StoredRecord want = RecordOf(row == 0 ? 7 : 8, round);
        EXPECT_EQ(got[row].data_id, want.data_id);
        EXPECT_EQ(got[row].time, want.time);
        EXPECT_EQ(got[row].type, want.type);
        EXPECT_EQ(got[row].blob, want.blob);
    }
}

// SQLite's default VFS with two changes, made the default while it lives:
// files have no shared-memory methods, so a database cannot be put into
// WAL mode and stays in rollback mode, where another connection's read
// lock keeps a COMMIT from its exclusive lock; and sleeping returns at
// once, so SQLite's busy wait runs out without time passing.
class RollbackModeVfs {
  public:
    RollbackModeVfs() {
        base_ = sqlite3_vfs_find(nullptr);
        vfs_ = *base_;
        vfs_.zName = "q318b-rollback-mode";
        vfs_.xOpen = &Open;
        vfs_.xSleep = [](sqlite3_vfs*, int microseconds) { return microseconds; };
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~RollbackModeVfs() {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(base_, 1);
        base_ = nullptr;
    }
    RollbackModeVfs(const RollbackModeVfs&) = delete;
    RollbackModeVfs& operator=(const RollbackModeVfs&) = delete;

  private:
    static int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        // The file is the base VFS's own, with its methods less the
        // shared-memory ones.
        const int rc = base_->xOpen(base_, name, file, flags, out);
        if (rc != SQLITE_OK || file->pMethods == nullptr) return rc;
        auto& copy = methods_[file->pMethods];
        if (!copy) {
            copy = std::make_unique<sqlite3_io_methods>(*file->pMethods);
            copy->iVersion = 1;
        }
        file->pMethods = copy.get();
        return rc;
    }

    static sqlite3_vfs* base_;
    static std::map<const sqlite3_io_methods*, std::unique_ptr<sqlite3_io_methods>> methods_;
    sqlite3_vfs vfs_;
};
sqlite3_vfs* RollbackModeVfs::base_ = nullptr;
std::map<const sqlite3_io_methods*, std::unique_ptr<sqlite3_io_methods>> RollbackModeVfs::methods_;

void Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "") << sql;
}

// The blobs' first bytes of the stored records, as another program sees
// the file.
std::vector<int> StoredFills(const std::string& path) {
    sqlite3* raw = nullptr;
    std::vector<int> out;
    EXPECT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(raw, "SELECT record FROM history ORDER BY id", -1, &s, nullptr),
              SQLITE_OK);
    while (sqlite3_step(s) == SQLITE_ROW)
        out.push_back(static_cast<const uint8_t*>(sqlite3_column_blob(s, 0))[0]);
    sqlite3_finalize(s);
    sqlite3_close(raw);
    return out;
}

TEST_F(HistoryDbRoundsTest, ACommitThatFailsIsReportedAndLeavesNoTransactionOpen) {
    RollbackModeVfs vfs;
    HistoryDb db(path_);
    const auto rec = [](uint8_t fill) {
        StoredRecord r = RecordOf(7, 1);
        r.blob.assign(2704, fill);
        return r;
    };
    db.Begin();
    db.AddRecord(rec(0xA1));
    db.Commit();

    // A reader's transaction holds its lock through the round's COMMIT.
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &reader), SQLITE_OK);
    Exec(reader, "BEGIN; SELECT count(*) FROM history;");
    db.Begin();
    db.AddRecord(rec(0xB2));
    db.AddAlarmEvent(AlarmOf(7, 1));
    EXPECT_THROW(db.Commit(), StoreError);
    EXPECT_FALSE(db.InTransaction());
    Exec(reader, "COMMIT");
    sqlite3_close(reader);

    // What is written next is stored as the calls say: a row outside a
    // round at once, a round at its Commit. The failed round is not.
    db.AddRecord(rec(0xC3));
    EXPECT_EQ(StoredFills(path_), (std::vector<int>{0xA1, 0xC3}));
    db.Begin();
    db.AddRecord(rec(0xD4));
    db.Commit();
    EXPECT_EQ(StoredFills(path_), (std::vector<int>{0xA1, 0xC3, 0xD4}));
    EXPECT_TRUE(db.AlarmEvents().empty());
}

}  // namespace
