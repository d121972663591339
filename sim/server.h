// The simulated controller on a line: a pseudo-terminal or a TCP port on
// loopback, served from an event loop (the caller's, so tests and the host
// can share one loop with it).
//
// A pseudo-terminal delivers bytes at once; a real line does not. With
// pacing on, a command counts as arrived only when its characters would
// have crossed the line, the reply starts a turnaround later, and each
// character of the reply is handed over when its tenth bit would have
// arrived. A round over the pseudo-terminal then takes what it would on the
// wire, and what the host adds on top can be measured.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/wire/event_loop.h"
#include "runtime/wire/frame_codec.h"
#include "runtime/wire/transport.h"
#include "sim/controller.h"

namespace sim {

class SimServer {
  public:
    struct Stats {
        uint64_t commands = 0;
        uint64_t replies = 0;       // replies written out completely
        uint64_t chars_in = 0;      // command frames, SOI and EOI included
        uint64_t chars_out = 0;     // everything written
        rt::Duration turnaround{};  // turnaround and scripted delays put in
        // Rounds: bursts of exchanges with no second of silence inside,
        // from a command's first character to the last reply's last one,
        // against the line's own time for their characters and turnarounds.
        uint64_t rounds = 0;
        rt::Duration round_time{};   // summed over the rounds
        rt::Duration round_floor{};  // summed over the rounds
        double worst_over_pct = 0;   // the largest excess of one round
    };

    SimServer(rt::EventLoop& loop, Scenario scenario);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    bool ServePty(std::string* error);
    bool ServeTcp(uint16_t port, std::string* error);
    void Stop();

    // Where a host connects: the pseudo-terminal's slave path, or
    // "127.0.0.1:port".
    std::string Endpoint() const;
    const std::string& pty_path() const;
    uint16_t tcp_port() const { return listener_.port(); }

    SimController& controller() { return ctl_; }
    // Answers commands instead of the scenario's controller (a replayed
    // trace); the scenario still sets the line's speed and pacing.
    using Responder = std::function<Response(std::string_view body, double now)>;
    void SetResponder(Responder r) { responder_ = std::move(r); }
    const Stats& stats() const { return stats_; }
    void ResetStats() {
        stats_ = Stats();
        burst_open_ = false;
    }
    // With pacing on, hand reply characters over in chunks at most this
    // far apart instead of one at a time (zero: one at a time). A
    // simulator serving a thousand lines cannot afford a wake-up per
    // character; the line's speed is kept either way.
    void SetPaceTick(rt::Duration tick) { pace_tick_ = tick; }
    // Closes the round under way, if any, into the stats.
    void CloseRound();
    // Nothing waiting to go out.
    bool Idle() const { return out_.empty(); }

    // Time of one character on the line.
    rt::Duration CharTime() const;
    // The wire time of `chars` characters.
    rt::Duration WireTime(uint64_t chars) const { return CharTime() * static_cast<long>(chars); }

  private:
    struct Out {
        std::string bytes;
        rt::TimePoint start;
        size_t sent = 0;
        bool reply = true;  // false: an echo of the host's command
    };

    void Attach(rt::Transport& t);
    void OnReadable();
    void OnAccept();
    void DropClient();
    void Pump();
    void QueueEcho(std::string bytes, rt::TimePoint start);

    rt::EventLoop& loop_;
    SimController ctl_;
    Responder responder_;
    rt::TimePoint started_;
    std::unique_ptr<rt::PtyMaster> pty_;
    rt::TcpListener listener_;
    std::unique_ptr<rt::FdTransport> client_;
    rt::Transport* line_ = nullptr;
    wire::FrameAssembler frames_;
    rt::TimePoint frame_start_{};
    std::deque<Out> out_;
    rt::TimePoint busy_until_{};
    rt::EventLoop::TimerId pump_timer_ = 0;
    rt::Duration pace_tick_{};
    Stats stats_;
    // The round under way: when it began and the counters then.
    bool burst_open_ = false;
    rt::TimePoint burst_start_{}, burst_end_{};
    Stats burst_base_;
};

}  // namespace sim
