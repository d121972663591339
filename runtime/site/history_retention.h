// Age-based deletion from the history file, a little at a time. The runner
// calls Step between rounds from its loop: each call deletes at most a
// fixed number of the oldest rows past the age limit from every table and
// gives at most a fixed number of free pages back to the disk, so one
// call's own work is a few milliseconds however large the file or the
// backlog, and polling never waits for a long delete. (A commit that takes
// the -wal past SQLite's checkpoint threshold writes it back, whether a
// step's or a round's: docs/performance.md.) Step answers whether more is
// due, so that the runner comes back soon while it is behind and seldom
// when it is not.
//
// Pages go back to the disk only in a file created with incremental
// vacuum (every file this runner creates). In an older file the deleted
// rows' pages stay free inside it and are filled again by new rows: the
// file stops growing at the size it has, and shrinks only by a VACUUM run
// by hand while the runner is stopped.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/site/history_config.h"
#include "runtime/site/history_db.h"

// What one step may do at most (the time it takes: docs/performance.md).
struct RetentionOptions {
    int64_t record_rows_per_step = 100;  // history rows: a page each
    int64_t rows_per_step = 500;         // from each of the other tables
    int64_t vacuum_pages = 128;          // given back to the disk
    // Free pages left in the file for the next rounds' rows: in the steady
    // state each step frees about what the rounds since the last one took,
    // and moving those pages out only for new rows to extend the file
    // again would double the writes.
    int64_t keep_free_pages = 1024;
};

class HistoryRetention {
  public:
    struct StepStats {
        bool skipped = false;  // a round's transaction was open
        int64_t rows_deleted = 0;
        int64_t pages_vacuumed = 0;
        bool more = false;
    };
    struct FileStats {
        int64_t page_size = 0;
        int64_t page_count = 0;
        int64_t freelist_count = 0;
    };

    // `db` opened for writing. A config with max_age_days 0 makes every
    // Step a no-op.
    HistoryRetention(std::shared_ptr<HistoryDb> db, const HistoryConfig& config,
                     RetentionOptions options = RetentionOptions());

    // One bounded piece of work for the rows older than `now_unix` minus
    // the age limit; true when more is due (rows or pages left over, or a
    // round's transaction was open and nothing was done). Never runs inside
    // a round: rows it deleted there would share the round's fate. Throws
    // StoreError when the file cannot be written; nothing of the step is
    // kept then.
    bool Step(int64_t now_unix);
    const StepStats& last_step() const { return last_; }

    bool enabled() const { return max_age_s_ > 0; }
    // Whether the file gives freed pages back (auto_vacuum INCREMENTAL).
    bool incremental() const { return incremental_; }
    FileStats Stats() const;

  private:
    int64_t Pragma(const char* sql) const;

    std::shared_ptr<HistoryDb> db_;
    int64_t max_age_s_ = 0;
    RetentionOptions options_;
    bool incremental_ = false;
    StepStats last_;
};
