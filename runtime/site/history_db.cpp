#include "runtime/site/history_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace {

struct Stmt {
    sqlite3_stmt* s;
    ~Stmt() { sqlite3_finalize(s); }
};

std::string Text(sqlite3_stmt* s, int col) {
    const unsigned char* t = sqlite3_column_text(s, col);
    return t ? reinterpret_cast<const char*>(t) : "";
}

constexpr const char* kRecordColumns =
    "SELECT id, data_id, unix_time, time, type, record FROM history";

StoredRecord ReadRecord(sqlite3_stmt* s) {
    StoredRecord r;
    r.id = sqlite3_column_int64(s, 0);
    r.data_id = static_cast<unsigned>(sqlite3_column_int64(s, 1));
    r.unix_time = sqlite3_column_int64(s, 2);
    r.time = Text(s, 3);
    r.type = sqlite3_column_int(s, 4);
    const auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(s, 5));
    if (b != nullptr) r.blob.assign(b, b + sqlite3_column_bytes(s, 5));
    return r;
}

constexpr const char* kAlarmEventColumns =
    "SELECT data_id, unix_time, time, alarm_id, key, level, active, value_text, alarm_text,"
    " ordinal FROM alarm_events";

AlarmEventRow ReadAlarmEvent(sqlite3_stmt* s) {
    AlarmEventRow e;
    e.data_id = static_cast<unsigned>(sqlite3_column_int64(s, 0));
    e.unix_time = sqlite3_column_int64(s, 1);
    e.time = Text(s, 2);
    e.alarm_id = Text(s, 3);
    e.key = Text(s, 4);
    e.level = sqlite3_column_int(s, 5);
    e.active = sqlite3_column_int(s, 6) != 0;
    e.value_text = Text(s, 7);
    e.alarm_text = Text(s, 8);
    e.ordinal = sqlite3_column_int(s, 9);
    return e;
}

constexpr const char* kAnalogReportColumns =
    "SELECT data_id, unix_time, time, key, value FROM analog_reports";

AnalogReportRow ReadAnalogReport(sqlite3_stmt* s) {
    AnalogReportRow r;
    r.data_id = static_cast<unsigned>(sqlite3_column_int64(s, 0));
    r.unix_time = sqlite3_column_int64(s, 1);
    r.time = Text(s, 2);
    r.key = Text(s, 3);
    r.value = sqlite3_column_double(s, 4);
    return r;
}

// The rest of a filtered read after its SELECT. Conditions are added only
// when given, so that SQLite can use the time indexes; one row more than
// the limit is asked for to learn whether the page is complete.
std::string FilterSql(const RowFilter& f) {
    std::string sql = " WHERE unix_time >= ?1";
    if (f.until) sql += " AND unix_time <= ?2";
    if (f.data_id) sql += " AND data_id = ?3";
    return sql + " ORDER BY unix_time, id LIMIT ?4";
}

int64_t PageLimit(const RowFilter& f) {
    return std::min<int64_t>(std::max<int64_t>(f.limit, 0), INT64_MAX - 1);
}

void BindFilter(sqlite3_stmt* s, const RowFilter& f) {
    sqlite3_bind_double(s, 1, f.since);
    if (f.until) sqlite3_bind_double(s, 2, *f.until);
    if (f.data_id) sqlite3_bind_int64(s, 3, *f.data_id);
    sqlite3_bind_int64(s, 4, PageLimit(f) + 1);
}

template <typename Row>
void TrimPage(RowPage<Row>* page, const RowFilter& f) {
    const auto limit = static_cast<size_t>(PageLimit(f));
    if (page->rows.size() <= limit) return;
    page->rows.resize(limit);
    page->truncated = true;
}

// Time-range reads of the API, and the retention's search for the oldest
// rows of every table. A file from an earlier version gains them when the
// runner opens it; a reader of a file without them only reads more slowly.
constexpr const char* kIndexes[] = {
    "CREATE INDEX IF NOT EXISTS q318b_history_device_time ON history(data_id, unix_time)",
    "CREATE INDEX IF NOT EXISTS q318b_history_time ON history(unix_time)",
    "CREATE INDEX IF NOT EXISTS q318b_alarm_events_time ON alarm_events(unix_time)",
    "CREATE INDEX IF NOT EXISTS q318b_analog_reports_time ON analog_reports(unix_time)",
    "CREATE INDEX IF NOT EXISTS q318b_link_stats_time ON link_stats(unix_time)",
};

// The counter columns, comma-separated, each with `suffix`.
std::string LinkCountColumns(const char* suffix) {
    std::string out;
    for (const auto& f : kLinkCountFields) {
        if (!out.empty()) out += ", ";
        out += f.name;
        out += suffix;
    }
    return out;
}

constexpr const char* kInsertRecord =
    "INSERT INTO history(data_id, unix_time, time, type, record) VALUES(?,?,?,?,?)";
constexpr const char* kInsertAlarmEvent =
    "INSERT INTO alarm_events(data_id, unix_time, time, alarm_id, key, level, active,"
    " value_text, alarm_text, ordinal) VALUES(?,?,?,?,?,?,?,?,?,?)";
constexpr const char* kInsertAnalogReport =
    "INSERT INTO analog_reports(data_id, unix_time, time, key, value) VALUES(?,?,?,?,?)";

std::string InsertLinkStatsSql() {
    std::string sql = "INSERT INTO link_stats(data_id, unix_time, time, " + LinkCountColumns("") +
                      ") VALUES(?,?,?";
    for (int k = 0; k < kLinkCountFieldCount; ++k) sql += ",?";
    return sql + ")";
}

// A table the runner writes and the columns it writes there (each after
// `id INTEGER PRIMARY KEY`). Creating the tables and checking an existing
// file both read this list, so they cannot disagree.
struct Column {
    std::string name;
    std::string type;
};
struct TableSpec {
    std::string name;
    std::vector<Column> columns;
};

const std::vector<TableSpec>& RunnerTables() {
    static const std::vector<TableSpec> tables = [] {
        const std::vector<Column> stamp = {
            {"data_id", "INTEGER"}, {"unix_time", "INTEGER"}, {"time", "TEXT"}};
        const auto with_stamp = [&](std::vector<Column> rest) {
            std::vector<Column> c = stamp;
            c.insert(c.end(), rest.begin(), rest.end());
            return c;
        };
        std::vector<Column> counters;
        for (const auto& f : kLinkCountFields) counters.push_back({f.name, "INTEGER"});
        return std::vector<TableSpec>{
            {"history", with_stamp({{"type", "INTEGER"}, {"record", "BLOB"}})},
            {"alarm_events", with_stamp({{"alarm_id", "TEXT"},
                                         {"key", "TEXT"},
                                         {"level", "INTEGER"},
                                         {"active", "INTEGER"},
                                         {"value_text", "TEXT"},
                                         {"alarm_text", "TEXT"},
                                         {"ordinal", "INTEGER"}})},
            {"analog_reports", with_stamp({{"key", "TEXT"}, {"value", "REAL"}})},
            {"link_stats", with_stamp(counters)},
        };
    }();
    return tables;
}

std::string CreateSql(const TableSpec& t) {
    std::string sql = "CREATE TABLE IF NOT EXISTS " + t.name + " (id INTEGER PRIMARY KEY";
    for (const auto& c : t.columns) sql += ", " + c.name + " " + c.type + " NOT NULL";
    return sql + ")";
}

std::string Lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

bool FileExists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

// `path` as an SQLite URI filename, so that query parameters can follow.
std::string FileUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = path.size() > 0 && path[0] == '/' ? "file://" : "file:";
    for (unsigned char ch : path) {
        if (std::isalnum(ch) || std::strchr("-._~/", ch) != nullptr) {
            uri += static_cast<char>(ch);
        } else {
            uri += '%';
            uri += kHex[ch >> 4];
            uri += kHex[ch & 15];
        }
    }
    return uri;
}

// Opens an existing file for reading so that nothing on disk changes. A
// read-only connection to a WAL-mode file creates its -wal and -shm and
// leaves them behind. Without a -wal file no connection has the database
// open and every committed page is in the main file, which can then be
// read as immutable: no locks, no side files. With a -wal file a runner is
// writing (or was killed) and its newest rows live there, so the file is
// read through the WAL like any reader does; the side files already exist.
std::string OpenReadOnly(const std::string& path, sqlite3** out) {
    *out = nullptr;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return "database " + path + " does not exist";
        return "cannot open database " + path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) return "database " + path + " is not a file";
    char header[100] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read database " + path + ": " + std::strerror(errno);
    in.read(header, sizeof header);
    const auto got = static_cast<size_t>(in.gcount());
    // An empty file is an empty database to SQLite.
    static const char kMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
    if (got > 0 && (got < sizeof kMagic || std::memcmp(header, kMagic, sizeof kMagic) != 0))
        return "database " + path + " is not an SQLite database";
    // Bytes 18 and 19: the write and read format versions, 2 for WAL.
    const bool wal_mode = got >= 20 && (header[18] == 2 || header[19] == 2);
    std::string uri = FileUri(path) + "?mode=ro";
    if (wal_mode && !FileExists(path + "-wal")) uri += "&immutable=1";
    if (sqlite3_open_v2(uri.c_str(), out, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
        SQLITE_OK) {
        std::string why = *out ? sqlite3_errmsg(*out) : "out of memory";
        sqlite3_close(*out);
        *out = nullptr;
        return "cannot open database " + path + ": " + why;
    }
    sqlite3_busy_timeout(*out, 2000);  // a rollback-mode writer may hold its lock
    return "";
}

std::string ReadProblem(sqlite3* db, int rc, const std::string& path) {
    if (rc == SQLITE_NOTADB) return "database " + path + " is not an SQLite database";
    return "cannot read database " + path + ": " + sqlite3_errmsg(db);
}

// Whether each of the runner's tables that `db` has carries the columns
// the runner writes and reads, and no column the runner's inserts would
// leave without a value. `need_history`: the history table must be there.
// `present` gets the runner's tables found.
std::string CheckTables(sqlite3* db, const std::string& path, bool need_history,
                        std::vector<std::string>* present) {
    for (const auto& t : RunnerTables()) {
        sqlite3_stmt* raw = nullptr;
        int rc = sqlite3_prepare_v2(
            db, "SELECT type FROM sqlite_master WHERE name = ?1 COLLATE NOCASE", -1, &raw, nullptr);
        Stmt kind{raw};
        if (rc != SQLITE_OK) return ReadProblem(db, rc, path);
        sqlite3_bind_text(kind.s, 1, t.name.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(kind.s);
        if (rc == SQLITE_DONE) {
            if (need_history && t.name == "history")
                return "database " + path + " has no table history: not a q318b-host database";
            continue;
        }
        if (rc != SQLITE_ROW) return ReadProblem(db, rc, path);
        if (Text(kind.s, 0) != "table")
            return "database " + path + ": " + t.name + " is a " + Text(kind.s, 0) +
                   ", not a table";

        rc = sqlite3_prepare_v2(db,
                                "SELECT name, \"notnull\", dflt_value IS NULL, pk"
                                " FROM pragma_table_info(?1)",
                                -1, &raw, nullptr);
        Stmt cols{raw};
        if (rc != SQLITE_OK) return ReadProblem(db, rc, path);
        sqlite3_bind_text(cols.s, 1, t.name.c_str(), -1, SQLITE_TRANSIENT);
        std::vector<std::string> have;
        while ((rc = sqlite3_step(cols.s)) == SQLITE_ROW) {
            const std::string name = Lower(Text(cols.s, 0));
            have.push_back(name);
            const bool written =
                name == "id" || std::any_of(t.columns.begin(), t.columns.end(),
                                            [&](const Column& c) { return c.name == name; });
            const bool must_be_given = sqlite3_column_int(cols.s, 1) != 0 &&
                                       sqlite3_column_int(cols.s, 2) != 0 &&
                                       sqlite3_column_int(cols.s, 3) == 0;
            if (!written && must_be_given)
                return "database " + path + ": table " + t.name + " column " + Text(cols.s, 0) +
                       " is NOT NULL without a default, and the runner does not write it";
        }
        if (rc != SQLITE_DONE) return ReadProblem(db, rc, path);
        const auto missing = [&](const std::string& c) {
            return std::find(have.begin(), have.end(), c) == have.end();
        };
        if (missing("id")) return "database " + path + ": table " + t.name + " has no column id";
        for (const auto& c : t.columns)
            if (missing(c.name))
                return "database " + path + ": table " + t.name + " has no column " + c.name;
        if (present) present->push_back(t.name);
    }
    return "";
}

}  // namespace

HistoryDb::HistoryDb(const std::string& path, Access access)
    : path_(path), read_only_(access == Access::kReadOnly) {
    if (read_only_) {
        std::string problem = OpenReadOnly(path, &db_);
        if (problem.empty()) problem = CheckTables(db_, path, true, &tables_);
        if (!problem.empty()) {
            sqlite3_close(db_);
            db_ = nullptr;
            throw StoreError(problem);
        }
        return;
    }
    // Before anything is created or converted: a file the runner cannot
    // write to is refused while it is still as it was.
    const std::string problem = CheckExisting(path);
    if (!problem.empty()) throw StoreError(problem);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open database " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        // Lets the retention give deleted rows' pages back to the disk. It
        // takes effect only in a file without tables yet; an older file
        // stays as it is (its free pages are reused, it stops growing)
        // rather than being rewritten whole by a VACUUM at the start.
        Exec("PRAGMA auto_vacuum=INCREMENTAL");
        // WAL keeps readers (q318b-decode) working while the runner writes,
        // and a crash can only lose the uncommitted round.
        Exec("PRAGMA journal_mode=WAL");
        // A checkpoint held back by a long read lets the -wal file grow;
        // the next one that completes cuts it back to this.
        Exec("PRAGMA journal_size_limit=67108864");
        Exec("PRAGMA synchronous=NORMAL");
        // A file from before link statistics gains that table here.
        for (const auto& t : RunnerTables()) Exec(CreateSql(t).c_str());
        for (const char* sql : kIndexes) Exec(sql);
        insert_record_ = Prepare(kInsertRecord);
        insert_alarm_event_ = Prepare(kInsertAlarmEvent);
        insert_analog_report_ = Prepare(kInsertAnalogReport);
        insert_link_stats_ = Prepare(InsertLinkStatsSql().c_str());
    } catch (...) {
        FinalizeInserts();
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

std::string HistoryDb::CheckExisting(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return "";
    sqlite3* db = nullptr;
    std::string problem = OpenReadOnly(path, &db);
    if (problem.empty()) problem = CheckTables(db, path, false, nullptr);
    sqlite3_close(db);
    return problem;
}

HistoryDb::~HistoryDb() {
    if (db_ == nullptr) return;
    FinalizeInserts();
    // An open round is not committed: it was not completed.
    if (in_tx_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
}

void HistoryDb::FinalizeInserts() {
    for (sqlite3_stmt** s :
         {&insert_record_, &insert_alarm_event_, &insert_analog_report_, &insert_link_stats_}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
}

void HistoryDb::Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        throw StoreError(path_ + ": " + why);
    }
}

sqlite3_stmt* HistoryDb::Prepare(const char* sql) const {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK)
        throw StoreError(path_ + ": " + sqlite3_errmsg(db_));
    return s;
}

void HistoryDb::Insert(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    // The message first: resetting a statement that failed can change it.
    const std::string why = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db_);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE) throw StoreError(path_ + ": " + why);
}

bool HistoryDb::Next(sqlite3_stmt* s) const {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(path_ + ": " + sqlite3_errmsg(db_));
}

void HistoryDb::RequireWritable() const {
    if (read_only_) throw StoreError(path_ + ": opened read-only");
}

bool HistoryDb::Has(const char* table) const {
    return !read_only_ || std::find(tables_.begin(), tables_.end(), table) != tables_.end();
}

void HistoryDb::Begin() {
    RequireWritable();
    if (in_tx_) return;
    Exec("BEGIN");
    in_tx_ = true;
}

void HistoryDb::Commit() {
    if (!in_tx_) return;
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        in_tx_ = false;
        return;
    }
    const std::string why = sqlite3_errmsg(db_);
    // A COMMIT that failed may leave the transaction open (SQLite does so
    // for SQLITE_BUSY). Kept open, it would take in every later write,
    // each reported as stored, and lose them all at the close; so the
    // round is undone, as a host killed in the middle of it would lose it.
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    in_tx_ = false;
    throw StoreError(path_ + ": " + why);
}

void HistoryDb::AddRecord(const StoredRecord& r) {
    RequireWritable();
    sqlite3_stmt* s = insert_record_;
    sqlite3_bind_int64(s, 1, r.data_id);
    sqlite3_bind_int64(s, 2, r.unix_time);
    sqlite3_bind_text(s, 3, r.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 4, r.type);
    sqlite3_bind_blob(s, 5, r.blob.data(), static_cast<int>(r.blob.size()), SQLITE_TRANSIENT);
    Insert(s);
}

void HistoryDb::AddAlarmEvent(const AlarmEventRow& e) {
    RequireWritable();
    sqlite3_stmt* s = insert_alarm_event_;
    sqlite3_bind_int64(s, 1, e.data_id);
    sqlite3_bind_int64(s, 2, e.unix_time);
    sqlite3_bind_text(s, 3, e.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 4, e.alarm_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 5, e.key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 6, e.level);
    sqlite3_bind_int(s, 7, e.active ? 1 : 0);
    sqlite3_bind_text(s, 8, e.value_text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 9, e.alarm_text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 10, e.ordinal);
    Insert(s);
}

void HistoryDb::AddAnalogReport(const AnalogReportRow& r) {
    RequireWritable();
    sqlite3_stmt* s = insert_analog_report_;
    sqlite3_bind_int64(s, 1, r.data_id);
    sqlite3_bind_int64(s, 2, r.unix_time);
    sqlite3_bind_text(s, 3, r.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 4, r.key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(s, 5, r.value);
    Insert(s);
}

void HistoryDb::AddLinkStats(const std::vector<LinkStatsRow>& rows) {
    RequireWritable();
    if (in_tx_) throw StoreError(path_ + ": link statistics written inside an open round");
    Exec("BEGIN");
    try {
        sqlite3_stmt* s = insert_link_stats_;
        for (const auto& r : rows) {
            sqlite3_bind_int64(s, 1, r.data_id);
            sqlite3_bind_int64(s, 2, r.unix_time);
            sqlite3_bind_text(s, 3, r.time.c_str(), -1, SQLITE_TRANSIENT);
            int col = 4;
            for (const auto& f : kLinkCountFields)
                sqlite3_bind_int64(s, col++, static_cast<sqlite3_int64>(r.counts.*f.member));
            Insert(s);
        }
        Exec("COMMIT");
    } catch (...) {
        // Also after a COMMIT that failed: SQLite keeps that transaction open.
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<StoredRecord> HistoryDb::Records(unsigned int data_id, int64_t limit) const {
    const std::string sql =
        std::string(kRecordColumns) + " WHERE (?1 = 0 OR data_id = ?1) ORDER BY id LIMIT ?2";
    Stmt st{Prepare(sql.c_str())};
    sqlite3_bind_int64(st.s, 1, data_id);
    sqlite3_bind_int64(st.s, 2, limit);
    std::vector<StoredRecord> out;
    while (Next(st.s)) out.push_back(ReadRecord(st.s));
    return out;
}

bool HistoryDb::RecordById(int64_t id, StoredRecord& out) const {
    const std::string sql = std::string(kRecordColumns) + " WHERE id = ?";
    Stmt st{Prepare(sql.c_str())};
    sqlite3_bind_int64(st.s, 1, id);
    if (!Next(st.s)) return false;
    out = ReadRecord(st.s);
    return true;
}

std::vector<AlarmEventRow> HistoryDb::AlarmEvents() const {
    if (!Has("alarm_events")) return {};
    Stmt st{Prepare((std::string(kAlarmEventColumns) + " ORDER BY id").c_str())};
    std::vector<AlarmEventRow> out;
    while (Next(st.s)) out.push_back(ReadAlarmEvent(st.s));
    return out;
}

std::vector<AnalogReportRow> HistoryDb::AnalogReports() const {
    if (!Has("analog_reports")) return {};
    Stmt st{Prepare((std::string(kAnalogReportColumns) + " ORDER BY id").c_str())};
    std::vector<AnalogReportRow> out;
    while (Next(st.s)) out.push_back(ReadAnalogReport(st.s));
    return out;
}

std::vector<LinkStatsRow> HistoryDb::LinkStats(unsigned int data_id) const {
    if (!Has("link_stats")) return {};
    const std::string sql = "SELECT data_id, unix_time, time, " + LinkCountColumns("") +
                            " FROM link_stats WHERE (?1 = 0 OR data_id = ?1) ORDER BY id";
    Stmt st{Prepare(sql.c_str())};
    sqlite3_bind_int64(st.s, 1, data_id);
    std::vector<LinkStatsRow> out;
    while (Next(st.s)) {
        LinkStatsRow r;
        r.data_id = static_cast<unsigned>(sqlite3_column_int64(st.s, 0));
        r.unix_time = sqlite3_column_int64(st.s, 1);
        r.time = Text(st.s, 2);
        int col = 3;
        for (const auto& f : kLinkCountFields)
            r.counts.*f.member = static_cast<uint64_t>(sqlite3_column_int64(st.s, col++));
        out.push_back(std::move(r));
    }
    return out;
}

template <typename Row>
RowPage<Row> HistoryDb::ReadPage(const char* columns, const RowFilter& f,
                                 Row (*read)(sqlite3_stmt*)) const {
    Stmt st{Prepare((std::string(columns) + FilterSql(f)).c_str())};
    BindFilter(st.s, f);
    RowPage<Row> page;
    while (Next(st.s)) page.rows.push_back(read(st.s));
    TrimPage(&page, f);
    return page;
}

RowPage<StoredRecord> HistoryDb::RecordsIn(const RowFilter& f) const {
    return ReadPage(kRecordColumns, f, &ReadRecord);
}

RowPage<AlarmEventRow> HistoryDb::AlarmEventsIn(const RowFilter& f) const {
    if (!Has("alarm_events")) return {};
    return ReadPage(kAlarmEventColumns, f, &ReadAlarmEvent);
}

RowPage<AnalogReportRow> HistoryDb::AnalogReportsIn(const RowFilter& f) const {
    if (!Has("analog_reports")) return {};
    return ReadPage(kAnalogReportColumns, f, &ReadAnalogReport);
}
