#include "runtime/history_db.h"

#include <gtest/gtest.h>
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

TEST_F(HistoryDbTest, AnUnopenablePathIsAClearError) {
    try {
        HistoryDb db(dir_ + "/no/such/dir/host.db");
        FAIL() << "expected StoreError";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("/no/such/dir/host.db"), std::string::npos);
    }
}

}  // namespace
