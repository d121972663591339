// One poll(2) loop for every port, timer and simulator of a host process.
// Nothing here starts a thread: callbacks run on the thread that runs the
// loop, one at a time, so devices see the host call them one operation at
// a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
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

  private:
    struct Watcher {
        uint64_t serial;
        IoCallback cb;
        bool want_write;
    };
    struct Timer {
        TimerId id;
        std::function<void()> cb;
    };

    int RunDueTimers();

    SteadyTime steady_;
    const TimeSource* time_;
    std::map<int, Watcher> watchers_;
    uint64_t next_serial_ = 1;
    std::multimap<TimePoint, Timer> timers_;
    std::map<TimerId, std::multimap<TimePoint, Timer>::iterator> timer_index_;
    TimerId next_timer_ = 1;
    bool stop_ = false;
};

}  // namespace rt
