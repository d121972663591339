// The host's store: one SQLite file per host with every published record
// (its 2704-byte blob and time), every alarm raise and clear, every analog
// report and the link statistics of each interval. A round's writes share
// one transaction, so a host killed mid-round loses at most that round and
// never leaves a half-written one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/site/link_counts.h"

struct sqlite3;
struct sqlite3_stmt;

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct StoredRecord {
    int64_t id = 0;
    unsigned int data_id = 0;
    int64_t unix_time = 0;
    std::string time;  // local time, "YYYY-MM-DD hh:mm:ss"
    int type = 0;
    std::vector<uint8_t> blob;
};

struct AlarmEventRow {
    unsigned int data_id = 0;
    int64_t unix_time = 0;
    std::string time;
    std::string alarm_id;
    std::string key;
    int level = 0;
    bool active = false;
    std::string value_text;
    std::string alarm_text;
    int ordinal = 0;
};

struct AnalogReportRow {
    unsigned int data_id = 0;
    int64_t unix_time = 0;
    std::string time;
    std::string key;
    double value = 0.0;
};

// One device's link counters over one interval: the change, not the totals.
struct LinkStatsRow {
    unsigned int data_id = 0;
    int64_t unix_time = 0;  // the end of the interval
    std::string time;
    LinkCounts counts;
};

// Which rows a filtered read returns: those of one device (or every
// device) whose unix_time lies in [since, until], oldest first, at most
// `limit` of them.
struct RowFilter {
    std::optional<unsigned int> data_id;  // none: every device
    double since = 0;
    std::optional<double> until;  // none: no upper bound
    int64_t limit = 1000;         // below 0 counts as 0
};

// The rows of a filtered read; `truncated` when more rows matched.
template <typename Row>
struct RowPage {
    std::vector<Row> rows;
    bool truncated = false;
};

class HistoryDb {
  public:
    enum class Access { kReadWrite, kReadOnly };

    // kReadWrite opens or creates the file for the runner, after
    // CheckExisting has passed. kReadOnly is for readers: it changes
    // nothing on disk (no tables, no journal mode, no -wal or -shm files
    // that were not there) and needs a file with the runner's history
    // table; a table an older file lacks reads as empty, and writes throw.
    // Either throws StoreError with one line naming the file.
    explicit HistoryDb(const std::string& path, Access access = Access::kReadWrite);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Groups the following writes; Commit makes them durable together.
    // Writes outside Begin/Commit are committed one by one. A Commit that
    // fails throws StoreError with the group's writes undone and no
    // transaction left open, so the next Begin starts afresh and nothing
    // written later rides along in a transaction that never commits.
    void Begin();
    void Commit();
    bool InTransaction() const { return in_tx_; }

    void AddRecord(const StoredRecord& r);
    void AddAlarmEvent(const AlarmEventRow& e);
    void AddAnalogReport(const AnalogReportRow& r);
    // Writes the rows in a transaction of their own. Inside Begin/Commit it
    // throws StoreError: link statistics never ride along with a round,
    // which may still be rolled back.
    void AddLinkStats(const std::vector<LinkStatsRow>& rows);

    std::vector<StoredRecord> Records(unsigned int data_id = 0, int64_t limit = -1) const;
    // One record by its row id; false when there is none.
    bool RecordById(int64_t id, StoredRecord& out) const;
    std::vector<AlarmEventRow> AlarmEvents() const;
    std::vector<AnalogReportRow> AnalogReports() const;
    // In the order written; data_id 0: every device.
    std::vector<LinkStatsRow> LinkStats(unsigned int data_id = 0) const;

    // Filtered reads, each one statement: the rows come from one snapshot
    // of the file, and the read is over when the call returns.
    RowPage<StoredRecord> RecordsIn(const RowFilter& filter) const;
    RowPage<AlarmEventRow> AlarmEventsIn(const RowFilter& filter) const;
    RowPage<AnalogReportRow> AnalogReportsIn(const RowFilter& filter) const;

    const std::string& path() const { return path_; }

    // Whether the runner may write to `path`: empty when it may (a missing
    // file is fine, it will be created), else one line naming the file and
    // what is wrong with it: not an SQLite database, or one of the runner's
    // tables present without the columns the runner writes. Reads the file
    // without changing it.
    static std::string CheckExisting(const std::string& path);

  private:
    // Deletes old rows and gives pages back on the runner's connection,
    // outside any round (runtime/site/history_retention.h).
    friend class HistoryRetention;

    void Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql) const;
    // Steps an insert to its end and makes it ready for the next row; a
    // failed step throws.
    void Insert(sqlite3_stmt* s);
    void FinalizeInserts();
    // The next row of `s`, false after the last; a failed step throws
    // rather than passing for the end of the rows.
    bool Next(sqlite3_stmt* s) const;
    void RequireWritable() const;
    // False for a table a read-only file does not have (older files).
    bool Has(const char* table) const;
    // One filtered read: `columns` (a SELECT up to its FROM table) with the
    // filter's WHERE, order and limit, each row through `read`.
    template <typename Row>
    RowPage<Row> ReadPage(const char* columns, const RowFilter& f,
                          Row (*read)(sqlite3_stmt*)) const;

    std::string path_;
    sqlite3* db_ = nullptr;
    bool read_only_ = false;
    std::vector<std::string> tables_;  // the runner's tables present (read-only)
    bool in_tx_ = false;
    // The inserts, prepared once when the file is opened for writing and
    // bound afresh for every row.
    sqlite3_stmt* insert_record_ = nullptr;
    sqlite3_stmt* insert_alarm_event_ = nullptr;
    sqlite3_stmt* insert_analog_report_ = nullptr;
    sqlite3_stmt* insert_link_stats_ = nullptr;
};
