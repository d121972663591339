#include "sim/server.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace sim {

namespace {

// A scenario that loaded keeps both within bounds; one made up in code is
// held to them here, as converting NaN or an enormous count of
// milliseconds to the clock's integer ticks is undefined.
double DelayMs(const Scenario& sc, const Response& r) {
    const double ms = sc.turnaround_ms + r.extra_delay_ms;
    if (!(ms >= 0)) return 0;
    return std::min(ms, limits::kMaxTurnaroundMs + limits::kMaxDelayMs);
}

}  // namespace

SimServer::SimServer(rt::EventLoop& loop, Scenario scenario)
    : loop_(loop), ctl_(std::move(scenario)), started_(loop.Now()) {}

SimServer::~SimServer() {
    Stop();
}

rt::Duration SimServer::CharTime() const {
    const int baud = ctl_.scenario().baud > 0 ? ctl_.scenario().baud : 9600;
    return std::chrono::duration_cast<rt::Duration>(
        std::chrono::nanoseconds(10'000'000'000LL / baud));
}

bool SimServer::ServePty(std::string* error) {
    pty_ = std::make_unique<rt::PtyMaster>();
    if (!pty_->Open(error)) return false;
    Attach(*pty_);
    return true;
}

bool SimServer::ServeTcp(uint16_t port, std::string* error) {
    if (!listener_.Listen(port, error)) return false;
    loop_.Watch(listener_.fd(), [this](short) { OnAccept(); });
    return true;
}

void SimServer::Stop() {
    loop_.Cancel(pump_timer_);
    pump_timer_ = 0;
    out_.clear();
    if (line_ != nullptr && line_->fd() >= 0) loop_.Unwatch(line_->fd());
    line_ = nullptr;
    client_.reset();
    if (pty_) pty_->Close();
    if (listener_.fd() >= 0) loop_.Unwatch(listener_.fd());
    listener_.Close();
}

std::string SimServer::Endpoint() const {
    if (pty_) return pty_->slave_path();
    return "127.0.0.1:" + std::to_string(listener_.port());
}

const std::string& SimServer::pty_path() const {
    static const std::string none;
    return pty_ ? pty_->slave_path() : none;
}

void SimServer::Attach(rt::Transport& t) {
    line_ = &t;
    frames_.Drop();
    loop_.Watch(t.fd(), [this](short ev) {
        if ((ev & POLLOUT) != 0) Pump();
        if ((ev & (POLLIN | POLLHUP | POLLERR)) != 0) OnReadable();
    });
}

void SimServer::OnAccept() {
    const int fd = listener_.Accept();
    if (fd < 0) return;
    // One host at a time, as on a serial line: a new connection replaces
    // the old one.
    DropClient();
    client_ = std::make_unique<rt::FdTransport>(fd, "tcp client");
    Attach(*client_);
}

void SimServer::DropClient() {
    if (!client_) return;
    if (line_ == client_.get()) {
        loop_.Unwatch(client_->fd());
        line_ = nullptr;
        out_.clear();
    }
    client_.reset();
}

void SimServer::OnReadable() {
    uint8_t buf[4096];
    std::vector<wire::FrameAssembler::Piece> pieces;
    while (line_ != nullptr) {
        const ssize_t n = line_->Read(buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            if (client_ && line_ == client_.get()) DropClient();
            return;
        }
        if (n < 0) break;
        const rt::TimePoint now = loop_.Now();
        if (!frames_.InFrame()) frame_start_ = now;
        pieces.clear();
        frames_.Feed(buf, static_cast<size_t>(n), &pieces);
        const double t = std::chrono::duration<double>(now - started_).count();
        for (const auto& p : pieces) {
            if (burst_open_ && out_.empty() && frame_start_ - burst_end_ > std::chrono::seconds(1))
                CloseRound();
            if (!burst_open_) {
                burst_open_ = true;
                burst_start_ = frame_start_;
                burst_end_ = frame_start_;
                burst_base_ = stats_;
            }
            ++stats_.commands;
            const uint64_t cmd_chars = p.body.size() + 2;
            stats_.chars_in += cmd_chars;
            if (p.error != wire::FrameError::kNone) continue;
            Response r = responder_ ? responder_(p.body, t) : ctl_.Answer(p.body, t);
            const auto& sc = ctl_.scenario();
            // The echo crosses the line with the command itself, character
            // for character.
            if (!r.echo.empty()) QueueEcho(std::move(r.echo), sc.pace ? frame_start_ : now);
            if (r.text.empty()) continue;
            rt::Duration delay = std::chrono::duration_cast<rt::Duration>(
                std::chrono::duration<double, std::milli>(DelayMs(sc, r)));
            rt::TimePoint start = now;
            // On a real line the command is only complete when its last
            // character has crossed it.
            if (sc.pace) start = std::max(now, frame_start_ + WireTime(cmd_chars));
            start = std::max(start, busy_until_) + delay;
            stats_.turnaround += delay;
            // Half duplex: the controller answers one command at a time, so
            // a late reply holds back the replies to everything after it.
            busy_until_ = sc.pace ? start + WireTime(r.text.size()) : start;
            out_.push_back(Out{std::move(r.text), start, 0});
        }
    }
    Pump();
}

void SimServer::QueueEcho(std::string bytes, rt::TimePoint start) {
    // The converter does not wait for the controller: an echo goes ahead of
    // any reply still waiting for its turn (a late one, say), though not
    // into the middle of one already under way.
    const auto later = std::find_if(out_.begin(), out_.end(),
                                    [&](const Out& o) { return o.sent == 0 && o.start > start; });
    out_.insert(later, Out{std::move(bytes), start, 0, false});
}

void SimServer::Pump() {
    loop_.Cancel(pump_timer_);
    pump_timer_ = 0;
    if (line_ == nullptr) return;
    const bool pace = ctl_.scenario().pace;
    const rt::Duration ct = CharTime();
    while (!out_.empty()) {
        Out& o = out_.front();
        const rt::TimePoint now = loop_.Now();
        if (now < o.start) {
            pump_timer_ = loop_.At(o.start, [this] { Pump(); });
            return;
        }
        size_t due = o.bytes.size();
        if (pace) {
            // Character k has fully arrived at start + (k + 1) character times.
            const auto k = static_cast<size_t>((now - o.start) / ct);
            due = std::min(due, k);
        }
        if (due > o.sent) {
            const ssize_t w = line_->Write(
                reinterpret_cast<const uint8_t*>(o.bytes.data()) + o.sent, due - o.sent);
            if (w < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    out_.clear();
                    return;
                }
                loop_.WantWrite(line_->fd(), true);
                return;
            }
            loop_.WantWrite(line_->fd(), false);
            o.sent += static_cast<size_t>(w);
            stats_.chars_out += static_cast<uint64_t>(w);
        }
        if (o.sent == o.bytes.size()) {
            if (o.reply) ++stats_.replies;
            burst_end_ = now;
            out_.pop_front();
            continue;
        }
        if (o.sent < due) {
            loop_.WantWrite(line_->fd(), true);
            return;
        }
        rt::TimePoint next = o.start + ct * static_cast<long>(o.sent + 1);
        // The last character still goes when it is due: a chunked line is
        // coarse inside a reply, never at its end.
        if (pace_tick_ > rt::Duration::zero())
            next = std::min(std::max(next, now + pace_tick_),
                            o.start + ct * static_cast<long>(o.bytes.size()));
        pump_timer_ = loop_.At(next, [this] { Pump(); });
        return;
    }
}

void SimServer::CloseRound() {
    if (!burst_open_) return;
    burst_open_ = false;
    const uint64_t chars =
        (stats_.chars_in - burst_base_.chars_in) + (stats_.chars_out - burst_base_.chars_out);
    const rt::Duration floor = WireTime(chars) + (stats_.turnaround - burst_base_.turnaround);
    const rt::Duration took = burst_end_ - burst_start_;
    if (floor <= rt::Duration::zero() || took <= rt::Duration::zero()) return;
    ++stats_.rounds;
    stats_.round_time += took;
    stats_.round_floor += floor;
    const double over = 100.0 * (std::chrono::duration<double>(took).count() /
                                     std::chrono::duration<double>(floor).count() -
                                 1.0);
    stats_.worst_over_pct = std::max(stats_.worst_over_pct, over);
}

}  // namespace sim
