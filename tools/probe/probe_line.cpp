#include "tools/probe/probe_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "runtime/wire/frame_codec.h"

namespace probe {

namespace {

// The protocol's query for the protocol version: every controller of this
// family answers it (with RTN 0, or RTN 4 if it does not know the command),
// and the reply's VER names the version it speaks.
constexpr uint8_t kScanUnit = 0x41;
constexpr uint8_t kGetVersion = 0x4F;

std::vector<uint8_t> ArgBytes(Arg a) {
    switch (a) {
        case Arg::kNone:
            return {};
        case Arg::kGroup:
            return {0x01};
        case Arg::kAll:
            return {0xFF};
    }
    return {};
}

std::string Hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

}  // namespace

LineProbe::LineProbe(rt::EventLoop& loop, rt::Transport& line, LineOptions opt)
    : loop_(loop), line_(line), opt_(opt) {}

LineProbe::~LineProbe() {
    if (line_.IsOpen()) loop_.Unwatch(line_.fd());
}

bool LineProbe::WriteAll(const std::string& frame, rt::TimePoint deadline) {
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n =
            line_.Write(reinterpret_cast<const uint8_t*>(frame.data()) + sent, frame.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error_ = "cannot write to " + line_.Name();
            return false;
        }
        if (loop_.Now() >= deadline) {
            error_ = "cannot write to " + line_.Name() + ": the line does not take the command";
            return false;
        }
        // Let the loop run (a simulator on it drains the line) before trying again.
        loop_.RunOnce(std::chrono::milliseconds(5));
    }
    return true;
}

Reply LineProbe::Ask(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                     const std::vector<uint8_t>& info) {
    Reply out;
    const std::string frame = wire::EncodeCommand(wire::Version(ver), wire::Address(adr), cid1,
                                                  cid2, info.data(), info.size());
    // The command as it would come back from a converter with echo on.
    const std::string echo = frame.substr(1, frame.size() - 2);
    // Whatever came in since the last exchange (a reply later than its
    // timeout) must not pass for this command's answer.
    uint8_t stale[512];
    while (line_.Read(stale, sizeof stale) > 0) {
    }
    wire::FrameAssembler frames;
    std::vector<wire::FrameAssembler::Piece> pieces;
    bool done = false;
    rt::TimePoint deadline = loop_.Now() + opt_.first_byte_timeout;
    loop_.Watch(line_.fd(), [&](short) {
        uint8_t buf[512];
        for (;;) {
            const ssize_t n = line_.Read(buf, sizeof buf);
            if (n <= 0) break;
            deadline = std::max(deadline, loop_.Now() + opt_.byte_gap_timeout);
            pieces.clear();
            frames.Feed(buf, static_cast<size_t>(n), &pieces);
            for (const auto& p : pieces) {
                if (done || p.error != wire::FrameError::kNone || p.body == echo) continue;
                wire::Frame f;
                const wire::FrameError e = wire::ParseFrameBody(p.body, &f);
                // Another controller's reply (late, or to someone else) is
                // not this one's answer.
                if (e == wire::FrameError::kNone && f.adr != adr) continue;
                if (e != wire::FrameError::kNone || f.cid1 != cid1) {
                    if (!out.refused.empty()) out.refused += ", ";
                    out.refused += e != wire::FrameError::kNone ? wire::ToString(e) : "other unit";
                    continue;
                }
                out.answered = true;
                out.ver = f.ver;
                out.rtn = f.cid2;
                out.info = std::move(f.info);
                done = true;
            }
        }
    });
    if (WriteAll(frame, loop_.Now() + opt_.first_byte_timeout)) {
        while (!done && loop_.Now() < deadline) loop_.RunOnce(deadline - loop_.Now());
    }
    loop_.Unwatch(line_.fd());
    return out;
}

void LineProbe::Settle() {
    rt::TimePoint quiet_since = loop_.Now();
    const rt::TimePoint limit = quiet_since + 3 * opt_.first_byte_timeout;
    loop_.Watch(line_.fd(), [&](short) {
        uint8_t buf[512];
        while (line_.Read(buf, sizeof buf) > 0) quiet_since = loop_.Now();
    });
    for (;;) {
        const rt::TimePoint now = loop_.Now();
        const rt::TimePoint until = std::min(quiet_since + opt_.first_byte_timeout, limit);
        if (now >= until) break;
        loop_.RunOnce(until - now);
    }
    loop_.Unwatch(line_.fd());
}

std::vector<Found> LineProbe::Run(const std::function<void(const std::string&)>& progress) {
    const auto say = [&](const std::string& s) {
        if (progress) progress(s);
    };
    std::vector<Found> found;
    for (int a = opt_.first_address; a <= opt_.last_address && error_.empty(); ++a) {
        const auto adr = static_cast<uint8_t>(a);
        const Reply r = Ask(opt_.version, adr, kScanUnit, kGetVersion, {});
        if (!r.answered) {
            if (!r.refused.empty())
                say("address " + std::to_string(a) + ": frames that fail the checks (" + r.refused +
                    ")");
            continue;
        }
        Found f;
        f.address = adr;
        f.version = r.ver;
        f.scan_rtn = r.rtn;
        say("address " + std::to_string(a) + ": a controller answers, version " + Hex2(r.ver));
        found.push_back(f);
    }
    for (auto& f : found) {
        for (const Command& c : ProbeCommands()) {
            if (!error_.empty()) break;
            Exchange e;
            e.command = c;
            Reply r;
            for (int attempt = 0; attempt <= opt_.retries && !r.answered; ++attempt) {
                r = Ask(f.version, f.address, c.cid1, c.cid2, ArgBytes(c.arg));
                // A reply that comes after its timeout would pass for the
                // next command's: the line goes quiet first.
                if (!r.answered) Settle();
            }
            e.answered = r.answered;
            e.rtn = r.rtn;
            e.info = std::move(r.info);
            f.round.exchanges.push_back(std::move(e));
        }
        say("address " + std::to_string(f.address) + ": probe round done");
    }
    return found;
}

}  // namespace probe
