// The host's store: one SQLite file per host with every published record
// (its 2704-byte blob and time), every alarm raise and clear, every analog
// report and the link statistics of each interval. A round's writes share
// one transaction, so a host killed mid-round loses at most that round and
// never leaves a half-written one.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/link_counts.h"

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

class HistoryDb {
  public:
    // Opens or creates the file; throws StoreError naming it.
    explicit HistoryDb(const std::string& path);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Groups the following writes; Commit makes them durable together.
    // Writes outside Begin/Commit are committed one by one.
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

    const std::string& path() const { return path_; }

  private:
    void Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql) const;

    std::string path_;
    sqlite3* db_ = nullptr;
    bool in_tx_ = false;
};
