// q318b-decode as a program against database files of every kind an
// operator may hand it: it prints the runner's records, refuses anything
// else with one line and exit status 2, and in every case leaves the folder
// as it was, byte for byte, with no file added.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/site/history_db.h"
#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kDecode = Q318B_DECODE_PATH;
constexpr size_t kRecordBytes = 2704;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result Decode(const std::vector<std::string>& args, const TempDir& dir) {
    std::vector<std::string> argv = {kDecode};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c(argv, dir.path());
    Result r;
    while (auto line = c.ReadLine(In(20))) r.out += *line + "\n";
    r.status = c.Wait(In(5));
    r.out += c.rest_of_stdout();
    r.err = c.stderr_text();
    return r;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every file in the folder with its bytes; `skip_contents`: names whose
// bytes may change (only their presence counts).
std::map<std::string, std::string> Snapshot(const TempDir& dir,
                                            const std::string& skip_contents = "") {
    std::map<std::string, std::string> out;
    for (const auto& n : dir.Names()) out[n] = n == skip_contents ? "" : Contents(dir / n);
    return out;
}

std::vector<Json::Value> JsonLines(const std::string& text) {
    std::vector<Json::Value> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        Json::CharReaderBuilder b;
        Json::Value v;
        std::string errs;
        std::istringstream one(line);
        EXPECT_TRUE(Json::parseFromStream(b, one, &v, &errs)) << errs << ": " << line;
        out.push_back(v);
    }
    return out;
}

void Sql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

StoredRecord Rec(unsigned data_id, int k, size_t bytes = kRecordBytes) {
    StoredRecord r;
    r.data_id = data_id;
    r.unix_time = 1700000000 + k;
    r.time = "2023-11-14 22:13:2" + std::to_string(k);
    r.type = 5535;
    r.blob.assign(bytes, 0);
    return r;
}

// The runner's file as it is after the runner has ended: WAL mode in its
// header, no -wal or -shm beside it.
void RunnerDb(const TempDir& dir, const std::string& name, const std::vector<StoredRecord>& rows) {
    {
        HistoryDb db(dir / name);
        for (const auto& r : rows) db.AddRecord(r);
    }
    const std::string bytes = Contents(dir / name);
    ASSERT_GT(bytes.size(), 19u);
    ASSERT_EQ(bytes[18], 2) << "the runner's file is in WAL mode";
    ASSERT_FALSE(e2e::FileExists(dir / (name + "-wal")));
}

void ExpectOneLineRefusal(const Result& r, const std::string& name, const std::string& piece) {
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_EQ(r.err.rfind("q318b-decode: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(piece), std::string::npos) << r.err;
}

TEST(DecodeE2E, AnythingButTheRunnersDatabaseIsRefusedAndLeftAsItWas) {
    const struct {
        const char* what;
        std::string name;  // the file given to --db
        std::function<void(const TempDir&, const std::string&)> make;
        std::string piece;  // part of the one line
    } cases[] = {
        {"a mistyped name", "typo.db", [](const TempDir&, const std::string&) {}, "does not exist"},
        {"a text file", "notes.txt",
         [](const TempDir& d, const std::string& n) { d.Write(n, "device 4501 on ttyUSB0\n"); },
         "is not an SQLite database"},
        {"a file of SQLite's length that is not one", "noise.db",
         [](const TempDir& d, const std::string& n) { d.Write(n, std::string(4096, 'x')); },
         "is not an SQLite database"},
        {"an empty file", "empty.db",
         [](const TempDir& d, const std::string& n) { d.Write(n, ""); }, "has no table history"},
        {"a folder", "folder.db",
         [](const TempDir& d, const std::string& n) {
             ASSERT_EQ(::mkdir((d / n).c_str(), 0700), 0);
         },
         "is not a file"},
        {"another program's database", "contacts.db",
         [](const TempDir& d, const std::string& n) {
             Sql(d / n,
                 "CREATE TABLE contacts(name TEXT, phone TEXT);"
                 "INSERT INTO contacts VALUES('site 12', '555-0100');");
         },
         "has no table history"},
        {"a WAL-mode database with a history table of its own", "shell.db",
         [](const TempDir& d, const std::string& n) {
             Sql(d / n,
                 "PRAGMA journal_mode=WAL;"
                 "CREATE TABLE history(id INTEGER PRIMARY KEY, command TEXT, at INTEGER);"
                 "INSERT INTO history(command, at) VALUES('ls', 1700000000);");
         },
         "table history has no column data_id"},
        {"the runner's database with a record of the wrong size", "short.db",
         [](const TempDir& d, const std::string& n) { RunnerDb(d, n, {Rec(7, 1, 10)}); },
         "holds 10 bytes, not a 2704-byte record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        c.make(dir, c.name);
        const auto before = Snapshot(dir);
        const Result r = Decode({"record", "--db", c.name}, dir);
        ExpectOneLineRefusal(r, c.name, c.piece);
        EXPECT_EQ(Snapshot(dir), before) << "the folder changed";
    }
}

TEST(DecodeE2E, ARawRecordFileOfTheWrongSizeIsOneLine) {
    const struct {
        const char* what;
        size_t bytes;  // npos: no file
        std::string piece;
    } cases[] = {
        {"short", 100, "holds 100 bytes, not a 2704-byte record"},
        {"long", kRecordBytes + 1, "holds 2705 bytes"},
        {"empty", 0, "holds 0 bytes"},
        {"missing", std::string::npos, "cannot read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.bytes != std::string::npos) dir.Write("rec.bin", std::string(c.bytes, '\0'));
        const auto before = Snapshot(dir);
        ExpectOneLineRefusal(Decode({"record", "--file", "rec.bin"}, dir), "rec.bin", c.piece);
        EXPECT_EQ(Snapshot(dir), before);
    }
    TempDir dir;
    dir.Write("rec.bin", std::string(kRecordBytes, '\0'));
    const Result ok = Decode({"--compact", "record", "--file", "rec.bin"}, dir);
    EXPECT_EQ(ok.status, 0) << ok.err;
    ASSERT_EQ(JsonLines(ok.out).size(), 1u);
    EXPECT_TRUE(JsonLines(ok.out)[0].isMember("ac")) << ok.out;
}

TEST(DecodeE2E, ASettingsFileItCannotUseIsOneLine) {
    const struct {
        const char* what;
        std::string text;  // empty: no file
        const char* piece;
    } cases[] = {
        {"missing", "", "cannot read settings.json"},
        {"cut short", R"({"appSetting": )", "settings.json is not valid JSON"},
        {"nested beyond the reader's limit", std::string(5000, '[') + std::string(5000, ']'),
         "settings.json is not valid JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (!c.text.empty()) dir.Write("settings.json", c.text);
        ExpectOneLineRefusal(Decode({"replies", "--settings", "settings.json", "4041", "~00"}, dir),
                             "settings.json", c.piece);
    }
}

TEST(DecodeE2E, TheRunnersFileAfterTheRunnerIsReadAndLeftUnchanged) {
    TempDir dir;
    RunnerDb(dir, "history.db", {Rec(7, 1), Rec(8, 2), Rec(7, 3)});
    const auto before = Snapshot(dir);
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> times;  // of the records printed, in order
    } cases[] = {
        {{"--all"}, {"2023-11-14 22:13:21", "2023-11-14 22:13:22", "2023-11-14 22:13:23"}},
        {{}, {"2023-11-14 22:13:23"}},
        {{"--data-id", "8"}, {"2023-11-14 22:13:22"}},
        {{"--id", "1"}, {"2023-11-14 22:13:21"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--compact", "record", "--db", "history.db"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Decode(args, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const auto lines = JsonLines(r.out);
        ASSERT_EQ(lines.size(), c.times.size()) << r.out;
        for (size_t k = 0; k < lines.size(); ++k) {
            EXPECT_EQ(lines[k]["time"].asString(), c.times[k]);
            EXPECT_EQ(lines[k]["type"].asInt(), 5535);
            EXPECT_TRUE(lines[k]["record"].isMember("ac"));
        }
        EXPECT_EQ(Snapshot(dir), before) << "the folder changed";
    }
    ExpectOneLineRefusal(Decode({"record", "--db", "history.db", "--id", "9"}, dir), "history.db",
                         "no record with id 9");
    EXPECT_EQ(Snapshot(dir), before);
}

// While a runner writes, its newest rows are only in the -wal file: a
// reader must see them and must not touch the database or that file.
TEST(DecodeE2E, ARunningRunnersCommittedRowsAreReadWithoutTouchingItsFiles) {
    TempDir dir;
    HistoryDb writer(dir / "history.db");
    writer.AddRecord(Rec(7, 1));
    writer.AddRecord(Rec(7, 2));
    ASSERT_TRUE(e2e::FileExists(dir / "history.db-wal"));
    // The index file is shared memory: readers mark in it what they read.
    const auto before = Snapshot(dir, "history.db-shm");
    const Result r = Decode({"record", "--db", "history.db", "--all"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[1]["time"].asString(), "2023-11-14 22:13:22");
    EXPECT_EQ(Snapshot(dir, "history.db-shm"), before);
    // and the runner goes on writing
    writer.AddRecord(Rec(7, 3));
    EXPECT_EQ(writer.Records().size(), 3u);
}

}  // namespace
