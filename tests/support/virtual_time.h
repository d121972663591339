// Runs an event loop on manual time: whatever I/O is ready is handled at
// once, and when the loop has nothing to do the clock jumps to the next
// timer. Tests get every timeout, retry and quiet gap in the order a real
// line would give them, without waiting for any of them.
#pragma once

#include <chrono>
#include <functional>

#include "runtime/wire/event_loop.h"

// Until `done()` or until the clock has moved `limit` (or `max_passes`
// loop passes ran); true when `done()` held. `idle_wait` is how long a pass
// waits for bytes still in flight through a pseudo-terminal before the
// loop counts as idle.
inline bool RunVirtual(rt::EventLoop& loop, rt::ManualTime& clock,
                       const std::function<bool()>& done, rt::Duration limit,
                       long max_passes = 2'000'000,
                       rt::Duration idle_wait = std::chrono::milliseconds(1)) {
    const rt::TimePoint end = clock.Now() + limit;
    for (long pass = 0; pass < max_passes; ++pass) {
        if (done()) return true;
        if (loop.RunOnce(rt::Duration::zero()) > 0) continue;
        if (loop.RunOnce(idle_wait) > 0) continue;
        const rt::TimePoint next = loop.NextTimer();
        if (next == rt::TimePoint::max() || next > end) {
            if (end > clock.Now()) clock.Advance(end - clock.Now());
            loop.RunOnce(rt::Duration::zero());
            return done();
        }
        if (next > clock.Now()) clock.Advance(next - clock.Now());
    }
    return done();
}
