#include "runtime/history_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

class HistoryDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-db-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/host.db";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    StoredRecord Rec(unsigned id, uint8_t fill) {
        StoredRecord r;
        r.data_id = id;
        r.unix_time = 1700000000;
        r.time = "2023-11-14 22:13:20";
        r.type = 5535;
        r.blob.assign(2704, fill);
        return r;
    }

    std::string dir_, path_;
};

TEST_F(HistoryDbTest, CommittedRoundsSurviveAndAnOpenRoundIsDropped) {
    {
        HistoryDb db(path_);
        db.Begin();
        db.AddRecord(Rec(7, 0xA1));
        AlarmEventRow e;
        e.data_id = 7;
        e.alarm_id = "120600180010";
        e.key = "120600180010";
        e.level = 1;
        e.active = true;
        e.alarm_text = "通信异常";
        db.AddAlarmEvent(e);
        db.Commit();

        db.Begin();
        db.AddRecord(Rec(7, 0xB2));  // a round that never completes
    }
    HistoryDb again(path_);
    auto recs = again.Records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].blob.size(), 2704u);
    EXPECT_EQ(recs[0].blob[100], 0xA1);
    EXPECT_EQ(recs[0].type, 5535);
    auto events = again.AlarmEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].alarm_text, "通信异常");
    EXPECT_TRUE(events[0].active);
}

TEST_F(HistoryDbTest, WritesOutsideARoundAreCommittedOneByOne) {
    {
        HistoryDb db(path_);
        AnalogReportRow r;
        r.data_id = 9;
        r.key = "419110100001";
        r.value = 230.5;
        db.AddAnalogReport(r);
        db.AddRecord(Rec(9, 1));
        db.AddRecord(Rec(10, 2));
    }
    HistoryDb again(path_);
    ASSERT_EQ(again.AnalogReports().size(), 1u);
    EXPECT_DOUBLE_EQ(again.AnalogReports()[0].value, 230.5);
    EXPECT_EQ(again.Records().size(), 2u);
    EXPECT_EQ(again.Records(10).size(), 1u);
    StoredRecord one;
    ASSERT_TRUE(again.RecordById(again.Records(10)[0].id, one));
    EXPECT_EQ(one.data_id, 10u);
    EXPECT_FALSE(again.RecordById(9999, one));
}

// Every counter a value of its own, so a column read into the wrong member
// shows.
LinkStatsRow LinkRow(unsigned id, int64_t t, uint64_t base) {
    LinkStatsRow r;
    r.data_id = id;
    r.unix_time = t;
    r.time = "2023-11-14 22:13:20";
    uint64_t v = base;
    for (const auto& f : kLinkCountFields) r.counts.*f.member = v++;
    return r;
}

TEST_F(HistoryDbTest, LinkStatsRowsReadBackColumnByColumn) {
    const std::vector<LinkStatsRow> written = {
        LinkRow(7, 1700000000, 100), LinkRow(8, 1700000000, 200), LinkRow(7, 1700000060, 300)};
    {
        HistoryDb db(path_);
        db.AddLinkStats({written[0], written[1]});
        db.AddLinkStats({written[2]});
    }
    HistoryDb again(path_);
    const struct {
        unsigned data_id;
        std::vector<size_t> want;  // indexes into `written`, in order
    } cases[] = {{0, {0, 1, 2}}, {7, {0, 2}}, {8, {1}}, {9, {}}};
    for (const auto& c : cases) {
        const auto got = again.LinkStats(c.data_id);
        ASSERT_EQ(got.size(), c.want.size()) << "data id " << c.data_id;
        for (size_t k = 0; k < got.size(); ++k) {
            const LinkStatsRow& w = written[c.want[k]];
            EXPECT_EQ(got[k].data_id, w.data_id);
            EXPECT_EQ(got[k].unix_time, w.unix_time);
            EXPECT_EQ(got[k].time, w.time);
            for (const auto& f : kLinkCountFields)
                EXPECT_EQ(got[k].counts.*f.member, w.counts.*f.member)
                    << f.name << ", data id " << c.data_id << ", row " << k;
        }
    }
}

TEST_F(HistoryDbTest, LinkStatsNeverJoinAnOpenRound) {
    {
        HistoryDb db(path_);
        db.Begin();
        db.AddRecord(Rec(7, 0xA1));
        EXPECT_THROW(db.AddLinkStats({LinkRow(7, 1700000000, 1)}), StoreError);
        EXPECT_TRUE(db.InTransaction()) << "the round stays open";
        db.Commit();
        db.AddLinkStats({LinkRow(7, 1700000060, 1)});
        db.Begin();
        db.AddRecord(Rec(7, 0xB2));  // rolled back at the end: never completed
    }
    HistoryDb again(path_);
    EXPECT_EQ(again.Records().size(), 1u);
    const auto rows = again.LinkStats();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].unix_time, 1700000060);
}

TEST_F(HistoryDbTest, AnOlderFileGainsTheLinkStatsTableAndKeepsItsRows) {
    {
        // The store as it was before link statistics.
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
        const char* old_schema =
            "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL,"
            " unix_time INTEGER NOT NULL, time TEXT NOT NULL, type INTEGER NOT NULL,"
            " record BLOB NOT NULL);"
            "INSERT INTO history(data_id, unix_time, time, type, record)"
            " VALUES(7, 1600000000, '2020-09-13 12:26:40', 5535, zeroblob(2704));";
        ASSERT_EQ(sqlite3_exec(raw, old_schema, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
    }
    {
        HistoryDb db(path_);
        EXPECT_TRUE(db.LinkStats().empty());
        db.AddLinkStats({LinkRow(7, 1700000000, 5)});
    }
    HistoryDb again(path_);
    ASSERT_EQ(again.Records().size(), 1u);
    EXPECT_EQ(again.Records()[0].unix_time, 1600000000);
    ASSERT_EQ(again.LinkStats().size(), 1u);
    EXPECT_EQ(again.LinkStats()[0].counts.commands, 5u);
}

TEST_F(HistoryDbTest, AnUnopenablePathIsAClearError) {
    try {
        HistoryDb db(dir_ + "/no/such/dir/host.db");
        FAIL() << "expected StoreError";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("/no/such/dir/host.db"), std::string::npos);
    }
}

}  // namespace
