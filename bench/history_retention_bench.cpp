// The history file under retention, for a site of 1,000 devices at a round
// per 10 s each (100 rounds a second):
//
// BM_HistoryBytesPerRound: what a round costs on disk, measured on files
// the site services write (a record, the round's three analog reports as
// the unicom rules give them; a link statistics row), and from it the
// steady size of the file with the defaults: every row kept for
// max_age_days, a record per device per min_interval_s.
//
// BM_RetentionStep: how long one retention step takes on a large file,
// first in the steady state (every simulated second 100 rounds are
// written and the runner's loop steps once, again while more is due), then
// catching up on a backlog of half the file (a shorter age limit), so that
// the steps show what they would take from the poll loop.
//
// Q318B_RETENTION_HOURS sets the span of rows in the large file (default
// 6: 72,000 records, 6.5 million analog reports, about 0.8 GB);
// Q318B_RETENTION_SECONDS the steady state's simulated seconds (600).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "runtime/site/history_retention.h"
#include "runtime/site/site_services.h"

namespace {

constexpr unsigned kDevices = 1000;
constexpr int64_t kRoundS = 10;      // each device's poll interval
constexpr int64_t kStatsS = 60;      // --stats-interval's default
constexpr int64_t kT0 = 1700000000;  // the rows' first second
const char* const kReportKeys[] = {"419120300001", "419120400001", "419113900001"};

double EnvNumber(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && std::atof(v) > 0 ? std::atof(v) : fallback;
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/q318b-retention-bench-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path = tmpl;
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf " + path).c_str());
    }
};

int64_t UsedBytes(const std::shared_ptr<HistoryDb>& db) {
    HistoryConfig off;
    off.max_age_days = 0;
    const auto s = HistoryRetention(db, off).Stats();
    return (s.page_count - s.freelist_count) * s.page_size;
}

// `rounds` rounds of each of `devices` devices through the site services,
// 10 s apart, storing records at most every `min_interval_s`; the bytes
// the rows take beyond an empty file. `allocs`, when given, gets the
// allocations of those device rounds (not of opening the file).
int64_t BytesOfRounds(const std::string& path, unsigned devices, int rounds, int min_interval_s,
                      uint64_t* allocs = nullptr) {
    auto db = std::make_shared<HistoryDb>(path);
    const int64_t empty = UsedBytes(db);
    int64_t now = kT0;
    SiteServices s(db);
    s.SetClock([&] { return static_cast<std::time_t>(now); });
    HistoryConfig policy;
    policy.min_interval_s = min_interval_s;
    s.SetHistoryPolicy(policy);
    const std::vector<uint8_t> rec(2704, 0x5a);
    const bench::AllocSpan span;
    for (int r = 0; r < rounds; ++r, now += kRoundS) {
        for (unsigned id = 1; id <= devices; ++id) {
            s.Publish(id, 5535, rec.data(), rec.size());
            s.CheckThresholdBool(id, 1, "419430501001", "419430501001", "", "模块故障告警", false,
                                 1);
            for (const char* key : kReportKeys) s.CheckAOReport(id, key, 53.5f);
            s.SaveHistory(id, rec.data(), rec.size());
        }
    }
    if (allocs != nullptr) *allocs = span.Count();
    return UsedBytes(db) - empty;
}

void BM_HistoryBytesPerRound(benchmark::State& state) {
    constexpr unsigned kD = 100;
    constexpr int kR = 300;
    double b_record = 0, b_reports = 0, b_link = 0, allocs_per_round = 0;
    for (auto _ : state) {
        TempDir dir;
        if (dir.path.empty()) return state.SkipWithError("no temp folder");
        uint64_t allocs = 0;
        const int64_t every = BytesOfRounds(dir.path + "/every.db", kD, kR, 0, &allocs);
        allocs_per_round = static_cast<double>(allocs) / (kD * kR);
        // Only each device's first record: the analog reports alone.
        const int64_t first = BytesOfRounds(dir.path + "/first.db", kD, kR, 86400);
        b_record = static_cast<double>(every - first) / (kD * (kR - 1));
        b_reports = (static_cast<double>(first) - kD * b_record) / (kD * kR);
        auto db = std::make_shared<HistoryDb>(dir.path + "/links.db");
        const int64_t empty = UsedBytes(db);
        std::vector<LinkStatsRow> rows(kD);
        for (int r = 0; r < kR; ++r) {
            for (unsigned k = 0; k < kD; ++k) {
                rows[k].data_id = k + 1;
                rows[k].unix_time = kT0 + r * kStatsS;
                rows[k].time = "2023-11-14 22:13:20";
                rows[k].counts.commands = 96;
                rows[k].counts.good = 96;
                rows[k].counts.polls = 12;
            }
            db->AddLinkStats(rows);
        }
        b_link = static_cast<double>(UsedBytes(db) - empty) / (kD * kR);
    }
    const HistoryConfig d;
    const double per_device_day = 86400.0 / d.min_interval_s * b_record +
                                  86400.0 / kRoundS * b_reports + 86400.0 / kStatsS * b_link;
    state.counters["record_bytes"] = b_record;
    // A device's round through the site services, every record stored.
    state.counters["allocs_per_round"] = allocs_per_round;
    state.counters["round_reports_bytes"] = b_reports;
    state.counters["link_row_bytes"] = b_link;
    state.counters["device_day_MB"] = per_device_day / 1e6;
    state.counters["steady_GB_1000dev"] = per_device_day * kDevices * d.max_age_days / 1e9;
    // Without analog reports (the telecom, mobile and level modes send none).
    state.counters["steady_GB_1000dev_no_reports"] =
        (per_device_day - 86400.0 / kRoundS * b_reports) * kDevices * d.max_age_days / 1e9;
}

// --- the large file ---------------------------------------------------------

struct Raw {
    sqlite3* db = nullptr;
    ~Raw() { sqlite3_close(db); }
    void Exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
};

// The rows the defaults keep of a 1,000-device site, second by second from
// kT0 for `seconds`: each second a tenth of the devices ends a round (three
// analog reports), the devices due by min_interval_s store a record, those
// due by the stats interval a link row, one an hour in 3,600 an alarm event.
// Written straight through SQLite into a file the runner created: the site
// services' per-round transactions would take many minutes for this.
bool BuildLargeFile(const std::string& path, int64_t seconds, std::string* err) {
    { HistoryDb create(path); }
    Raw raw;
    if (sqlite3_open(path.c_str(), &raw.db) != SQLITE_OK) return *err = "open", false;
    sqlite3_stmt *rec = nullptr, *rep = nullptr, *link = nullptr, *ev = nullptr;
    sqlite3_prepare_v2(raw.db,
                       "INSERT INTO history(data_id, unix_time, time, type, record)"
                       " VALUES(?1, ?2, '2023-11-14 22:13:20', 5535, zeroblob(2704))",
                       -1, &rec, nullptr);
    sqlite3_prepare_v2(raw.db,
                       "INSERT INTO analog_reports(data_id, unix_time, time, key, value)"
                       " VALUES(?1, ?2, '2023-11-14 22:13:20', ?3, 53.5)",
                       -1, &rep, nullptr);
    std::string link_sql = "INSERT INTO link_stats(data_id, unix_time, time";
    std::string link_values = " VALUES(?1, ?2, '2023-11-14 22:13:20'";
    for (const auto& f : kLinkCountFields) {
        link_sql += std::string(", ") + f.name;
        link_values += ", 1";
    }
    sqlite3_prepare_v2(raw.db, (link_sql + ")" + link_values + ")").c_str(), -1, &link, nullptr);
    sqlite3_prepare_v2(raw.db,
                       "INSERT INTO alarm_events(data_id, unix_time, time, alarm_id, key, level,"
                       " active, value_text, alarm_text, ordinal) VALUES(?1, ?2,"
                       " '2023-11-14 22:13:20', '419430501001', '419430501001', 1, 1, '',"
                       " '模块故障告警', 1)",
                       -1, &ev, nullptr);
    if (!rec || !rep || !link || !ev) return *err = sqlite3_errmsg(raw.db), false;
    const auto put = [](sqlite3_stmt* s, unsigned id, int64_t t) {
        sqlite3_bind_int64(s, 1, id);
        sqlite3_bind_int64(s, 2, t);
        sqlite3_step(s);
        sqlite3_reset(s);
    };
    const int64_t min_interval = HistoryConfig().min_interval_s;
    raw.Exec("BEGIN");
    for (int64_t s = 0; s < seconds; ++s) {
        const int64_t t = kT0 + s;
        for (unsigned id = 1; id <= kDevices; ++id) {
            if (static_cast<int64_t>(id) % kRoundS == s % kRoundS)
                for (const char* key : kReportKeys) {
                    sqlite3_bind_text(rep, 3, key, -1, SQLITE_STATIC);
                    put(rep, id, t);
                }
            if (static_cast<int64_t>(id) % min_interval == s % min_interval) put(rec, id, t);
            if (static_cast<int64_t>(id) % kStatsS == s % kStatsS) put(link, id, t);
            if (static_cast<int64_t>(id) % 3600 == s % 3600) put(ev, id, t);
        }
        if (s % 600 == 599) {
            raw.Exec("COMMIT");
            raw.Exec("BEGIN");
        }
    }
    raw.Exec("COMMIT");
    for (auto* s : {rec, rep, link, ev}) sqlite3_finalize(s);
    raw.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return true;
}

struct Timings {
    std::vector<double> ms;
    void Add(double v) { ms.push_back(v); }
    double At(double q) {
        if (ms.empty()) return 0;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))];
    }
};

double TimedStep(HistoryRetention& r, int64_t now, bool* more) {
    const auto a = std::chrono::steady_clock::now();
    *more = r.Step(now);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count();
}

void BM_RetentionStep(benchmark::State& state) {
    const auto span = static_cast<int64_t>(EnvNumber("Q318B_RETENTION_HOURS", 6) * 3600);
    const auto steady_s = static_cast<int64_t>(EnvNumber("Q318B_RETENTION_SECONDS", 600));
    const HistoryConfig config;  // the defaults
    const int64_t max_age_s = int64_t{config.max_age_days} * 86400;
    Timings steady, catchup, commits;
    int64_t steady_rows = 0, catchup_rows = 0, catchup_pages = 0;
    double file_gb = 0, file_after_gb = 0;
    for (auto _ : state) {
        TempDir dir;
        std::string err;
        const std::string path = dir.path + "/large.db";
        if (dir.path.empty() || !BuildLargeFile(path, span, &err))
            return state.SkipWithError(("building the file: " + err).c_str());
        auto db = std::make_shared<HistoryDb>(path);
        HistoryRetention retention(db, config);
        const auto stats = [&] {
            const auto s = retention.Stats();
            return static_cast<double>(s.page_count * s.page_size) / 1e9;
        };
        file_gb = stats();
        // The file is `span` deep: the clock the retention is given puts
        // the age limit at its oldest second.
        const int64_t shift = max_age_s - span;
        int64_t now = kT0 + span;
        const std::vector<uint8_t> blob(2704, 0x5a);
        for (int64_t s = 0; s < steady_s; ++s, ++now) {
            for (unsigned id = 1; id <= kDevices; ++id) {
                if (static_cast<int64_t>(id) % kRoundS != now % kRoundS) continue;
                db->Begin();
                for (const char* key : kReportKeys) {
                    AnalogReportRow a;
                    a.data_id = id;
                    a.unix_time = now;
                    a.key = key;
                    db->AddAnalogReport(a);
                }
                if (static_cast<int64_t>(id) % config.min_interval_s ==
                    now % config.min_interval_s) {
                    StoredRecord r;
                    r.data_id = id;
                    r.unix_time = now;
                    r.blob = blob;
                    db->AddRecord(r);
                }
                const auto a = std::chrono::steady_clock::now();
                db->Commit();
                commits.Add(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a)
                        .count());
            }
            bool more = true;
            while (more) {
                steady.Add(TimedStep(retention, now + shift, &more));
                steady_rows += retention.last_step().rows_deleted;
            }
        }
        // A backlog: half the file past a shorter limit at once.
        const int64_t backlog_now = now + shift + span / 2;
        bool more = true;
        for (int k = 0; more && k < 20000; ++k) {
            catchup.Add(TimedStep(retention, backlog_now, &more));
            catchup_rows += retention.last_step().rows_deleted;
            catchup_pages += retention.last_step().pages_vacuumed;
        }
        file_after_gb = stats();
    }
    state.counters["file_GB"] = file_gb;
    state.counters["steady_steps"] = static_cast<double>(steady.ms.size());
    state.counters["steady_rows_per_step"] =
        steady.ms.empty() ? 0 : static_cast<double>(steady_rows) / steady.ms.size();
    state.counters["steady_p50_ms"] = steady.At(0.5);
    state.counters["steady_p99_ms"] = steady.At(0.99);
    state.counters["steady_max_ms"] = steady.At(1.0);
    // The rounds' own commits in the steady state, for comparison: a
    // commit that crosses SQLite's checkpoint threshold writes the -wal
    // back into the file, whichever commit that is.
    state.counters["round_commit_p99_ms"] = commits.At(0.99);
    state.counters["round_commit_max_ms"] = commits.At(1.0);
    state.counters["catchup_steps"] = static_cast<double>(catchup.ms.size());
    state.counters["catchup_rows_per_step"] =
        catchup.ms.empty() ? 0 : static_cast<double>(catchup_rows) / catchup.ms.size();
    state.counters["catchup_pages_per_step"] =
        catchup.ms.empty() ? 0 : static_cast<double>(catchup_pages) / catchup.ms.size();
    state.counters["catchup_p50_ms"] = catchup.At(0.5);
    state.counters["catchup_p99_ms"] = catchup.At(0.99);
    state.counters["catchup_max_ms"] = catchup.At(1.0);
    state.counters["file_after_GB"] = file_after_gb;
}

}  // namespace

BENCHMARK(BM_HistoryBytesPerRound)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RetentionStep)->Iterations(1)->Unit(benchmark::kSecond);
