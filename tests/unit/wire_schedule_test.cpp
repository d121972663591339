// When rounds start: on the poll interval, and when a device declines a
// round because its last one has only just ended, again shortly after
// rather than a whole interval later. The device here keeps the driver's
// rule (no round while its seconds clock is within a second of the last
// round's end) on the loop's manual clock, with its seconds at a phase of
// the test's choosing, so every case is exact and nothing waits.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <vector>

#include "tests/support/pty_rig.h"
#include "tests/support/virtual_time.h"

using namespace std::chrono_literals;
using namespace pty_rig;
using rt::Duration;
using rt::TimePoint;

namespace {

struct SecondsClockDevice : ScriptDevice {
    const rt::ManualTime* clock = nullptr;
    TimePoint origin{};
    Duration phase{};
    long last_end = LONG_MIN;
    int declined = 0;
    std::vector<TimePoint> starts, ends;

    long Seconds() const {
        return static_cast<long>(
            std::floor(std::chrono::duration<double>(clock->Now() - origin + phase).count()));
    }
    bool RefreshStatus() override {
        if (last_end != LONG_MIN && Seconds() - last_end <= 1) {
            ++declined;
            return false;
        }
        starts.push_back(clock->Now());
        return ScriptDevice::RefreshStatus();
    }
    int process_payload() override {
        const int r = ScriptDevice::process_payload();
        if (r == 0) {
            last_end = Seconds();
            ends.push_back(clock->Now());
        }
        return r;
    }
};

double Sec(Duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

TEST(WireSchedule, ARoundComesEveryIntervalWhenTheDeviceDeclinesOneThatIsTooSoon) {
    const Duration round = 5700ms;
    struct Case {
        Duration interval;
        Duration phase;  // of the device's seconds against the loop's clock
    };
    const Case cases[] = {
        {1500ms, 0ms}, {1500ms, 500ms}, {2s, 0ms},   {2s, 500ms},
        {2s, 900ms},   {7s, 0ms},       {7s, 500ms}, {7s, 900ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("interval " + std::to_string(Sec(c.interval)) + " s, phase " +
                     std::to_string(Sec(c.phase)) + " s");
        PtyRig rig;
        SecondsClockDevice dev;
        dev.clock = &rig.clock;
        dev.origin = rig.clock.Now();
        dev.phase = c.phase;
        dev.chain = {{0x41, 0x41}};
        dev.Init(rig.port, 42, Json::Value());
        // The reply comes a round's time after the command: a large site at
        // 9600 baud, as one exchange.
        rig.far.answer = [&](const wire::Frame& f) {
            const std::string reply = FarEnd::Reply(f, {0x00, 0x11});
            rig.loop.After(round, [&rig, reply] { rig.far.Send(reply); });
            return std::string();
        };
        rig.sched.poll_interval = c.interval;
        rig.sched.reply_timeout = 10s;
        rig.port->AddDevice(dev, rig.sched);
        rig.port->Start();
        RunVirtual(
            rig.loop, rig.clock, [] { return false; }, 80s);

        ASSERT_GE(dev.ends.size(), 8u);
        EXPECT_EQ(rig.port->Stats(dev).timeouts, 0u);
        // A declined start is asked again a quarter of a second later.
        const Duration retry = 250ms;
        for (size_t i = 0; i + 1 < dev.starts.size() && i < dev.ends.size(); ++i) {
            // The device takes a round again at most two seconds after the
            // last ended; the interval may ask for it later.
            const TimePoint allowed = std::max(dev.starts[i] + c.interval, dev.ends[i] + 2s);
            EXPECT_LE(dev.starts[i + 1], allowed + retry)
                << "round " << i + 1 << " started " << Sec(dev.starts[i + 1] - dev.starts[i])
                << " s after the one before";
            // Never sooner than the interval asks, except by the time lost
            // to a declined start before.
            EXPECT_GE(dev.starts[i + 1] - dev.starts[i], std::min(c.interval, round) - 1s);
        }
        if (c.interval >= round + 2s) {
            // Every round on its interval: 80 s hold at least 11 of them.
            EXPECT_GE(dev.starts.size(), 11u);
        }
    }
}
