// The host's line: event loop, transports and the port controller's
// exchanges, retries, timeouts, resets and reopening. A scripted device
// stands in for the driver and a scripted far end answers on the master
// side of a pseudo-terminal (or on a loopback TCP socket). Time moves only
// when a test moves it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/wire/event_loop.h"
#include "runtime/wire/frame_codec.h"
#include "runtime/wire/port_controller.h"
#include "runtime/wire/transport.h"
#include "tests/support/pty_rig.h"
#include "tests/support/virtual_time.h"

using namespace std::chrono_literals;
using rt::Duration;
using namespace pty_rig;

TEST(WireLoop, TimersRunInOrderAndCanBeCancelled) {
    rt::ManualTime clock;
    rt::EventLoop loop(&clock);
    std::vector<int> ran;
    loop.After(3s, [&] { ran.push_back(3); });
    loop.After(1s, [&] { ran.push_back(1); });
    const auto two = loop.After(2s, [&] { ran.push_back(2); });
    loop.Cancel(two);
    loop.Cancel(two);  // twice is harmless
    EXPECT_EQ(loop.RunOnce(0s), 0);
    clock.Advance(1s);
    EXPECT_EQ(loop.RunOnce(0s), 1);
    clock.Advance(5s);
    loop.RunOnce(0s);
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
    EXPECT_EQ(loop.NextTimer(), rt::TimePoint::max());
}

TEST(WireLoop, ATimerThatRearmsForNowWaitsForTheNextPass) {
    rt::ManualTime clock;
    rt::EventLoop loop(&clock);
    int n = 0;
    std::function<void()> again = [&] {
        ++n;
        loop.After(0s, again);
    };
    loop.After(0s, again);
    EXPECT_EQ(loop.RunOnce(0s), 1);
    EXPECT_EQ(loop.RunOnce(0s), 1);
    EXPECT_EQ(n, 2);
    EXPECT_FALSE(loop.RunUntil([&] { return n > 10; }, 5, 0s)) << "bounded by passes";
}

TEST(WirePort, ChainRunsOverAPseudoTerminal) {
    PtyRig rig;
    rig.Start();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.dev.rounds_done == 1; }));
    ASSERT_EQ(rig.far.commands.size(), 3u);
    EXPECT_EQ(rig.far.commands[0].cid1, 0x40);
    EXPECT_EQ(rig.far.commands[1].cid1, 0x41);
    EXPECT_EQ(rig.far.commands[2].cid1, 0x42);
    for (const auto& c : rig.far.commands) {
        EXPECT_EQ(c.adr, 1);
        EXPECT_EQ(c.ver, 0x20);
    }
    ASSERT_EQ(rig.dev.frames.size(), 3u);
    EXPECT_EQ(rig.dev.frames[0],
              (std::vector<uint8_t>{0x20, 0x01, 0x40, 0x00, 0x00, 0x04, 0x00, 0x11}));
    EXPECT_EQ(rig.services->Of(HostCall::Kind::kPublish).size(), 1u)
        << "services reach the pluggable controller";
    const auto& st = rig.port->Stats(rig.dev);
    EXPECT_EQ(st.commands, 3u);
    EXPECT_EQ(st.replies, 3u);
    EXPECT_EQ(st.polls, 1u);
    EXPECT_EQ(st.Rejected(), 0u);
    EXPECT_EQ(rig.dev.errors, 0);

    // Nothing more until the poll interval has passed.
    rig.clock.Advance(9s);
    rig.Settle();
    EXPECT_EQ(rig.far.commands.size(), 3u);
    rig.clock.Advance(1s);
    ASSERT_TRUE(rig.RunUntil([&] { return rig.dev.rounds_done == 2; }));
    EXPECT_EQ(rig.far.commands.size(), 6u);
}

TEST(WirePort, DamagedRepliesAreRetriedAndNeverReachTheDevice) {
    struct Case {
        const char* what;
        std::function<std::string(const wire::Frame&)> bad;
        wire::FrameError error;
    } cases[] = {
        {"bad CHKSUM",
         [](const wire::Frame& f) {
             std::string s = FarEnd::Reply(f, {0x00, 0x11});
             s[s.size() - 2] = s[s.size() - 2] == '0' ? '1' : '0';
             return s;
         },
         wire::FrameError::kBadChksum},
        {"RTN 2", [](const wire::Frame& f) { return FarEnd::Reply(f, {}, 2); },
         wire::FrameError::kReturnCode},
        {"foreign address",
         [](const wire::Frame& f) {
             wire::Frame g = f;
             g.adr = 9;
             return FarEnd::Reply(g, {0x00, 0x11});
         },
         wire::FrameError::kWrongAddress},
        {"bad hex",
         [](const wire::Frame& f) {
             std::string s = FarEnd::Reply(f, {0x00, 0x11});
             s[3] = 'X';
             return s;
         },
         wire::FrameError::kBadHex},
    };
    for (const auto& c : cases) {
        PtyRig rig;
        int answered = 0;
        // The second command's first answer is damaged, its retry is good.
        rig.far.answer = [&](const wire::Frame& f) {
            ++answered;
            return answered == 2 ? c.bad(f) : FarEnd::Reply(f, {0x00, 0x11});
        };
        rig.Start();
        ASSERT_TRUE(rig.Virtual([&] { return rig.dev.rounds_done == 1; })) << c.what;
        EXPECT_EQ(rig.dev.frames.size(), 3u) << c.what;
        for (const auto& fr : rig.dev.frames) EXPECT_EQ(fr[3], 0) << c.what;
        EXPECT_EQ(rig.dev.errors, 1) << c.what;
        const auto& st = rig.port->Stats(rig.dev);
        EXPECT_EQ(st.rejected[static_cast<int>(c.error)], 1u) << c.what;
        EXPECT_EQ(st.retries, 1u) << c.what;
        // A damaged frame may not have been the answer, so the retry goes out
        // behind a fence; a well-formed error reply was the answer.
        const bool fenced = c.error != wire::FrameError::kReturnCode;
        EXPECT_EQ(st.fences, fenced ? 1u : 0u) << c.what;
        ASSERT_EQ(rig.far.commands.size(), fenced ? 5u : 4u) << c.what;
        if (fenced) {
            EXPECT_EQ(rig.far.commands[2].cid2, 0x4F) << c.what;
            EXPECT_NE(rig.far.commands[2].cid1, 0x41) << c.what << ": a unit that owes nothing";
        }
        EXPECT_EQ(rig.far.commands[fenced ? 3 : 2].cid1, 0x41) << c.what << ": the same command";
        ASSERT_EQ(rig.logs.size(), 1u) << c.what;
    }
}

TEST(WirePort, GarbageAndSplitRepliesAreTakenAsTheyCome) {
    PtyRig rig;
    rig.far.answer = [&](const wire::Frame& f) {
        const std::string r = FarEnd::Reply(f, {0x00, 0x22, 0x33});
        // Noise first, the frame in two writes, an extra CR after it.
        rig.far.Send("\x01\xFFnoise\n");
        rig.far.Send(r.substr(0, 7));
        return r.substr(7) + "\r";
    };
    rig.Start();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.dev.rounds_done == 1; }));
    EXPECT_EQ(rig.dev.errors, 0);
    EXPECT_EQ(rig.port->Stats(rig.dev).Rejected(), 0u);
    EXPECT_GT(rig.port->stray_bytes(), 0u);
}

TEST(WirePort, SilentControllerTimesOutRetriesAndIsPolledAgain) {
    PtyRig rig;
    bool silent = true;
    std::vector<Duration> sent_at;
    rig.far.answer = [&](const wire::Frame& f) {
        sent_at.push_back(rig.Elapsed());
        return silent ? std::string() : FarEnd::Reply(f, {0x00});
    };
    rig.Start();
    ASSERT_TRUE(rig.Virtual([&] { return rig.port->Stats(rig.dev).abandoned == 1; }));
    const auto& st = rig.port->Stats(rig.dev);
    EXPECT_EQ(st.timeouts, 3u);
    EXPECT_EQ(rig.dev.errors, 2) << "its command failed, then it was given up; fences are ours";
    ASSERT_EQ(rig.far.commands.size(), 3u) << "one send and two fences";
    EXPECT_EQ(rig.far.commands[1].cid2, 0x4F);
    EXPECT_EQ(rig.far.commands[2].cid2, 0x4F);
    EXPECT_NE(rig.far.commands[1].cid1, rig.far.commands[2].cid1)
        << "an unanswered fence owes a reply of its own unit too";
    // A reply may come up to three timeouts (6 s) after its command: each
    // try waits for that before it goes out.
    EXPECT_EQ(sent_at[1] - sent_at[0], Duration(6s));
    EXPECT_EQ(sent_at[2] - sent_at[1], Duration(6s));
    EXPECT_EQ(st.settles, 2u);
    EXPECT_EQ(rig.logs.size(), 1u) << "failures of one device are logged at a throttled rate";

    // The controller is back; the next round waits out the last retry's
    // window too, then runs.
    silent = false;
    ASSERT_TRUE(rig.Virtual([&] { return rig.dev.rounds_done == 1; }));
    ASSERT_EQ(sent_at.size(), 6u);
    EXPECT_GE(sent_at[3] - sent_at[2], Duration(6s));

    // The host's own timer keeps calling Reset(), every 30 s.
    ASSERT_TRUE(rig.Virtual([&] { return rig.dev.resets == 1; }));
    EXPECT_EQ(rig.Elapsed(), Duration(30s));
}

// A controller that answers in order but very late: the reply to the first
// command comes only when the next command has arrived, long after its
// window. Timing alone would take it for that command's answer.
TEST(WirePort, AReplyLaterThanItsWindowIsFencedOff) {
    PtyRig rig;
    std::string held;
    rig.far.answer = [&](const wire::Frame& f) {
        // INFO names the command, so a reply handed to the wrong one shows.
        const std::string tagged = FarEnd::Reply(f, {f.cid1, f.cid2});
        if (f.cid1 == 0x40 && held.empty()) {
            held = tagged;
            return std::string();
        }
        std::string out = held + tagged;
        held = "-";
        return out.substr(out[0] == '-' ? 1 : 0);
    };
    rig.Start();
    ASSERT_TRUE(rig.Virtual([&] { return rig.dev.rounds_done == 1; }));
    ASSERT_EQ(rig.dev.frames.size(), 3u);
    const std::pair<uint8_t, uint8_t> chain[] = {{0x40, 0x41}, {0x41, 0x41}, {0x42, 0x41}};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(rig.dev.frames[i].size(), 8u);
        EXPECT_EQ(rig.dev.frames[i][6], chain[i].first) << "reply " << i;
        EXPECT_EQ(rig.dev.frames[i][7], chain[i].second) << "reply " << i;
    }
    const auto& st = rig.port->Stats(rig.dev);
    EXPECT_EQ(st.timeouts, 1u);
    EXPECT_EQ(st.fences, 1u);
    EXPECT_EQ(st.late_replies, 1u) << "the late 40 reply, dropped while the fence waited";
    EXPECT_EQ(rig.far.commands[1].cid2, 0x4F);
    EXPECT_NE(rig.far.commands[1].cid1, 0x40);
}

TEST(WirePort, TimeoutRestartsWithEveryByteReceived) {
    PtyRig rig;
    std::string held;
    rig.far.answer = [&](const wire::Frame& f) {
        held = FarEnd::Reply(f, {0x00, 0x01, 0x02, 0x03});
        return std::string();
    };
    rig.dev.chain = {{0x41, 0x41}};
    rig.Start();
    ASSERT_TRUE(rig.RunUntil([&] { return !held.empty(); }));
    // Dribble the reply: each piece comes 1.5 s after the last, with a
    // 2 s timeout; in all it takes far longer than 2 s.
    for (size_t i = 0; i < held.size(); i += 4) {
        rig.clock.Advance(1500ms);
        rig.loop.RunOnce(0s);
        rig.far.Send(held.substr(i, 4));
        rig.Settle();
    }
    EXPECT_EQ(rig.dev.rounds_done, 1);
    EXPECT_EQ(rig.port->Stats(rig.dev).timeouts, 0u);
}

TEST(WirePort, ComputedTimeoutGrowsWithTheExpectedReply) {
    rt::EventLoop loop;
    auto port = std::make_shared<rt::PortController>(
        loop, [](int) { return std::unique_ptr<rt::Transport>(); });
    ScriptDevice dev;
    dev.Init(port, 1, Json::Value());
    rt::DeviceSchedule s;
    s.turnaround = 100ms;
    port->AddDevice(dev, s);
    const Duration ac = port->ReplyTimeout(dev, 0x40, 0x41);
    const Duration rect = port->ReplyTimeout(dev, 0x41, 0x41);
    EXPECT_GT(rect, ac);
    // 40 modules with every user value: about 2.7 k characters at 9600 baud.
    EXPECT_GT(rect, 2800ms);
    EXPECT_LT(rect, 3500ms);
    dev.baud_rate_ = 1200;
    EXPECT_GT(port->ReplyTimeout(dev, 0x41, 0x41), 8 * (rect - 100ms));
    s.reply_timeout = 7s;
    port->RemoveDevice(dev);
    port->AddDevice(dev, s);
    EXPECT_EQ(port->ReplyTimeout(dev, 0x41, 0x41), Duration(7s));
}

TEST(WirePort, ControlCommandWaitsForTheLine) {
    PtyRig rig;
    rig.port->AddDevice(rig.dev, rig.sched);
    EXPECT_FALSE(rig.port->InExchange(rig.dev)) << "nothing on the line before the start";
    rig.port->Start();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.far.commands.size() == 1; }));
    EXPECT_TRUE(rig.port->InExchange(rig.dev)) << "in its round";
    // Between two exchanges of the round the host sends a control command.
    const uint8_t info[2] = {0x20, 0x03};
    ASSERT_TRUE(rig.dev.write_pmbus_cmd(0x41, 0x45, info, 2));
    ASSERT_TRUE(rig.RunUntil([&] { return rig.far.commands.size() == 4; }));
    EXPECT_EQ(rig.far.commands[3].cid2, 0x45) << "after the round, not in the middle of it";
    EXPECT_EQ(rig.far.commands[3].info, (std::vector<uint8_t>{0x20, 0x03}));
    EXPECT_TRUE(rig.port->InExchange(rig.dev)) << "the control command awaits its reply";
    ASSERT_TRUE(rig.RunUntil([&] { return !rig.port->InExchange(rig.dev); }));
    EXPECT_EQ(rig.far.commands.size(), 4u);
}

TEST(WirePort, LostPortIsReopenedWithBackoff) {
    PtyRig rig;
    rig.Start();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.dev.rounds_done == 1; }));
    EXPECT_EQ(rig.opens, 1);
    std::vector<rt::LinkEvent::Kind> kinds;
    rig.port->on_event = [&](const rt::LinkEvent& e) { kinds.push_back(e.kind); };
    // The far end goes away: the pseudo-terminal is gone for good.
    rig.far.Detach();
    rig.master.Close();
    ASSERT_TRUE(rig.RunUntil([&] { return !rig.port->PortOpen(); }));
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds[0], rt::LinkEvent::Kind::kLost);
    // Reopen attempts after 1, 2, 4 s.
    int failures = 0;
    rig.port->on_event = [&](const rt::LinkEvent& e) {
        if (e.kind == rt::LinkEvent::Kind::kOpenFailed) ++failures;
    };
    rig.clock.Advance(999ms);
    rig.loop.RunOnce(0s);
    EXPECT_EQ(failures, 0);
    rig.clock.Advance(1ms);
    rig.loop.RunOnce(0s);
    EXPECT_EQ(failures, 1);
    rig.clock.Advance(1999ms);
    rig.loop.RunOnce(0s);
    EXPECT_EQ(failures, 1);
    rig.clock.Advance(1ms);
    rig.loop.RunOnce(0s);
    EXPECT_EQ(failures, 2);
    rig.clock.Advance(4s);
    rig.loop.RunOnce(0s);
    EXPECT_EQ(failures, 3);
}

TEST(WirePort, SecondOpenOfTheLineIsRefused) {
    rt::PtyMaster master;
    std::string err;
    ASSERT_TRUE(master.Open(&err)) << err;
    rt::SerialPort a(master.slave_path(), 9600);
    ASSERT_TRUE(a.Open(&err)) << err;
    rt::SerialPort b(master.slave_path(), 9600);
    if (::geteuid() != 0) {
        EXPECT_FALSE(b.Open(&err)) << "exclusive open";
    }
    a.Close();
    EXPECT_TRUE(b.Open(&err)) << err;
    rt::SerialPort c(master.slave_path(), 12345);
    EXPECT_FALSE(c.Open(&err));
    EXPECT_NE(err.find("baud"), std::string::npos) << err;
}

TEST(WirePort, ChainRunsOverTcpToASerialServer) {
    rt::ManualTime clock;
    rt::EventLoop loop(&clock);
    rt::TcpListener listener;
    std::string err;
    ASSERT_TRUE(listener.Listen(0, &err)) << err;
    // The connection outlives the far end that watches it.
    std::unique_ptr<rt::FdTransport> conn;
    FarEnd far(loop);
    loop.Watch(listener.fd(), [&](short) {
        const int fd = listener.Accept();
        if (fd < 0) return;
        conn = std::make_unique<rt::FdTransport>(fd, "accepted");
        far.Attach(*conn);
    });
    auto port = std::make_shared<rt::PortController>(
        loop, [&](int) { return std::make_unique<rt::TcpClient>("127.0.0.1", listener.port()); });
    ScriptDevice dev;
    dev.Init(port, 5, Json::Value());
    port->AddDevice(dev, rt::DeviceSchedule());
    port->Start();
    ASSERT_TRUE(loop.RunUntil([&] { return dev.rounds_done == 1; }, 400, 20ms));
    EXPECT_EQ(far.commands.size(), 3u);
    port->Stop();
}
