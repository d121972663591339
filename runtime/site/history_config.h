// How much of the history the runner keeps: the site file's "history".
// A header of its own so that the site file, the site services and the
// retention share it without the site file knowing the database.
#pragma once

namespace history_defaults {
// With a round per 10 s, 1,000 devices settle at about 22 GB
// (docs/performance.md).
constexpr int kMaxAgeDays = 7;
constexpr int kMinIntervalS = 300;
}  // namespace history_defaults

struct HistoryConfig {
    // Rows older than this many days are deleted from every table; 0: kept
    // for ever.
    int max_age_days = history_defaults::kMaxAgeDays;
    // A device's record is stored only when its last stored one is at least
    // this many seconds old (alarm events and analog reports always are);
    // 0: every round's record.
    int min_interval_s = history_defaults::kMinIntervalS;
};
