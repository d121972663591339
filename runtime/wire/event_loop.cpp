#include "runtime/wire/event_loop.h"

#include <poll.h>

#include <cerrno>

namespace rt {

EventLoop::EventLoop(const TimeSource* time) : time_(time != nullptr ? time : &steady_) {}

void EventLoop::Watch(int fd, IoCallback cb, bool want_write) {
    watchers_[fd] = Watcher{next_serial_++, std::move(cb), want_write};
}

void EventLoop::WantWrite(int fd, bool want_write) {
    auto it = watchers_.find(fd);
    if (it != watchers_.end()) it->second.want_write = want_write;
}

void EventLoop::Unwatch(int fd) {
    watchers_.erase(fd);
}

EventLoop::TimerId EventLoop::At(TimePoint when, std::function<void()> cb) {
    const TimerId id = next_timer_++;
    auto it = timers_.emplace(when, Timer{id, std::move(cb)});
    timer_index_[id] = it;
    return id;
}

void EventLoop::Cancel(TimerId id) {
    auto it = timer_index_.find(id);
    if (it == timer_index_.end()) return;
    timers_.erase(it->second);
    timer_index_.erase(it);
}

TimePoint EventLoop::NextTimer() const {
    return timers_.empty() ? TimePoint::max() : timers_.begin()->first;
}

int EventLoop::RunDueTimers() {
    int ran = 0;
    // Only timers due now run in this pass; one that re-arms itself for
    // "now" waits for the next pass, so a pass always ends.
    const TimePoint now = Now();
    const TimerId limit = next_timer_;
    for (;;) {
        auto it = timers_.begin();
        while (it != timers_.end() && it->first <= now && it->second.id >= limit) ++it;
        if (it == timers_.end() || it->first > now) break;
        std::function<void()> cb = std::move(it->second.cb);
        timer_index_.erase(it->second.id);
        timers_.erase(it);
        cb();
        ++ran;
    }
    return ran;
}

int EventLoop::RunOnce(Duration max_wait) {
    std::vector<pollfd> fds;
    std::vector<uint64_t> serials;
    fds.reserve(watchers_.size());
    for (const auto& [fd, w] : watchers_) {
        pollfd p{};
        p.fd = fd;
        p.events = static_cast<short>(POLLIN | (w.want_write ? POLLOUT : 0));
        fds.push_back(p);
        serials.push_back(w.serial);
    }
    Duration wait = max_wait;
    const TimePoint next = NextTimer();
    if (next != TimePoint::max()) {
        const Duration until = next - Now();
        if (until < wait) wait = until;
    }
    if (wait < Duration::zero()) wait = Duration::zero();
    // Round up so that a timer 0.3 ms away does not turn into a busy loop.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    if (ms > 60000) ms = 60000;
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(ms));
    if (n < 0 && errno != EINTR) n = 0;

    int ran = 0;
    for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        // A callback may have removed or replaced this watcher meanwhile.
        auto it = watchers_.find(fds[i].fd);
        if (it == watchers_.end() || it->second.serial != serials[i]) continue;
        IoCallback cb = it->second.cb;
        cb(fds[i].revents);
        ++ran;
    }
    ran += RunDueTimers();
    return ran;
}

void EventLoop::Run() {
    stop_ = false;
    while (!stop_) RunOnce(std::chrono::seconds(1));
}

}  // namespace rt
