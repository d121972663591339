// One poll(2) loop for every port, timer and simulator of a host process.
// Nothing here starts a thread: callbacks run on the thread that runs the
// loop, one at a time, so devices see the host call them one operation at
// a time.
//
// A host with a thousand lines passes through here thousands of times a
// second, so a pass does no work in proportion to what did not change: the
// pollfd array is kept between passes (rebuilt only when a descriptor is
// added or removed) and timers sit in a binary heap, cancelled ones left to
// fall out when they reach its top.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace rt {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;
using Duration = SteadyClock::duration;

// Where the loop takes its time from. Tests hand in a ManualTime and move it
// themselves instead of waiting.
class TimeSource {
  public:
    virtual ~TimeSource() = default;
    virtual TimePoint Now() const = 0;
};

class SteadyTime : public TimeSource {
  public:
    TimePoint Now() const override { return SteadyClock::now(); }
};

class ManualTime : public TimeSource {
  public:
    TimePoint Now() const override { return now_; }
    void Advance(Duration d) { now_ += d; }

  private:
    TimePoint now_{std::chrono::hours(1)};
};

class EventLoop {
  public:
    using TimerId = uint64_t;
    using IoCallback = std::function<void(short revents)>;

    // `time` must outlive the loop; null means the steady clock.
    explicit EventLoop(const TimeSource* time = nullptr);
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    TimePoint Now() const { return time_->Now(); }

    // Watches `fd` for reading (always) and writing (when asked). A second
    // Watch of the same fd replaces the first.
    void Watch(int fd, IoCallback cb, bool want_write = false);
    void WantWrite(int fd, bool want_write);
    // Stops (or resumes) watching `fd` for reading without forgetting it:
    // bytes wait in the kernel until they are worth a wake-up.
    void WantRead(int fd, bool want_read);
    void Unwatch(int fd);

    TimerId At(TimePoint when, std::function<void()> cb);
    TimerId After(Duration d, std::function<void()> cb) { return At(Now() + d, std::move(cb)); }
    // Cancelling a timer that already ran or was never set is harmless.
    void Cancel(TimerId id);
    // When the earliest pending timer is due; TimePoint::max() when none.
    TimePoint NextTimer() const;

    // Waits at most `max_wait` (less when a timer falls due sooner) for I/O,
    // then runs the ready I/O callbacks and the timers that are due.
    // Returns the number of callbacks run.
    int RunOnce(Duration max_wait);

    // Runs until `done()` holds or `max_passes` passes have run; true when
    // `done()` held.
    template <typename Pred>
    bool RunUntil(Pred done, int max_passes, Duration max_wait = std::chrono::milliseconds(50)) {
        for (int i = 0; i < max_passes; ++i) {
            if (done()) return true;
            RunOnce(max_wait);
        }
        return done();
    }

    // Runs until Stop() is called from a callback.
    void Run();
    void Stop() { stop_ = true; }

    // Timers set and not yet run or cancelled.
    size_t PendingTimers() const { return live_.size(); }

  private:
    struct Watcher {
        uint64_t serial;
        // Shared so that a callback that unwatches itself keeps running.
        std::shared_ptr<IoCallback> cb;
        bool want_read = true;
        bool want_write = false;
        size_t slot = 0;  // index in the pollfd array, while it is kept
    };
    struct HeapEntry {
        TimePoint when;
        TimerId id;
    };
    struct Timer {
        TimePoint when;
        std::function<void()> cb;
    };
    // Earliest first; equal times in the order they were set.
    static bool Later(const HeapEntry& a, const HeapEntry& b) {
        return a.when != b.when ? a.when > b.when : a.id > b.id;
    }

    short EventsOf(const Watcher& w) const;
    void UpdateSlot(int fd, const Watcher& w);
    void RebuildPollSet();
    void PopHeap();
    // Drops cancelled timers from the top of the heap (and rebuilds it when
    // they outnumber the live ones).
    void PruneHeap() const;
    int RunDueTimers();

    SteadyTime steady_;
    const TimeSource* time_;
    std::unordered_map<int, Watcher> watchers_;
    uint64_t next_serial_ = 1;
    bool poll_set_dirty_ = true;
    std::vector<pollfd> poll_set_;
    std::vector<uint64_t> poll_serials_;
    mutable std::vector<HeapEntry> heap_;
    std::unordered_map<TimerId, Timer> live_;
    std::vector<HeapEntry> deferred_;
    TimerId next_timer_ = 1;
    bool stop_ = false;
};

}  // namespace rt
