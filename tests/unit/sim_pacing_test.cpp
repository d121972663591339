// The simulator as the scale benchmark uses it: replies handed over in
// chunks without ever running ahead of the line or finishing late, rounds
// measured against the line's own time, and many controllers on one loop.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "runtime/wire/event_loop.h"
#include "runtime/wire/frame_codec.h"
#include "runtime/wire/transport.h"
#include "sim/scenario.h"
#include "sim/server.h"

using namespace std::chrono_literals;

namespace {

// A controller with one rectifier module and nothing else: its replies are
// short and exact.
sim::Scenario Scenario(int baud, double turnaround_ms) {
    sim::Scenario s;
    s.baud = baud;
    s.turnaround_ms = turnaround_ms;
    sim::RectifierUnit rc;
    rc.voltage = 53.5;
    rc.modules.resize(1);
    rc.modules[0].current = 9.0;
    s.rectifiers = rc;
    return s;
}

std::string Command(uint8_t cid1, uint8_t cid2) {
    return wire::EncodeCommand(wire::Version(0x20), wire::Address(1), cid1, cid2, nullptr, 0);
}

struct Line {
    explicit Line(rt::Transport& t) : t(t) {}
    void Send(const std::string& s) {
        ASSERT_EQ(t.Write(reinterpret_cast<const uint8_t*>(s.data()), s.size()),
                  static_cast<ssize_t>(s.size()));
    }
    // Whatever has arrived; true when something did.
    bool Drain() {
        uint8_t buf[4096];
        bool any = false;
        ssize_t n;
        while ((n = t.Read(buf, sizeof buf)) > 0) {
            got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
            any = true;
        }
        return any;
    }
    rt::Transport& t;
    std::string got;
};

}  // namespace

TEST(SimPacing, ChunksNeverRunAheadOfTheLineAndTheLastCharacterIsOnTime) {
    for (const rt::Duration tick : {rt::Duration::zero(), rt::Duration(20ms), rt::Duration(50ms)}) {
        SCOPED_TRACE("tick " + std::to_string(std::chrono::duration<double>(tick).count()));
        rt::ManualTime clock;
        rt::EventLoop loop(&clock);
        sim::SimServer server(loop, Scenario(1200, 40));
        server.SetPaceTick(tick);
        std::string err;
        ASSERT_TRUE(server.ServePty(&err)) << err;
        rt::SerialPort host(server.pty_path(), 1200);
        ASSERT_TRUE(host.Open(&err)) << err;
        Line line(host);

        const std::string cmd = Command(0x41, 0x41);
        line.Send(cmd);
        ASSERT_TRUE(loop.RunUntil([&] { return server.stats().commands == 1; }, 200, 5ms));
        const rt::TimePoint sent = clock.Now();
        const rt::Duration ct = server.CharTime();
        const rt::TimePoint start = sent + ct * static_cast<long>(cmd.size()) + 40ms;

        // Step through the reply a millisecond at a time.
        int chunks = 0;
        rt::TimePoint complete{};
        for (int ms = 0; ms < 3000 && complete == rt::TimePoint{}; ++ms) {
            clock.Advance(1ms);
            for (int i = 0; i < 3; ++i) loop.RunOnce(0ms);
            if (!line.Drain()) continue;
            ++chunks;
            // Character k has arrived k + 1 character times after the start.
            const auto due = clock.Now() < start ? 0 : (clock.Now() - start) / ct;
            EXPECT_LE(static_cast<long>(line.got.size()), due) << "ahead of the line";
            if (!line.got.empty() && line.got.back() == wire::kEoi) complete = clock.Now();
        }
        ASSERT_NE(complete, rt::TimePoint{});
        const size_t chars = line.got.size();
        const rt::TimePoint last_due = start + ct * static_cast<long>(chars);
        EXPECT_GE(complete, last_due);
        EXPECT_LT(complete - last_due, 1ms + rt::Duration(1us)) << "the last character was late";
        if (tick == rt::Duration::zero()) {
            EXPECT_GE(chunks, static_cast<int>(chars) / 2) << "a character at a time";
        } else {
            // One chunk per tick of the reply's time, and the last one.
            const auto reply_time = ct * static_cast<long>(chars);
            EXPECT_LE(chunks, static_cast<int>(reply_time / tick) + 2);
        }
    }
}

TEST(SimPacing, RoundsAreBurstsMeasuredAgainstTheLinesOwnTime) {
    rt::ManualTime clock;
    rt::EventLoop loop(&clock);
    sim::SimServer server(loop, Scenario(9600, 30));
    std::string err;
    ASSERT_TRUE(server.ServePty(&err)) << err;
    rt::SerialPort host(server.pty_path(), 9600);
    ASSERT_TRUE(host.Open(&err)) << err;
    Line line(host);

    // Two rounds of two exchanges each, five seconds apart; each command
    // goes as soon as the reply before it is in, as a host would send it.
    for (int round = 0; round < 2; ++round) {
        for (uint8_t cid2 : {0x41, 0x43}) {
            const size_t before = server.stats().replies;
            line.Send(Command(0x41, cid2));
            ASSERT_TRUE(loop.RunUntil([&] { return server.stats().commands > 0; }, 200, 5ms));
            for (int ms = 0; ms < 2000 && server.stats().replies == before; ++ms) {
                clock.Advance(1ms);
                loop.RunOnce(0ms);
                loop.RunOnce(0ms);
            }
            ASSERT_GT(server.stats().replies, before);
            line.Drain();
        }
        clock.Advance(5s);
        loop.RunOnce(0ms);
    }
    server.CloseRound();
    const auto& st = server.stats();
    EXPECT_EQ(st.rounds, 2u);
    // Each round is its characters and turnarounds, plus up to a
    // millisecond per exchange for stepping the clock by milliseconds.
    EXPECT_GE(st.round_time, st.round_floor - 1ms);
    EXPECT_LE(st.round_time, st.round_floor + 2 * 2 * 2ms);
    EXPECT_GT(st.round_floor, 2 * 2 * 30ms);
    EXPECT_LT(st.worst_over_pct, 10.0);
}

TEST(SimPacing, ManyControllersOnOneLoopAnswerEachTheirOwnLine) {
    rt::EventLoop loop;
    sim::Scenario s = Scenario(9600, 0);
    s.pace = false;
    std::vector<std::unique_ptr<sim::SimServer>> servers;
    std::vector<std::unique_ptr<rt::TcpClient>> hosts;
    std::string err;
    for (int i = 0; i < 5; ++i) {
        servers.push_back(std::make_unique<sim::SimServer>(loop, s));
        ASSERT_TRUE(servers.back()->ServeTcp(0, &err)) << err;
    }
    for (auto& srv : servers) {
        hosts.push_back(std::make_unique<rt::TcpClient>("127.0.0.1", srv->tcp_port()));
        ASSERT_TRUE(hosts.back()->Open(&err)) << err;
    }
    // The servers accept on the loop; a loopback connect is done by then.
    loop.RunUntil([&] { return false; }, 20, 5ms);
    for (auto& h : hosts) {
        if (h->Connecting()) {
            ASSERT_TRUE(h->FinishOpen(&err)) << err;
        }
    }
    std::vector<Line> lines;
    for (auto& h : hosts) lines.emplace_back(*h);
    // Only the third line asks; only it gets an answer.
    lines[2].Send(Command(0x41, 0x41));
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            lines[2].Drain();
            return !lines[2].got.empty() && lines[2].got.back() == wire::kEoi;
        },
        400, 5ms));
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == 2) continue;
        lines[i].Drain();
        EXPECT_EQ(lines[i].got, "") << "line " << i;
        EXPECT_EQ(servers[i]->stats().commands, 0u);
    }
    EXPECT_EQ(servers[2]->stats().replies, 1u);
}
