// The simulated power controller: answers command frames from the state of
// its scenario, applies the scenario's timed events, and damages replies
// on purpose where a fault is scripted. No I/O and no clock of its own:
// the caller says what time it is, so tests can drive it directly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/scenario.h"

namespace sim {

struct Response {
    std::string text;           // what goes on the line; empty: no answer
    double extra_delay_ms = 0;  // on top of the turnaround
    // The command handed straight back by a converter with echo on: it goes
    // out as the command crosses the line, with no turnaround, ahead of
    // `text`.
    std::string echo;
};

// A control command as the controller received it.
struct ControlRecord {
    uint8_t cid1 = 0, cid2 = 0;
    std::vector<uint8_t> info;
};

class SimController {
  public:
    explicit SimController(Scenario s);

    // Answers one command, given as the characters between SOI and EOI,
    // `now` seconds after the simulator started.
    Response Answer(std::string_view body, double now);

    // Another controller on the same line (a shared RS-485 pair): every
    // command reaches it too, so its timed events go on, and it answers
    // those sent to its own address. The line's speed and pacing stay
    // this controller's.
    void AddPeer(Scenario s);
    const std::vector<SimController>& peers() const { return peers_; }

    // The INFO text of the reply to a command and its RTN, from the
    // current state, before any fault.
    uint8_t BuildInfo(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& cmd_info,
                      std::string* info_text);

    Scenario& scenario() { return s_; }
    const Scenario& scenario() const { return s_; }
    const std::vector<ControlRecord>& controls() const { return controls_; }
    // DC parameters set by 42 48 (as sent) and 42 49 (scaled back), by type byte.
    const std::map<uint8_t, float>& parameters() const { return parameters_; }
    // Runs the events due by `now` (Answer does this itself).
    void ApplyEvents(double now);

  private:
    Response AnswerOwn(std::string_view body, double now);

    struct Fault {
        std::string kind;
        int count = 1;
        bool any_command = true;
        uint8_t cid1 = 0, cid2 = 0;
        double until = -1;  // silence for a time instead of a count
        Json::Value args;
    };

    void Apply(const Event& e);
    uint8_t Control(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& info);
    std::string Frame(uint8_t adr, uint8_t cid1, uint8_t rtn, const std::string& info) const;

    Scenario s_;
    size_t next_event_ = 0;
    std::vector<Fault> faults_;
    std::vector<AcUnit> saved_ac_;
    std::vector<size_t> replay_pos_;
    std::vector<ControlRecord> controls_;
    std::map<uint8_t, float> parameters_;
    std::vector<SimController> peers_;
};

}  // namespace sim
