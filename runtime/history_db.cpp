#include "runtime/history_db.h"

#include <sqlite3.h>

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

}  // namespace

HistoryDb::HistoryDb(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open database " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        // WAL keeps readers (q318b-decode) working while the runner writes,
        // and a crash can only lose the uncommitted round.
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        Exec(
            "CREATE TABLE IF NOT EXISTS history ("
            " id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, unix_time INTEGER NOT NULL,"
            " time TEXT NOT NULL, type INTEGER NOT NULL, record BLOB NOT NULL)");
        Exec(
            "CREATE TABLE IF NOT EXISTS alarm_events ("
            " id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, unix_time INTEGER NOT NULL,"
            " time TEXT NOT NULL, alarm_id TEXT NOT NULL, key TEXT NOT NULL,"
            " level INTEGER NOT NULL, active INTEGER NOT NULL, value_text TEXT NOT NULL,"
            " alarm_text TEXT NOT NULL, ordinal INTEGER NOT NULL)");
        Exec(
            "CREATE TABLE IF NOT EXISTS analog_reports ("
            " id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, unix_time INTEGER NOT NULL,"
            " time TEXT NOT NULL, key TEXT NOT NULL, value REAL NOT NULL)");
        // A file from before link statistics gains the table here.
        const std::string link_stats =
            "CREATE TABLE IF NOT EXISTS link_stats ("
            " id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, unix_time INTEGER NOT NULL,"
            " time TEXT NOT NULL, " +
            LinkCountColumns(" INTEGER NOT NULL") + ")";
        Exec(link_stats.c_str());
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

HistoryDb::~HistoryDb() {
    if (db_ == nullptr) return;
    // An open round is not committed: it was not completed.
    if (in_tx_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
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

void HistoryDb::Begin() {
    if (in_tx_) return;
    Exec("BEGIN");
    in_tx_ = true;
}

void HistoryDb::Commit() {
    if (!in_tx_) return;
    in_tx_ = false;
    Exec("COMMIT");
}

void HistoryDb::AddRecord(const StoredRecord& r) {
    Stmt st{
        Prepare("INSERT INTO history(data_id, unix_time, time, type, record)"
                " VALUES(?,?,?,?,?)")};
    sqlite3_bind_int64(st.s, 1, r.data_id);
    sqlite3_bind_int64(st.s, 2, r.unix_time);
    sqlite3_bind_text(st.s, 3, r.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st.s, 4, r.type);
    sqlite3_bind_blob(st.s, 5, r.blob.data(), static_cast<int>(r.blob.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(path_ + ": " + sqlite3_errmsg(db_));
}

void HistoryDb::AddAlarmEvent(const AlarmEventRow& e) {
    Stmt st{
        Prepare("INSERT INTO alarm_events(data_id, unix_time, time, alarm_id, key, level, active,"
                " value_text, alarm_text, ordinal) VALUES(?,?,?,?,?,?,?,?,?,?)")};
    sqlite3_bind_int64(st.s, 1, e.data_id);
    sqlite3_bind_int64(st.s, 2, e.unix_time);
    sqlite3_bind_text(st.s, 3, e.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.s, 4, e.alarm_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.s, 5, e.key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st.s, 6, e.level);
    sqlite3_bind_int(st.s, 7, e.active ? 1 : 0);
    sqlite3_bind_text(st.s, 8, e.value_text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.s, 9, e.alarm_text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st.s, 10, e.ordinal);
    if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(path_ + ": " + sqlite3_errmsg(db_));
}

void HistoryDb::AddAnalogReport(const AnalogReportRow& r) {
    Stmt st{
        Prepare("INSERT INTO analog_reports(data_id, unix_time, time, key, value)"
                " VALUES(?,?,?,?,?)")};
    sqlite3_bind_int64(st.s, 1, r.data_id);
    sqlite3_bind_int64(st.s, 2, r.unix_time);
    sqlite3_bind_text(st.s, 3, r.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.s, 4, r.key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(st.s, 5, r.value);
    if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(path_ + ": " + sqlite3_errmsg(db_));
}

void HistoryDb::AddLinkStats(const std::vector<LinkStatsRow>& rows) {
    if (in_tx_) throw StoreError(path_ + ": link statistics written inside an open round");
    std::string sql = "INSERT INTO link_stats(data_id, unix_time, time, " + LinkCountColumns("") +
                      ") VALUES(?,?,?";
    for (int k = 0; k < kLinkCountFieldCount; ++k) sql += ",?";
    sql += ")";
    Exec("BEGIN");
    try {
        Stmt st{Prepare(sql.c_str())};
        for (const auto& r : rows) {
            sqlite3_reset(st.s);
            sqlite3_bind_int64(st.s, 1, r.data_id);
            sqlite3_bind_int64(st.s, 2, r.unix_time);
            sqlite3_bind_text(st.s, 3, r.time.c_str(), -1, SQLITE_TRANSIENT);
            int col = 4;
            for (const auto& f : kLinkCountFields)
                sqlite3_bind_int64(st.s, col++, static_cast<sqlite3_int64>(r.counts.*f.member));
            if (sqlite3_step(st.s) != SQLITE_DONE)
                throw StoreError(path_ + ": " + sqlite3_errmsg(db_));
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
    while (sqlite3_step(st.s) == SQLITE_ROW) out.push_back(ReadRecord(st.s));
    return out;
}

bool HistoryDb::RecordById(int64_t id, StoredRecord& out) const {
    const std::string sql = std::string(kRecordColumns) + " WHERE id = ?";
    Stmt st{Prepare(sql.c_str())};
    sqlite3_bind_int64(st.s, 1, id);
    if (sqlite3_step(st.s) != SQLITE_ROW) return false;
    out = ReadRecord(st.s);
    return true;
}

std::vector<AlarmEventRow> HistoryDb::AlarmEvents() const {
    Stmt st{
        Prepare("SELECT data_id, unix_time, time, alarm_id, key, level, active, value_text,"
                " alarm_text, ordinal FROM alarm_events ORDER BY id")};
    std::vector<AlarmEventRow> out;
    while (sqlite3_step(st.s) == SQLITE_ROW) {
        AlarmEventRow e;
        e.data_id = static_cast<unsigned>(sqlite3_column_int64(st.s, 0));
        e.unix_time = sqlite3_column_int64(st.s, 1);
        e.time = Text(st.s, 2);
        e.alarm_id = Text(st.s, 3);
        e.key = Text(st.s, 4);
        e.level = sqlite3_column_int(st.s, 5);
        e.active = sqlite3_column_int(st.s, 6) != 0;
        e.value_text = Text(st.s, 7);
        e.alarm_text = Text(st.s, 8);
        e.ordinal = sqlite3_column_int(st.s, 9);
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<AnalogReportRow> HistoryDb::AnalogReports() const {
    Stmt st{Prepare("SELECT data_id, unix_time, time, key, value FROM analog_reports ORDER BY id")};
    std::vector<AnalogReportRow> out;
    while (sqlite3_step(st.s) == SQLITE_ROW) {
        AnalogReportRow r;
        r.data_id = static_cast<unsigned>(sqlite3_column_int64(st.s, 0));
        r.unix_time = sqlite3_column_int64(st.s, 1);
        r.time = Text(st.s, 2);
        r.key = Text(st.s, 3);
        r.value = sqlite3_column_double(st.s, 4);
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<LinkStatsRow> HistoryDb::LinkStats(unsigned int data_id) const {
    const std::string sql = "SELECT data_id, unix_time, time, " + LinkCountColumns("") +
                            " FROM link_stats WHERE (?1 = 0 OR data_id = ?1) ORDER BY id";
    Stmt st{Prepare(sql.c_str())};
    sqlite3_bind_int64(st.s, 1, data_id);
    std::vector<LinkStatsRow> out;
    while (sqlite3_step(st.s) == SQLITE_ROW) {
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
