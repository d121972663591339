// Link statistics for the field engineer: the port controllers' cumulative
// counters under the names the runner shows, and the meter that turns them
// into one report per device and interval (the totals and the change since
// the previous report), for the JSON stream and the database.
#pragma once

#include <json/value.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/site/history_db.h"
#include "runtime/site/link_counts.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/port_controller.h"

// The --stats-interval value: seconds, from 0.001 (a timer that is never
// "now") to a day (far from the clock's overflow). False for anything else,
// text after the number included.
bool ParseStatsInterval(const std::string& text, rt::Duration* out);

LinkCounts CountsOf(const rt::LinkStats& s);

// The change from `before` to `now`. A counter below its earlier value was
// started anew (its device added again) and counts from zero instead of
// wrapping around.
LinkCounts Delta(const LinkCounts& now, const LinkCounts& before);

// The table view's row: frames good, timeouts, retries and abandoned
// chains always; damaged frames, echoes, late replies and drained bytes
// when there were any.
std::string LinkLine(const LinkCounts& c);

Json::Value LinkCountsJson(const LinkCounts& c);

struct LinkStatsReport {
    unsigned int data_id = 0;
    LinkCounts totals;
    LinkCounts interval;  // the change since the previous report
};

// The `link_stats` event and row of a report made at `when`.
Json::Value LinkStatsEvent(const LinkStatsReport& r, std::time_t when);
LinkStatsRow LinkStatsRowOf(const LinkStatsReport& r, std::time_t when);

class LinkStatsMeter {
  public:
    using Source = std::function<rt::LinkStats()>;
    using Sink = std::function<void(const std::vector<LinkStatsReport>&)>;

    // `interval` must be positive. The loop's clock decides when a report
    // is due, so tests drive the meter with a manual one.
    LinkStatsMeter(rt::EventLoop& loop, rt::Duration interval, Sink sink);
    ~LinkStatsMeter();
    LinkStatsMeter(const LinkStatsMeter&) = delete;
    LinkStatsMeter& operator=(const LinkStatsMeter&) = delete;

    // Reported in the order added. The first interval counts from zero, so
    // traffic before Start() belongs to it.
    void AddDevice(unsigned int data_id, Source source);
    // A device leaving the site: what it counted since the last report is
    // not reported.
    void RemoveDevice(unsigned int data_id);
    // The first report falls due one interval from now, the next ones on
    // the same grid. A loop held up past several due times makes one report
    // for all of them, not a burst.
    void Start();
    void Stop();

    // A report per device, and a new interval from here.
    std::vector<LinkStatsReport> Take();

  private:
    struct Tracked {
        unsigned int data_id;
        Source source;
        LinkCounts reported;
    };
    void OnDue();

    rt::EventLoop& loop_;
    rt::Duration interval_;
    Sink sink_;
    std::vector<Tracked> devices_;
    rt::TimePoint due_{};
    rt::EventLoop::TimerId timer_ = 0;
};

// Puts reports' rows into the database outside any round: a round left
// open (a device that published and has not stored yet) may still be
// rolled back, so the rows wait for it to close.
class LinkStatsWriter {
  public:
    explicit LinkStatsWriter(std::shared_ptr<HistoryDb> db) : db_(std::move(db)) {}

    void Add(const std::vector<LinkStatsRow>& rows);
    // Writes what waits unless a round is open; true when nothing waits.
    bool Flush();
    size_t waiting() const { return waiting_.size(); }

  private:
    std::shared_ptr<HistoryDb> db_;
    std::vector<LinkStatsRow> waiting_;
};
