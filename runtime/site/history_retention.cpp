#include "runtime/site/history_retention.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>

namespace {

// The oldest first, through each table's unix_time index, so that a step
// with nothing due is one index probe per table and a step with a backlog
// reads only the rows it deletes.
constexpr const char* kDeletes[] = {
    "DELETE FROM history WHERE id IN"
    " (SELECT id FROM history WHERE unix_time < ?1 ORDER BY unix_time LIMIT ?2)",
    "DELETE FROM alarm_events WHERE id IN"
    " (SELECT id FROM alarm_events WHERE unix_time < ?1 ORDER BY unix_time LIMIT ?2)",
    "DELETE FROM analog_reports WHERE id IN"
    " (SELECT id FROM analog_reports WHERE unix_time < ?1 ORDER BY unix_time LIMIT ?2)",
    "DELETE FROM link_stats WHERE id IN"
    " (SELECT id FROM link_stats WHERE unix_time < ?1 ORDER BY unix_time LIMIT ?2)",
};

struct Stmt {
    sqlite3_stmt* s = nullptr;
    ~Stmt() { sqlite3_finalize(s); }
};

}  // namespace

HistoryRetention::HistoryRetention(std::shared_ptr<HistoryDb> db, const HistoryConfig& config,
                                   RetentionOptions options)
    : db_(std::move(db)), options_(options) {
    if (!db_) throw StoreError("history retention without a database");
    if (db_->read_only_) throw StoreError(db_->path() + ": opened read-only");
    max_age_s_ = static_cast<int64_t>(std::max(config.max_age_days, 0)) * 86400;
    options_.record_rows_per_step = std::max<int64_t>(options_.record_rows_per_step, 1);
    options_.rows_per_step = std::max<int64_t>(options_.rows_per_step, 1);
    options_.vacuum_pages = std::max<int64_t>(options_.vacuum_pages, 0);
    options_.keep_free_pages = std::max<int64_t>(options_.keep_free_pages, 0);
    incremental_ = Pragma("PRAGMA auto_vacuum") == 2;
}

int64_t HistoryRetention::Pragma(const char* sql) const {
    Stmt st;
    if (sqlite3_prepare_v2(db_->db_, sql, -1, &st.s, nullptr) != SQLITE_OK ||
        sqlite3_step(st.s) != SQLITE_ROW)
        throw StoreError(db_->path() + ": " + sqlite3_errmsg(db_->db_));
    return sqlite3_column_int64(st.s, 0);
}

HistoryRetention::FileStats HistoryRetention::Stats() const {
    FileStats f;
    f.page_size = Pragma("PRAGMA page_size");
    f.page_count = Pragma("PRAGMA page_count");
    f.freelist_count = Pragma("PRAGMA freelist_count");
    return f;
}

bool HistoryRetention::Step(int64_t now_unix) {
    last_ = StepStats();
    if (!enabled()) return false;
    if (db_->InTransaction()) {
        last_.skipped = true;
        last_.more = true;
        return true;
    }
    sqlite3* h = db_->db_;
    const int64_t cutoff = now_unix - max_age_s_;
    // One transaction for the step's deletes: one commit instead of four.
    db_->Exec("BEGIN");
    try {
        for (const char* sql : kDeletes) {
            const int64_t limit =
                sql == kDeletes[0] ? options_.record_rows_per_step : options_.rows_per_step;
            Stmt st;
            if (sqlite3_prepare_v2(h, sql, -1, &st.s, nullptr) != SQLITE_OK)
                throw StoreError(db_->path() + ": " + sqlite3_errmsg(h));
            sqlite3_bind_int64(st.s, 1, cutoff);
            sqlite3_bind_int64(st.s, 2, limit);
            if (sqlite3_step(st.s) != SQLITE_DONE)
                throw StoreError(db_->path() + ": " + sqlite3_errmsg(h));
            const int64_t n = sqlite3_changes(h);
            last_.rows_deleted += n;
            if (n >= limit) last_.more = true;
        }
        db_->Exec("COMMIT");
    } catch (...) {
        // Also after a COMMIT that failed: SQLite keeps that transaction open.
        sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (incremental_ && options_.vacuum_pages > 0) {
        const int64_t free_pages = Pragma("PRAGMA freelist_count");
        const int64_t excess = free_pages - options_.keep_free_pages;
        if (excess > 0) {
            const int64_t pages = std::min(excess, options_.vacuum_pages);
            db_->Exec(("PRAGMA incremental_vacuum(" + std::to_string(pages) + ")").c_str());
            last_.pages_vacuumed = free_pages - Pragma("PRAGMA freelist_count");
            if (excess > pages) last_.more = true;
        }
    }
    return last_.more;
}
