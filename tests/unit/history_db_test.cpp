#include "runtime/site/history_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Runs `sql` on `path` with SQLite alone, as another program would.
void Sql(const std::string& path, const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
        << (err ? err : "") << "\n"
        << sql;
    sqlite3_free(err);
    sqlite3_close(raw);
}

// The runner's tables as this version creates them, with `table` replaced.
std::string RunnerSchemaWith(const std::string& table, const std::string& create) {
    const std::string counters =
        "commands, good, timeouts, bad_checksum, bad_lchksum, rtn_errors, foreign_address,"
        " wrong_unit, other_damage, echoes, late_replies, drained_bytes, retries, abandoned,"
        " polls, resets, settles";
    const struct {
        const char* name;
        std::string create;
    } tables[] = {
        {"history",
         "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL,"
         " unix_time INTEGER NOT NULL, time TEXT NOT NULL, type INTEGER NOT NULL,"
         " record BLOB NOT NULL)"},
        {"alarm_events",
         "CREATE TABLE alarm_events (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL,"
         " unix_time INTEGER NOT NULL, time TEXT NOT NULL, alarm_id TEXT NOT NULL,"
         " key TEXT NOT NULL, level INTEGER NOT NULL, active INTEGER NOT NULL,"
         " value_text TEXT NOT NULL, alarm_text TEXT NOT NULL, ordinal INTEGER NOT NULL)"},
        {"analog_reports",
         "CREATE TABLE analog_reports (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL,"
         " unix_time INTEGER NOT NULL, time TEXT NOT NULL, key TEXT NOT NULL,"
         " value REAL NOT NULL)"},
        {"link_stats",
         "CREATE TABLE link_stats (id INTEGER PRIMARY KEY, data_id INTEGER,"
         " unix_time INTEGER, time TEXT, " +
             counters + ")"},
    };
    std::string sql;
    for (const auto& t : tables) {
        const std::string& c = t.name == table ? create : t.create;
        if (!c.empty()) sql += c + ";";
    }
    return sql;
}

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

// A file the runner cannot write to is refused before anything in it is
// created or converted; one it can write to is opened as before.
TEST_F(HistoryDbTest, AnExistingFileIsCheckedBeforeTheRunnerWritesToIt) {
    const struct {
        const char* what;
        std::function<void(const std::string&)> make;
        const char* problem;  // a piece of the message; "" for a usable file
    } cases[] = {
        {"no file yet", [](const std::string&) {}, ""},
        {"an empty file", [](const std::string& p) { std::ofstream(p).flush(); }, ""},
        {"this version's file", [](const std::string& p) { Sql(p, RunnerSchemaWith("", "")); }, ""},
        {"a file from before link statistics",
         [](const std::string& p) { Sql(p, RunnerSchemaWith("link_stats", "")); }, ""},
        {"another program's tables beside the runner's",
         [](const std::string& p) {
             Sql(p, RunnerSchemaWith("", "") + "CREATE TABLE notes(text TEXT NOT NULL)");
         },
         ""},
        {"an extra column the runner can leave to its default",
         [](const std::string& p) {
             Sql(p, RunnerSchemaWith("analog_reports",
                                     "CREATE TABLE analog_reports (id INTEGER PRIMARY KEY,"
                                     " data_id INTEGER, unix_time INTEGER, time TEXT, key TEXT,"
                                     " value REAL, unit TEXT NOT NULL DEFAULT 'V')"));
         },
         ""},
        {"not SQLite", [](const std::string& p) { std::ofstream(p) << "data_id,time\n7,12:00\n"; },
         "is not an SQLite database"},
        {"a page of noise",
         [](const std::string& p) { std::ofstream(p) << std::string(4096, '\x5a'); },
         "is not an SQLite database"},
        {"the history table without a column",
         [](const std::string& p) {
             Sql(p, RunnerSchemaWith("history",
                                     "CREATE TABLE history (id INTEGER PRIMARY KEY,"
                                     " data_id INTEGER, unix_time INTEGER, time TEXT,"
                                     " type INTEGER)"));
         },
         "table history has no column record"},
        {"a history table of other columns",
         [](const std::string& p) {
             Sql(p,
                 "CREATE TABLE history (id INTEGER PRIMARY KEY, command TEXT, at INTEGER);"
                 "INSERT INTO history(command, at) VALUES('ls', 1)");
         },
         "table history has no column data_id"},
        {"alarm events without their ordinal",
         [](const std::string& p) {
             Sql(p, RunnerSchemaWith("alarm_events",
                                     "CREATE TABLE alarm_events (id INTEGER PRIMARY KEY,"
                                     " data_id, unix_time, time, alarm_id, key, level, active,"
                                     " value_text, alarm_text)"));
         },
         "table alarm_events has no column ordinal"},
        {"link statistics without a counter",
         [](const std::string& p) {
             Sql(p, RunnerSchemaWith("link_stats",
                                     "CREATE TABLE link_stats (id INTEGER PRIMARY KEY, data_id,"
                                     " unix_time, time, commands, good)"));
         },
         "table link_stats has no column timeouts"},
        {"a column the runner would leave without a value",
         [](const std::string& p) {
             Sql(p, RunnerSchemaWith("analog_reports",
                                     "CREATE TABLE analog_reports (id INTEGER PRIMARY KEY,"
                                     " data_id INTEGER, unix_time INTEGER, time TEXT, key TEXT,"
                                     " value REAL, unit TEXT NOT NULL)"));
         },
         "table analog_reports column unit is NOT NULL without a default"},
        {"history as a view",
         [](const std::string& p) {
             Sql(p,
                 "CREATE TABLE h(id INTEGER PRIMARY KEY, data_id, unix_time, time, type,"
                 " record); CREATE VIEW history AS SELECT * FROM h");
         },
         "history is a view, not a table"},
        {"a folder", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); },
         "is not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::system(("rm -rf " + path_ + "*").c_str());
        c.make(path_);
        const bool existed = Exists(path_);
        const std::string before = Contents(path_);

        const std::string problem = HistoryDb::CheckExisting(path_);
        EXPECT_EQ(Exists(path_), existed);
        EXPECT_EQ(Contents(path_), before) << "the check changed the file";
        EXPECT_FALSE(Exists(path_ + "-wal") || Exists(path_ + "-shm") ||
                     Exists(path_ + "-journal"));
        if (*c.problem == '\0') {
            EXPECT_EQ(problem, "");
            HistoryDb db(path_);
            db.AddRecord(Rec(7, 1));
            db.AddLinkStats({LinkRow(7, 1700000000, 1)});
            EXPECT_EQ(db.Records().size(), 1u);
            continue;
        }
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        EXPECT_NE(problem.find(path_), std::string::npos) << problem;
        EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
        try {
            HistoryDb db(path_);
            ADD_FAILURE() << "opened for writing";
        } catch (const StoreError& e) {
            EXPECT_EQ(std::string(e.what()), problem);
        }
        EXPECT_EQ(Contents(path_), before) << "the refusal changed the file";
        EXPECT_FALSE(Exists(path_ + "-wal") || Exists(path_ + "-shm"));
    }
}

TEST_F(HistoryDbTest, ReadOnlyReadsAnOlderFileAndWritesNothing) {
    Sql(path_, RunnerSchemaWith("link_stats", "") +
                   "INSERT INTO history(data_id, unix_time, time, type, record)"
                   " VALUES(7, 1600000000, '2020-09-13 12:26:40', 5535, zeroblob(2704));");
    const std::string before = Contents(path_);
    {
        HistoryDb db(path_, HistoryDb::Access::kReadOnly);
        ASSERT_EQ(db.Records().size(), 1u);
        EXPECT_EQ(db.Records()[0].unix_time, 1600000000);
        EXPECT_TRUE(db.LinkStats().empty()) << "a table the file lacks reads as empty";
        EXPECT_TRUE(db.AlarmEvents().empty());
        EXPECT_THROW(db.AddRecord(Rec(7, 1)), StoreError);
        EXPECT_THROW(db.AddLinkStats({LinkRow(7, 1700000000, 1)}), StoreError);
        EXPECT_THROW(db.Begin(), StoreError);
    }
    EXPECT_EQ(Contents(path_), before);
    EXPECT_FALSE(Exists(path_ + "-wal") || Exists(path_ + "-shm") || Exists(path_ + "-journal"));

    const struct {
        const char* what;
        std::string file;
        const char* problem;
    } refused[] = {
        {"missing", dir_ + "/typo.db", "does not exist"},
        {"no history table", dir_ + "/other.db", "has no table history"},
    };
    Sql(dir_ + "/other.db", "CREATE TABLE t(x)");
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        try {
            HistoryDb db(r.file, HistoryDb::Access::kReadOnly);
            ADD_FAILURE() << "opened";
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(r.problem), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(Exists(dir_ + "/typo.db"));
}

}  // namespace
