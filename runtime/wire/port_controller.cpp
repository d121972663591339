#include "runtime/wire/port_controller.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/qvr_device.h"

namespace rt {

namespace {

constexpr Duration kMaxBackoff = std::chrono::seconds(60);

// Characters of a whole frame around `info_bytes` of INFO.
size_t FrameChars(size_t info_bytes) {
    return 2 + wire::kHeaderChars + 2 * info_bytes + 4;
}

// A generous guess at the reply to a command before one has been seen:
// full-size sites (40 modules, two DC groups, every user value) fit in it.
size_t DefaultReplyChars(uint8_t cid1, uint8_t cid2) {
    if (cid1 == 0x41 && cid2 == 0x41) return FrameChars(6 + 40 * (4 + 1 + 7 * 4));
    if (cid1 == 0x41 && (cid2 == 0x43 || cid2 == 0x44)) return FrameChars(2 + 40 * 11);
    if (cid1 == 0x42 && cid2 == 0x41) return FrameChars(2 + 2 * (9 + 9 + 1 + 1 + 27 * 4));
    if (cid1 == 0x42 && cid2 == 0x44) return FrameChars(2 + 2 * (1 + 11 + 88));
    if (cid1 == 0x40) return FrameChars(3 + 2 * (16 + 2 + 8 * 4) + 12);
    return FrameChars(32);
}

Duration WireTime(size_t chars, int baud) {
    if (baud <= 0) baud = 9600;
    // Ten bits a character: start, eight data bits, stop.
    return std::chrono::duration_cast<Duration>(
        std::chrono::microseconds(static_cast<int64_t>(chars) * 10 * 1000000 / baud));
}

}  // namespace

PortController::PortController(EventLoop& loop, TransportFactory factory)
    : loop_(loop), factory_(std::move(factory)), services_(std::make_shared<QVRController>()) {
    log = [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); };
}

PortController::~PortController() {
    Stop();
}

void PortController::SetServices(std::shared_ptr<QVRController> services) {
    services_ = services ? std::move(services) : std::make_shared<QVRController>();
}

PortController::Slot* PortController::Find(const QVRVDevice& dev) {
    for (auto& s : slots_)
        if (s->dev == &dev) return s.get();
    return nullptr;
}

const PortController::Slot* PortController::Find(const QVRVDevice& dev) const {
    for (const auto& s : slots_)
        if (s->dev == &dev) return s.get();
    return nullptr;
}

void PortController::AddDevice(PMBusProtocol& dev, const DeviceSchedule& schedule) {
    if (Find(dev) != nullptr) return;
    auto s = std::make_unique<Slot>();
    s->dev = &dev;
    s->schedule = schedule;
    s->next_poll = loop_.Now();
    s->retry_at = TimePoint{};
    Slot& ref = *s;
    slots_.push_back(std::move(s));
    if (started_) {
        ArmReset(ref);
        Kick();
    }
}

void PortController::RemoveDevice(PMBusProtocol& dev) {
    auto it =
        std::find_if(slots_.begin(), slots_.end(), [&](const auto& s) { return s->dev == &dev; });
    if (it == slots_.end()) return;
    loop_.Cancel((*it)->reset_timer);
    if (last_sender_ == it->get()) last_sender_ = nullptr;
    slots_.erase(it);
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [&](const Pending& p) { return p.dev == &dev; }),
                   pending_.end());
    if (exchange_ && exchange_->dev == &dev) {
        // Its reply may still come: the next command waits for it.
        if (exchange_->sent) OweReply(*exchange_);
        exchange_.reset();
        held_.reset();
        loop_.Cancel(reply_timer_);
        loop_.Cancel(send_timer_);
        frames_.Drop();
        Kick();
    }
}

const LinkStats& PortController::Stats(const PMBusProtocol& dev) const {
    static const LinkStats none;
    const Slot* s = Find(dev);
    return s != nullptr ? s->stats : none;
}

int PortController::Baud() const {
    return slots_.empty() ? 9600 : slots_.front()->dev->baud_rate_;
}

Duration PortController::ReplyTimeout(const PMBusProtocol& dev, uint8_t cid1, uint8_t cid2) const {
    const Slot* s = Find(dev);
    const DeviceSchedule sched = s != nullptr ? s->schedule : DeviceSchedule();
    if (sched.reply_timeout > Duration::zero()) return sched.reply_timeout;
    size_t chars = DefaultReplyChars(cid1, cid2);
    if (s != nullptr) {
        auto it = s->reply_chars.find(static_cast<uint16_t>(cid1 << 8 | cid2));
        // A site does not change size much between rounds; leave room for
        // a module or a DC group more.
        if (it != s->reply_chars.end()) chars = it->second + it->second / 4 + 64;
    }
    return sched.turnaround + WireTime(chars, dev.baud_rate_);
}

Duration PortController::LateWindow(const PMBusProtocol& dev, uint8_t cid1, uint8_t cid2) const {
    const Slot* s = Find(dev);
    if (s != nullptr && s->schedule.late_window > Duration::zero()) return s->schedule.late_window;
    return 3 * ReplyTimeout(dev, cid1, cid2);
}

Duration PortController::QuietGap(const PMBusProtocol& dev) const {
    const Slot* s = Find(dev);
    const DeviceSchedule sched = s != nullptr ? s->schedule : DeviceSchedule();
    if (sched.quiet_gap > Duration::zero()) return sched.quiet_gap;
    return std::max(sched.turnaround, WireTime(50, dev.baud_rate_));
}

Duration PortController::UnitGap(const PMBusProtocol& dev) const {
    const Slot* s = Find(dev);
    if (s != nullptr && s->schedule.unit_gap > Duration::zero()) return s->schedule.unit_gap;
    return std::max<Duration>(WireTime(10, dev.baud_rate_), std::chrono::milliseconds(5));
}

// ---------------------------------------------------------------- port

void PortController::Start() {
    if (started_) return;
    started_ = true;
    backoff_ = std::chrono::seconds(1);
    for (auto& s : slots_) {
        s->next_poll = loop_.Now();
        s->retry_at = TimePoint{};
        ArmReset(*s);
    }
    OpenNow();
}

void PortController::PollNow(PMBusProtocol& dev) {
    Slot* s = Find(dev);
    if (s == nullptr) return;
    s->next_poll = loop_.Now();
    s->retry_at = TimePoint{};
    Kick();
}

void PortController::Stop() {
    started_ = false;
    for (auto& s : slots_) loop_.Cancel(s->reset_timer);
    loop_.Cancel(reopen_timer_);
    loop_.Cancel(kick_timer_);
    loop_.Cancel(reply_timer_);
    loop_.Cancel(send_timer_);
    ResumeRead();
    kick_at_ = TimePoint::max();
    if (port_) {
        if (port_->fd() >= 0) loop_.Unwatch(port_->fd());
        port_->Close();
    }
    exchange_.reset();
    held_.reset();
    pending_.clear();
    out_.clear();
    frames_.Drop();
    unit_pending_ = false;
}

void PortController::OpenNow() {
    reopen_timer_ = 0;
    if (!started_) return;
    if (!port_) port_ = factory_(Baud());
    std::string err;
    if (!port_ || !port_->Open(&err)) {
        Emit({LinkEvent::Kind::kOpenFailed, 0, wire::FrameError::kNone, 0, err});
        if (log) log("port " + (port_ ? port_->Name() : std::string("?")) + ": " + err);
        reopen_timer_ = loop_.After(backoff_, [this] { OpenNow(); });
        backoff_ = std::min<Duration>(backoff_ * 2, kMaxBackoff);
        return;
    }
    connecting_ = port_->Connecting();
    loop_.Watch(
        port_->fd(), [this](short ev) { OnIo(ev); }, connecting_);
    if (!connecting_) OnPortReady();
}

void PortController::OnPortReady() {
    connecting_ = false;
    backoff_ = std::chrono::seconds(1);
    loop_.WantWrite(port_->fd(), !out_.empty());
    // What a reopened line brings first may be the end of a reply to a
    // command from before: wait for it to go quiet.
    if (opened_before_) {
        unsettled_ = true;
        last_rx_ = loop_.Now();
    }
    opened_before_ = true;
    Emit({LinkEvent::Kind::kOpened, 0, wire::FrameError::kNone, 0, port_->Name()});
    Kick();
    TrySend();
}

void PortController::LosePort(const std::string& why) {
    if (!port_ || !port_->IsOpen()) return;
    const std::string name = port_->Name();
    ResumeRead();
    loop_.Unwatch(port_->fd());
    port_->Close();
    connecting_ = false;
    out_.clear();
    frames_.Drop();
    pending_.clear();
    loop_.Cancel(reply_timer_);
    loop_.Cancel(send_timer_);
    unit_pending_ = false;
    Emit({LinkEvent::Kind::kLost, 0, wire::FrameError::kNone, 0, why});
    if (log) log("port " + name + " lost: " + why);
    if (exchange_) {
        PMBusProtocol* dev = exchange_->dev;
        exchange_.reset();
        held_.reset();
        if (Slot* s = Find(*dev)) {
            ++s->stats.process_errors;
            ++s->stats.abandoned;
        }
        dev->process_error();
    }
    if (started_) {
        reopen_timer_ = loop_.After(backoff_, [this] { OpenNow(); });
        backoff_ = std::min<Duration>(backoff_ * 2, kMaxBackoff);
    }
}

void PortController::OnIo(short revents) {
    if (connecting_) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return;
        std::string err;
        if (!port_->FinishOpen(&err)) {
            loop_.Unwatch(port_->fd());
            port_->Close();
            connecting_ = false;
            Emit({LinkEvent::Kind::kOpenFailed, 0, wire::FrameError::kNone, 0, err});
            if (log) log("port " + port_->Name() + ": " + err);
            reopen_timer_ = loop_.After(backoff_, [this] { OpenNow(); });
            backoff_ = std::min<Duration>(backoff_ * 2, kMaxBackoff);
            return;
        }
        OnPortReady();
        return;
    }
    if ((revents & POLLOUT) != 0) FlushOutput();
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadAvailable();
}

void PortController::ReadAvailable() {
    uint8_t buf[4096];
    while (port_ && port_->IsOpen()) {
        const ssize_t n = port_->Read(buf, sizeof buf);
        if (n == 0) {
            LosePort("closed by the far end");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                HoldRead();
                return;
            }
            LosePort(std::strerror(errno));
            return;
        }
        last_rx_ = loop_.Now();
        if (exchange_ && exchange_->sent) {
            // The reply timeout restarts with every byte: a long reply at a
            // low baud rate is slow, not lost.
            reply_deadline_ = last_rx_ + reply_timeout_;
        } else {
            // Nobody asked: these bytes are drained. Only the start of a
            // frame can pass for a reply later (the assembler resynchronises
            // on it); an extra CR after a reply, or noise, cannot.
            if (last_sender_ != nullptr)
                last_sender_->stats.drained_bytes += static_cast<uint64_t>(n);
            if (std::memchr(buf, wire::kSoi, static_cast<size_t>(n)) != nullptr) unsettled_ = true;
        }
        pieces_.clear();
        frames_.Feed(buf, static_cast<size_t>(n), &pieces_);
        std::vector<wire::FrameAssembler::Piece> batch;
        batch.swap(pieces_);
        for (const auto& p : batch) HandlePiece(p);
    }
}

void PortController::Transmit(const std::string& frame) {
    out_ += frame;
    FlushOutput();
}

void PortController::FlushOutput() {
    if (!PortOpen()) return;
    while (!out_.empty()) {
        const ssize_t n = port_->Write(reinterpret_cast<const uint8_t*>(out_.data()), out_.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            LosePort(std::strerror(errno));
            return;
        }
        out_.erase(0, static_cast<size_t>(n));
    }
    loop_.WantWrite(port_->fd(), !out_.empty());
}

// ---------------------------------------------------------------- exchanges

bool PortController::MayPoll(QVRSPDevice&) {
    return PortOpen() && !exchange_ && pending_.empty();
}

bool PortController::OpenPort(QVRSPDevice&) {
    // The host owns the port; a device asking for it finds it open, or
    // learns that it is not (the reopen timer is already running).
    return PortOpen();
}

bool PortController::ClosePort(QVRSPDevice&) {
    return true;
}

bool PortController::SendData(QVRSPDevice&, const uint8_t* data, size_t len) {
    if (!PortOpen() || (len > 0 && data == nullptr)) return false;
    if (trace)
        Trace(TraceEntry::Dir::kTx, "raw", std::string(reinterpret_cast<const char*>(data), len));
    Transmit(std::string(reinterpret_cast<const char*>(data), len));
    return true;
}

bool PortController::InExchange(const PMBusProtocol& dev) const {
    if (exchange_ && exchange_->dev == &dev && !exchange_->fence) return true;
    if (held_ && held_->dev == &dev) return true;
    for (const auto& p : pending_)
        if (p.dev == &dev) return true;
    return false;
}

bool PortController::SendCommand(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2,
                                 const uint8_t* info, size_t len) {
    if (!PortOpen() || Find(dev) == nullptr) return false;
    std::string frame = wire::EncodeCommand(wire::Version(dev.protocol_ver_),
                                            wire::Address(dev.address_), cid1, cid2, info, len);
    if (frame.empty()) return false;
    if (exchange_) {
        // A control request between two exchanges of a round waits for the
        // line to be free.
        pending_.push_back({&dev, cid1, cid2, std::move(frame)});
        return true;
    }
    Begin(dev, cid1, cid2, std::move(frame));
    return true;
}

void PortController::ApplyProtocolSetting(PMBusProtocol& dev, const Json::Value& setting) {
    services_->ApplyProtocolSetting(dev, setting);
}

void PortController::Begin(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2, std::string frame) {
    exchange_ = Exchange{&dev, cid1, cid2, std::move(frame)};
    TrySend();
}

TimePoint PortController::EarliestSend() const {
    const PMBusProtocol& dev = *exchange_->dev;
    TimePoint t = loop_.Now();
    if (unsettled_) {
        t = std::max({t, owed_until_, last_rx_ + QuietGap(dev)});
    } else if (unit_pending_ && unit_adr_ == dev.address_ && unit_cid1_ == exchange_->cid1) {
        // This command's reply would look exactly like a second copy of the
        // one that just came: only silence tells them apart.
        t = std::max(t, last_rx_ + UnitGap(dev));
    }
    return t;
}

namespace {

uint8_t UnitBit(uint8_t cid1) {
    return cid1 >= 0x40 && cid1 <= 0x42 ? static_cast<uint8_t>(1u << (cid1 - 0x40)) : 0x08;
}

}  // namespace

void PortController::OweReply(const Exchange& ex) {
    unsettled_ = true;
    owed_until_ = std::max(owed_until_, ex.sent_at + LateWindow(*ex.dev, ex.cid1, ex.cid2));
    owed_units_[ex.dev->address_] |= UnitBit(ex.cid1);
}

bool PortController::PutFence() {
    if (exchange_->fence) return true;
    const uint8_t adr = exchange_->dev->address_;
    auto it = owed_units_.find(adr);
    if (it == owed_units_.end() || it->second == 0) return true;
    for (uint8_t unit : {0x41, 0x42, 0x40}) {
        if ((it->second & UnitBit(unit)) != 0) continue;
        PMBusProtocol& dev = *exchange_->dev;
        held_ = std::move(exchange_);
        exchange_ = Exchange{&dev, unit, 0x4F,
                             wire::EncodeCommand(wire::Version(dev.protocol_ver_),
                                                 wire::Address(adr), unit, 0x4F, nullptr, 0)};
        exchange_->fence = true;
        ++Find(dev)->stats.fences;
        return true;
    }
    // Every unit owes a reply (fences that went unanswered too): the late
    // window that has just passed is all the proof there is.
    owed_units_.erase(it);
    return false;
}

void PortController::TrySend() {
    loop_.Cancel(send_timer_);
    send_timer_ = 0;
    if (!exchange_ || exchange_->sent || !PortOpen()) return;
    const TimePoint when = EarliestSend();
    if (when > loop_.Now()) {
        send_timer_ = loop_.At(when, [this] {
            send_timer_ = 0;
            TrySend();
        });
        return;
    }
    PutFence();
    Slot* s = Find(*exchange_->dev);
    if (unsettled_) ++s->stats.settles;
    unsettled_ = false;
    unit_pending_ = false;
    owed_until_ = TimePoint{};
    frames_.Drop();
    ++s->stats.commands;
    if (exchange_->attempts > 0 && !exchange_->fence) ++s->stats.retries;
    ++exchange_->attempts;
    exchange_->sent = true;
    exchange_->sent_at = loop_.Now();
    last_sender_ = s;
    if (trace)
        Trace(TraceEntry::Dir::kTx,
              exchange_->fence          ? "fence"
              : exchange_->attempts > 1 ? "retry"
                                        : "sent",
              exchange_->frame);
    ++sends_;
    Transmit(exchange_->frame);
    if (exchange_ && exchange_->sent) ArmTimeout();
}

void PortController::ArmTimeout() {
    loop_.Cancel(reply_timer_);
    reply_timeout_ = ReplyTimeout(*exchange_->dev, exchange_->cid1, exchange_->cid2);
    reply_deadline_ = loop_.Now() + reply_timeout_;
    reply_timer_ = loop_.At(reply_deadline_, [this] { OnReplyDeadline(); });
}

void PortController::OnReplyDeadline() {
    reply_timer_ = 0;
    if (!exchange_ || !exchange_->sent) return;
    if (read_held_) {
        // What waits unread may be the rest of the reply: it counts before
        // any verdict. Reading it may end this exchange and send the next.
        const uint64_t sent = sends_;
        ResumeRead();
        ReadAvailable();
        if (sends_ != sent || !exchange_ || !exchange_->sent || reply_timer_ != 0) return;
    }
    if (loop_.Now() < reply_deadline_) {
        reply_timer_ = loop_.At(reply_deadline_, [this] { OnReplyDeadline(); });
        return;
    }
    OnTimeout();
}

namespace {

// The hold ends this much before the awaited characters are due, so the
// last of them are read as they come (a timer may be a millisecond late)
// and a hold shorter than twice this is not worth its timer.
constexpr Duration kHoldMargin = std::chrono::milliseconds(2);

}  // namespace

void PortController::HoldRead() {
    if (read_held_ || !exchange_ || !exchange_->sent || !PortOpen()) return;
    const size_t awaited = frames_.Awaited();
    if (awaited == 0) return;
    const Duration rest = WireTime(awaited, Baud());
    if (rest < 2 * kHoldMargin) return;
    const TimePoint now = loop_.Now();
    const TimePoint until = std::min(now + rest - kHoldMargin, reply_deadline_);
    if (until <= now) return;
    read_held_ = true;
    loop_.WantRead(port_->fd(), false);
    read_timer_ = loop_.At(until, [this] {
        read_timer_ = 0;
        ResumeRead();
        ReadAvailable();
    });
}

void PortController::ResumeRead() {
    if (!read_held_) return;
    read_held_ = false;
    loop_.Cancel(read_timer_);
    read_timer_ = 0;
    if (port_ && port_->fd() >= 0) loop_.WantRead(port_->fd(), true);
}

void PortController::OnTimeout() {
    reply_timer_ = 0;
    if (!exchange_ || !exchange_->sent) return;
    if (Slot* s = Find(*exchange_->dev)) ++s->stats.timeouts;
    if (trace) Trace(TraceEntry::Dir::kNone, "timeout", "");
    frames_.Drop();
    if (exchange_->fence) {
        FenceFailed();
        return;
    }
    Fail(wire::FrameError::kNone, 0, true);
}

void PortController::HandlePiece(const wire::FrameAssembler::Piece& piece) {
    if (trace) {
        // The verdict is the one the checks below reach.
        const char* verdict = "good";
        std::string chars = std::string(1, static_cast<char>(wire::kSoi)) + piece.body;
        if (piece.error == wire::FrameError::kNone) chars += static_cast<char>(wire::kEoi);
        if (!exchange_ || !exchange_->sent) {
            verdict = "dropped";
        } else if (piece.error == wire::FrameError::kNone && exchange_->frame.size() >= 2 &&
                   std::string_view(exchange_->frame).substr(1, exchange_->frame.size() - 2) ==
                       piece.body) {
            verdict = "echo";
        } else {
            const wire::Reply r =
                wire::CheckReply(piece, wire::Address(exchange_->dev->address_), exchange_->cid1);
            verdict = TraceVerdict(r.error);
        }
        Trace(TraceEntry::Dir::kRx, verdict, std::move(chars));
    }
    if (!exchange_ || !exchange_->sent) {
        // A reply that nobody is waiting for: late, repeated, or meant for
        // a command that was given up. It answers nothing now.
        if (last_sender_ != nullptr) ++last_sender_->stats.late_replies;
        unsettled_ = true;
        Log(last_sender_ != nullptr ? last_sender_->throttle : line_throttle_,
            "port " + (port_ ? port_->Name() : std::string("?")) +
                ": frame with no command outstanding dropped");
        return;
    }
    const std::string& f = exchange_->frame;
    if (f.size() >= 2 && piece.error == wire::FrameError::kNone &&
        std::string_view(f).substr(1, f.size() - 2) == piece.body) {
        // The converter hands our own command back (RS-485 with echo on).
        ++Find(*exchange_->dev)->stats.echoes;
        return;
    }
    const wire::Reply r =
        wire::CheckReply(piece, wire::Address(exchange_->dev->address_), exchange_->cid1);
    if (exchange_->fence) {
        if (r.error == wire::FrameError::kNone || r.error == wire::FrameError::kReturnCode) {
            FenceAnswered(r);
        } else if (r.error == wire::FrameError::kWrongUnit ||
                   r.error == wire::FrameError::kWrongAddress) {
            // An owed reply, as expected: it answers nothing now.
            ++Find(*exchange_->dev)->stats.late_replies;
        } else {
            ++Find(*exchange_->dev)->stats.rejected[static_cast<int>(r.error)];
            FenceFailed();
        }
        return;
    }
    if (r.error != wire::FrameError::kNone) {
        Fail(r.error, r.rtn, false);
        return;
    }
    Accept(r);
}

void PortController::FenceAnswered(const wire::Reply& r) {
    loop_.Cancel(reply_timer_);
    owed_units_.erase(r.adr);
    unit_pending_ = true;
    unit_adr_ = r.adr;
    unit_cid1_ = exchange_->cid1;
    exchange_ = std::move(held_);
    held_.reset();
    TrySend();
}

void PortController::FenceFailed() {
    loop_.Cancel(reply_timer_);
    OweReply(*exchange_);
    // A fence that goes unanswered counts as a try of the exchange behind
    // it: a controller that answers nothing is given up as soon as before.
    // The next try picks a unit that owes nothing, or falls back on timing.
    exchange_ = std::move(held_);
    held_.reset();
    ++exchange_->attempts;
    Slot* s = Find(*exchange_->dev);
    if (exchange_->attempts <= s->schedule.retries) {
        TrySend();
        return;
    }
    char cmd[8];
    std::snprintf(cmd, sizeof cmd, "%02X %02X", exchange_->cid1, exchange_->cid2);
    PMBusProtocol* dev = exchange_->dev;
    ++s->stats.process_errors;
    dev->process_error();
    Abandon(*dev, wire::FrameError::kNone, 0, cmd);
}

void PortController::Abandon(PMBusProtocol& dev, wire::FrameError error, uint8_t rtn,
                             const char* cmd) {
    exchange_.reset();
    held_.reset();
    loop_.Cancel(send_timer_);
    loop_.Cancel(reply_timer_);
    ++Find(dev)->stats.abandoned;
    Emit({LinkEvent::Kind::kAbandoned, dev.DataId(), error, rtn, std::string(cmd)});
    EndChain(dev, true);
}

void PortController::Accept(const wire::Reply& r) {
    Exchange ex = std::move(*exchange_);
    exchange_.reset();
    loop_.Cancel(reply_timer_);
    Slot* s = Find(*ex.dev);
    ++s->stats.replies;
    const size_t chars = FrameChars(r.reply_frame.size() - 6);
    size_t& seen = s->reply_chars[static_cast<uint16_t>(ex.cid1 << 8 | ex.cid2)];
    seen = std::max(seen, chars);
    // A command sent more than once may be answered more than once, and
    // either answer may be this one: the other must have come and gone
    // before the next command is sent.
    if (ex.attempts > 1) unsettled_ = true;
    unit_pending_ = true;
    unit_adr_ = r.adr;
    unit_cid1_ = ex.cid1;
    ex.dev->reply_frame_ = r.reply_frame;
    // The device sends its next command from here.
    ex.dev->process_payload();
    if (!exchange_) EndChain(*ex.dev, false);
}

void PortController::Fail(wire::FrameError error, uint8_t rtn, bool timeout) {
    PMBusProtocol* dev = exchange_->dev;
    Slot* s = Find(*dev);
    LinkEvent ev{timeout ? LinkEvent::Kind::kTimeout : LinkEvent::Kind::kRejected,
                 dev->DataId(),
                 error,
                 rtn,
                 {}};
    char cmd[8];
    std::snprintf(cmd, sizeof cmd, "%02X %02X", exchange_->cid1, exchange_->cid2);
    if (timeout) {
        ev.text = std::string("no reply to ") + cmd;
    } else {
        ++s->stats.rejected[static_cast<int>(error)];
        ev.text = std::string("reply to ") + cmd + " rejected: " + wire::ToString(error);
        if (error == wire::FrameError::kReturnCode) ev.text += " " + std::to_string(rtn);
    }
    // Only a well-formed error reply is certainly the controller's answer;
    // after anything else the real reply may still be on its way.
    unsettled_ = true;
    if (error != wire::FrameError::kReturnCode) OweReply(*exchange_);
    exchange_->sent = false;
    loop_.Cancel(reply_timer_);
    Emit(ev);
    Log(s->throttle, "device " + std::to_string(dev->DataId()) + ": " + ev.text);
    ++s->stats.process_errors;
    dev->process_error();
    if (!exchange_ || exchange_->dev != dev || exchange_->sent) return;
    if (exchange_->attempts <= s->schedule.retries) {
        TrySend();
        return;
    }
    Abandon(*dev, error, rtn, cmd);
}

void PortController::EndChain(PMBusProtocol& dev, bool abandoned) {
    Emit({LinkEvent::Kind::kChainEnd, dev.DataId(), wire::FrameError::kNone, 0,
          abandoned ? "abandoned" : "done"});
    Kick();
}

void PortController::Kick() {
    if (in_kick_ || !started_) return;
    in_kick_ = true;
    while (PortOpen() && !exchange_) {
        if (!pending_.empty()) {
            Pending p = std::move(pending_.front());
            pending_.pop_front();
            Begin(*p.dev, p.cid1, p.cid2, std::move(p.frame));
            continue;
        }
        const TimePoint now = loop_.Now();
        Slot* due = nullptr;
        for (auto& s : slots_)
            if (s->Due() <= now && (due == nullptr || s->Due() < due->Due())) due = s.get();
        if (due == nullptr) break;
        polling_ = due->dev;
        const uint64_t sent_before = sends_;
        const bool sent = due->dev->RefreshStatus();
        polling_ = nullptr;
        if (sent || sends_ != sent_before || exchange_) {
            ++due->stats.polls;
            // Rounds start on the interval, not on the end of the last round.
            due->next_poll = std::max(due->next_poll + due->schedule.poll_interval, now);
            due->retry_at = TimePoint{};
        } else {
            // Declined (a device takes no round within a second or so of
            // the last one): the round is still owed, so ask again shortly
            // rather than skip to the next interval; give up on it once the
            // next one is due anyway.
            const TimePoint retry = now + due->schedule.refused_retry;
            const TimePoint next = due->next_poll + due->schedule.poll_interval;
            if (retry < next) {
                due->retry_at = retry;
            } else {
                due->next_poll = std::max(next, now);
                due->retry_at = TimePoint{};
            }
        }
    }
    in_kick_ = false;
    TimePoint next = TimePoint::max();
    for (auto& s : slots_) next = std::min(next, s->Due());
    if (!exchange_ && next != TimePoint::max()) ScheduleKick(next);
}

void PortController::ScheduleKick(TimePoint when) {
    if (kick_timer_ != 0 && kick_at_ <= when) return;
    loop_.Cancel(kick_timer_);
    kick_at_ = when;
    kick_timer_ = loop_.At(when, [this] {
        kick_timer_ = 0;
        kick_at_ = TimePoint::max();
        Kick();
    });
}

void PortController::ArmReset(Slot& s) {
    loop_.Cancel(s.reset_timer);
    Slot* sp = &s;
    s.reset_timer = loop_.After(s.schedule.reset_interval, [this, sp] {
        ++sp->stats.resets;
        sp->dev->Reset();
        ArmReset(*sp);
    });
}

void PortController::Log(Throttle& t, const std::string& msg) {
    if (!log) return;
    const TimePoint now = loop_.Now();
    if (t.last != TimePoint{} && now - t.last < log_every) {
        ++t.unlogged;
        return;
    }
    std::string line = msg;
    if (t.unlogged > 0) line += " (" + std::to_string(t.unlogged) + " more since the last report)";
    t.unlogged = 0;
    t.last = now;
    log(line);
}

void PortController::Emit(LinkEvent ev) {
    if (on_event) on_event(ev);
}

// ---------------------------------------------------------------- services

bool PortController::Publish(QVRVDevice& dev, int type, const uint8_t* data, size_t len,
                             bool realtime) {
    return services_->Publish(dev, type, data, len, realtime);
}

bool PortController::SaveHistory(QVRVDevice& dev, const uint8_t* data, size_t len) {
    return services_->SaveHistory(dev, data, len);
}

void PortController::CheckThreshold(QVRVDevice& dev, const std::string& alarm_id,
                                    const std::string& name, float value, int count) {
    services_->CheckThreshold(dev, alarm_id, name, value, count);
}

void PortController::CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                                        const std::string& alarm_id, const std::string& value_text,
                                        const std::string& alarm_text, bool active,
                                        uint16_t ordinal) {
    services_->CheckThresholdBool(dev, level, key, alarm_id, value_text, alarm_text, active,
                                  ordinal);
}

bool PortController::DoBatchCheckThreshold(QVRVDevice& dev, const std::vector<rule_value>& values) {
    return services_->DoBatchCheckThreshold(dev, values);
}

bool PortController::CheckAOReport(QVRVDevice& dev, const std::string& key, float value) {
    return services_->CheckAOReport(dev, key, value);
}

void PortController::Trace(TraceEntry::Dir dir, const char* verdict, std::string chars) {
    TraceEntry e;
    e.unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
    e.port = port_ ? port_->Name() : std::string();
    e.adr = exchange_ ? exchange_->dev->address_ : -1;
    e.dir = dir;
    e.verdict = verdict;
    e.chars = std::move(chars);
    trace(e);
}

}  // namespace rt
