// The host's side of one line: the port (serial, TCP serial server or
// pseudo-terminal), the frames on it and the timing of the devices that
// share it by address.
//
// One exchange is on the line at a time. A device's round is a chain of
// exchanges: RefreshStatus() sends the first command, and every reply that
// passes the frame checks goes to process_payload(), which sends the next
// one. A damaged reply, a reply with a non-zero RTN, a reply from another
// address or unit, or no reply in time never reaches the decoders: it is
// counted, process_error() is called, and the command is sent again until
// the retries run out; then the round is abandoned and the device is
// polled again at its next interval. The host calls Reset() on its own
// timer so that a controller that stays silent raises the communication
// alarm.
//
// Replies carry no sequence number, so which command a reply answers is
// settled by timing (docs/architecture.md, "Which command a reply
// answers"): after any fault the next command waits until every reply
// still owed has had its time and the line has been quiet; a command to
// the unit that has just answered waits a few characters' time, so a
// repeated reply cannot pass for the next one; frames that come with no
// command outstanding, and our own command read back, are dropped.
//
// Timing alone cannot rule out a reply later than its late window. So
// before a command goes to a controller that still owes replies (commands
// that timed out or drew a damaged frame), the host sends it a fence: a
// protocol-version request (CID2 4F) to a unit none of the owed replies
// can come from. A controller answers in order, so once a frame of the
// fence's unit comes back, every owed reply has come (and been dropped) or
// never will. The device never sees the fence.
//
// Data and alarm services (publish, history, thresholds, analog reports)
// are not the line's business: they go to a pluggable service controller,
// so the runner can put its stores behind the same calls.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/qvr_controller.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/frame_codec.h"
#include "runtime/wire/line_trace.h"
#include "runtime/wire/transport.h"

namespace rt {

struct DeviceSchedule {
    Duration poll_interval = std::chrono::seconds(5);
    // Zero: computed per command from the reply expected at the line's baud
    // rate plus `turnaround`. Either way it restarts with every byte.
    Duration reply_timeout = Duration::zero();
    Duration turnaround = std::chrono::milliseconds(500);
    int retries = 2;
    Duration reset_interval = std::chrono::seconds(30);
    // How long after a command its reply may still come, late: zero means
    // three reply timeouts. A command that got no good answer keeps the
    // line closed until then.
    Duration late_window = Duration::zero();
    // Silence that makes the line count as settled after a fault: zero
    // means the turnaround, and never less than 50 characters' time.
    Duration quiet_gap = Duration::zero();
    // Silence before a command to the unit whose reply just came: zero
    // means ten characters' time, at least 5 ms.
    Duration unit_gap = Duration::zero();
    // A device that declines a round it is due for (one has only just
    // ended) is asked again this much later, not an interval later.
    Duration refused_retry = std::chrono::milliseconds(250);
};

struct LinkStats {
    uint64_t commands = 0;                           // frames written, retries included
    uint64_t replies = 0;                            // replies handed to process_payload()
    uint64_t rejected[wire::kFrameErrorKinds] = {};  // by FrameError
    uint64_t timeouts = 0;
    uint64_t retries = 0;
    uint64_t abandoned = 0;  // chains given up after the last retry
    uint64_t polls = 0;      // RefreshStatus() calls that sent a command
    uint64_t resets = 0;     // Reset() calls from the host's timer
    uint64_t process_errors = 0;
    // What the line brought that answered nothing. Counted against the
    // device whose command went out last: its exchange is what they disturb.
    uint64_t echoes = 0;         // our own command read back (RS-485 echo)
    uint64_t late_replies = 0;   // frames that came with no command outstanding
    uint64_t drained_bytes = 0;  // bytes received with no command outstanding
    uint64_t settles = 0;        // waits for a quiet line before a command
    uint64_t fences = 0;         // fence commands sent (see PortController)

    uint64_t Rejected() const {
        uint64_t n = 0;
        for (auto v : rejected) n += v;
        return n;
    }
};

// What happened on a line, for whoever shows the link state.
struct LinkEvent {
    enum class Kind { kOpened, kOpenFailed, kLost, kRejected, kTimeout, kAbandoned, kChainEnd };
    Kind kind;
    unsigned int data_id = 0;
    wire::FrameError error = wire::FrameError::kNone;
    uint8_t rtn = 0;
    std::string text;
};

class PortController : public QVRController {
  public:
    // Makes the port for a baud rate (the first device's baud_rate_).
    using TransportFactory = std::function<std::unique_ptr<Transport>(int baud)>;

    PortController(EventLoop& loop, TransportFactory factory);
    ~PortController() override;

    // Where publish, history, alarm and analog-report calls go; by default
    // the base controller, which accepts and forgets them.
    void SetServices(std::shared_ptr<QVRController> services);

    // The device must have this controller as its QVRController and outlive
    // its place here (RemoveDevice, or the controller's end).
    void AddDevice(PMBusProtocol& dev, const DeviceSchedule& schedule);
    void RemoveDevice(PMBusProtocol& dev);

    // Opens the port and starts the timers; polls begin at once.
    void Start();
    void Stop();
    // Polls `dev` as soon as the line is free instead of at its next
    // interval (an operator's "poll now").
    void PollNow(PMBusProtocol& dev);

    bool PortOpen() const { return port_ && port_->IsOpen() && !connecting_; }
    bool LineBusy() const { return exchange_.has_value(); }
    // Whether `dev` has a command on the line, waiting for it or behind a
    // fence: its round (or control command) is still in progress.
    bool InExchange(const PMBusProtocol& dev) const;
    const LinkStats& Stats(const PMBusProtocol& dev) const;
    uint64_t stray_bytes() const { return frames_.stray_bytes(); }
    Transport* port() { return port_.get(); }

    // The reply timeout for a command of `dev` now.
    Duration ReplyTimeout(const PMBusProtocol& dev, uint8_t cid1, uint8_t cid2) const;
    // The line's timing rules for `dev` (the schedule's, or derived).
    Duration LateWindow(const PMBusProtocol& dev, uint8_t cid1, uint8_t cid2) const;
    Duration QuietGap(const PMBusProtocol& dev) const;
    Duration UnitGap(const PMBusProtocol& dev) const;
    // A fault was seen: the next command waits for a quiet line.
    bool Unsettled() const { return unsettled_; }

    std::function<void(const LinkEvent&)> on_event;
    // Failure messages, at most one per device and `log_every`.
    std::function<void(const std::string&)> log;
    // Every frame sent and received, with the codec's verdict, and every
    // timeout (--trace). Unset: nothing is built.
    std::function<void(const TraceEntry&)> trace;
    Duration log_every = std::chrono::seconds(60);

    // QVRController: the line.
    bool MayPoll(QVRSPDevice& dev) override;
    bool OpenPort(QVRSPDevice& dev) override;
    bool ClosePort(QVRSPDevice& dev) override;
    bool SendData(QVRSPDevice& dev, const uint8_t* data, size_t len) override;
    bool SendCommand(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                     size_t len) override;
    void ApplyProtocolSetting(PMBusProtocol& dev, const Json::Value& setting) override;

    // QVRController: services, passed on.
    bool Publish(QVRVDevice& dev, int type, const uint8_t* data, size_t len,
                 bool realtime) override;
    bool SaveHistory(QVRVDevice& dev, const uint8_t* data, size_t len) override;
    void CheckThreshold(QVRVDevice& dev, const std::string& alarm_id, const std::string& name,
                        float value, int count) override;
    void CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                            const std::string& alarm_id, const std::string& value_text,
                            const std::string& alarm_text, bool active, uint16_t ordinal) override;
    bool DoBatchCheckThreshold(QVRVDevice& dev, const std::vector<rule_value>& values) override;
    bool CheckAOReport(QVRVDevice& dev, const std::string& key, float value) override;

  private:
    struct Throttle {
        TimePoint last{};
        uint64_t unlogged = 0;
    };
    struct Slot {
        PMBusProtocol* dev;
        DeviceSchedule schedule;
        LinkStats stats;
        TimePoint next_poll;  // when the next round is due, on the interval
        // Set while a due round was declined: when to ask again.
        TimePoint retry_at{};
        EventLoop::TimerId reset_timer = 0;
        TimePoint Due() const { return std::max(next_poll, retry_at); }
        // Longest reply seen per command (cid1 << 8 | cid2), in characters.
        std::map<uint16_t, size_t> reply_chars;
        Throttle throttle;
    };
    struct Exchange {
        PMBusProtocol* dev;
        uint8_t cid1, cid2;
        std::string frame;
        int attempts = 0;   // sends so far
        bool sent = false;  // on the line and waiting for its reply
        TimePoint sent_at{};
        bool fence = false;  // the host's own, not the device's
    };
    struct Pending {
        PMBusProtocol* dev;
        uint8_t cid1, cid2;
        std::string frame;
    };

    Slot* Find(const QVRVDevice& dev);
    const Slot* Find(const QVRVDevice& dev) const;
    int Baud() const;

    void OpenNow();
    void OnPortReady();
    void LosePort(const std::string& why);
    void OnIo(short revents);
    void ReadAvailable();
    void FlushOutput();
    void Transmit(const std::string& frame);

    void Begin(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2, std::string frame);
    // The reply timeout is a deadline that every byte received moves on;
    // its timer is set once per command and, when it fires early, again
    // for where the deadline has moved to.
    void ArmTimeout();
    void OnReplyDeadline();
    void OnTimeout();
    // Once a reply is under way its header tells how many characters are
    // still to come: the line is not read again until they can have
    // arrived (or the deadline comes), so a slow line wakes the host a few
    // times per frame rather than once per character.
    void HoldRead();
    void ResumeRead();
    // Sends the exchange that waits, once the line's timing allows it.
    void TrySend();
    TimePoint EarliestSend() const;
    void HandlePiece(const wire::FrameAssembler::Piece& piece);
    void Accept(const wire::Reply& r);
    // Puts a fence ahead of the exchange when its controller owes replies;
    // false when no unit is left to fence with.
    bool PutFence();
    void FenceAnswered(const wire::Reply& r);
    void FenceFailed();
    void Abandon(PMBusProtocol& dev, wire::FrameError error, uint8_t rtn, const char* cmd);
    // A sent command whose answer may still come: the line waits out its
    // late window, and its controller is fenced before the next command.
    void OweReply(const Exchange& ex);
    void Fail(wire::FrameError error, uint8_t rtn, bool timeout);
    void EndChain(PMBusProtocol& dev, bool abandoned);
    // Sends what waits, else polls a device that is due, else sets the timer
    // for the next one.
    void Kick();
    void ScheduleKick(TimePoint when);
    void ArmReset(Slot& s);
    void Log(Throttle& t, const std::string& msg);
    // A trace line for the exchange in progress (if any).
    void Trace(TraceEntry::Dir dir, const char* verdict, std::string chars);
    void Emit(LinkEvent ev);

    EventLoop& loop_;
    TransportFactory factory_;
    std::shared_ptr<QVRController> services_;
    std::unique_ptr<Transport> port_;
    bool started_ = false;
    bool connecting_ = false;
    Duration backoff_ = std::chrono::seconds(1);
    EventLoop::TimerId reopen_timer_ = 0;
    EventLoop::TimerId kick_timer_ = 0;
    TimePoint kick_at_ = TimePoint::max();
    EventLoop::TimerId reply_timer_ = 0;
    EventLoop::TimerId send_timer_ = 0;
    EventLoop::TimerId read_timer_ = 0;
    bool read_held_ = false;
    Duration reply_timeout_{};
    TimePoint reply_deadline_{};
    uint64_t sends_ = 0;  // commands put on the line, for telling them apart

    // Timing of the line, for telling whose reply a frame is.
    bool unsettled_ = false;
    TimePoint last_rx_{};         // the last byte received
    TimePoint owed_until_{};      // a reply may still come until then
    bool opened_before_ = false;  // a later open is a reopen
    bool unit_pending_ = false;   // a reply just came from `unit_`
    uint8_t unit_adr_ = 0, unit_cid1_ = 0;
    Slot* last_sender_ = nullptr;  // whose command went out last
    // Units (bit per CID1 40, 41, 42, other) from which a controller may
    // still send a reply, by address.
    std::map<uint8_t, uint8_t> owed_units_;
    std::optional<Exchange> held_;  // the device's exchange behind a fence
    Throttle line_throttle_;

    std::vector<std::unique_ptr<Slot>> slots_;
    std::optional<Exchange> exchange_;
    std::deque<Pending> pending_;
    PMBusProtocol* polling_ = nullptr;  // inside this device's RefreshStatus()
    bool in_kick_ = false;
    wire::FrameAssembler frames_;
    std::vector<wire::FrameAssembler::Piece> pieces_;
    std::string out_;  // bytes not yet written
};

}  // namespace rt
