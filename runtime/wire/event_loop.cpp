#include "runtime/wire/event_loop.h"

#include <algorithm>
#include <cerrno>

namespace rt {

EventLoop::EventLoop(const TimeSource* time) : time_(time != nullptr ? time : &steady_) {}

void EventLoop::Watch(int fd, IoCallback cb, bool want_write) {
    Watcher w;
    w.serial = next_serial_++;
    w.cb = std::make_shared<IoCallback>(std::move(cb));
    w.want_write = want_write;
    watchers_[fd] = std::move(w);
    poll_set_dirty_ = true;
}

short EventLoop::EventsOf(const Watcher& w) const {
    return static_cast<short>((w.want_read ? POLLIN : 0) | (w.want_write ? POLLOUT : 0));
}

void EventLoop::UpdateSlot(int fd, const Watcher& w) {
    if (poll_set_dirty_) return;
    pollfd& p = poll_set_[w.slot];
    // A watcher that wants nothing is left out of poll(2) altogether, or a
    // hang-up would wake the loop while reading is held back.
    p.events = EventsOf(w);
    p.fd = p.events == 0 ? -1 : fd;
}

void EventLoop::WantWrite(int fd, bool want_write) {
    auto it = watchers_.find(fd);
    if (it == watchers_.end() || it->second.want_write == want_write) return;
    it->second.want_write = want_write;
    UpdateSlot(fd, it->second);
}

void EventLoop::WantRead(int fd, bool want_read) {
    auto it = watchers_.find(fd);
    if (it == watchers_.end() || it->second.want_read == want_read) return;
    it->second.want_read = want_read;
    UpdateSlot(fd, it->second);
}

void EventLoop::Unwatch(int fd) {
    if (watchers_.erase(fd) > 0) poll_set_dirty_ = true;
}

void EventLoop::RebuildPollSet() {
    poll_set_.clear();
    poll_serials_.clear();
    for (auto& [fd, w] : watchers_) {
        w.slot = poll_set_.size();
        pollfd p{};
        p.events = EventsOf(w);
        p.fd = p.events == 0 ? -1 : fd;
        poll_set_.push_back(p);
        poll_serials_.push_back(w.serial);
    }
    poll_set_dirty_ = false;
}

EventLoop::TimerId EventLoop::At(TimePoint when, std::function<void()> cb) {
    const TimerId id = next_timer_++;
    live_.emplace(id, Timer{when, std::move(cb)});
    heap_.push_back(HeapEntry{when, id});
    std::push_heap(heap_.begin(), heap_.end(), Later);
    return id;
}

void EventLoop::Cancel(TimerId id) {
    live_.erase(id);
}

void EventLoop::PopHeap() {
    std::pop_heap(heap_.begin(), heap_.end(), Later);
    heap_.pop_back();
}

void EventLoop::PruneHeap() const {
    if (heap_.size() > 64 && heap_.size() > 2 * live_.size()) {
        heap_.clear();
        for (const auto& [id, t] : live_) heap_.push_back(HeapEntry{t.when, id});
        std::make_heap(heap_.begin(), heap_.end(), Later);
        return;
    }
    while (!heap_.empty() && live_.count(heap_.front().id) == 0) {
        std::pop_heap(heap_.begin(), heap_.end(), Later);
        heap_.pop_back();
    }
}

TimePoint EventLoop::NextTimer() const {
    PruneHeap();
    return heap_.empty() ? TimePoint::max() : heap_.front().when;
}

int EventLoop::RunDueTimers() {
    int ran = 0;
    // Only timers due now run in this pass; one that re-arms itself for
    // "now" waits for the next pass, so a pass always ends.
    const TimePoint now = Now();
    const TimerId limit = next_timer_;
    deferred_.clear();
    while (!heap_.empty() && heap_.front().when <= now) {
        const HeapEntry e = heap_.front();
        PopHeap();
        auto it = live_.find(e.id);
        if (it == live_.end()) continue;
        if (e.id >= limit) {
            deferred_.push_back(e);
            continue;
        }
        std::function<void()> cb = std::move(it->second.cb);
        live_.erase(it);
        cb();
        ++ran;
    }
    for (const HeapEntry& e : deferred_) {
        heap_.push_back(e);
        std::push_heap(heap_.begin(), heap_.end(), Later);
    }
    return ran;
}

int EventLoop::RunOnce(Duration max_wait) {
    if (poll_set_dirty_) RebuildPollSet();
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
    int n = ::poll(poll_set_.data(), poll_set_.size(), static_cast<int>(ms));
    if (n < 0 && errno != EINTR) n = 0;

    int ran = 0;
    // Callbacks may add or remove watchers: that only marks the array for
    // rebuilding at the next pass, so it still holds what poll(2) gave; a
    // watcher removed or replaced meanwhile is told by its serial.
    for (size_t i = 0; n > 0 && i < poll_set_.size(); ++i) {
        const pollfd p = poll_set_[i];
        if (p.revents == 0 || p.fd < 0) continue;
        auto it = watchers_.find(p.fd);
        if (it == watchers_.end() || it->second.serial != poll_serials_[i]) continue;
        std::shared_ptr<IoCallback> cb = it->second.cb;
        (*cb)(p.revents);
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
