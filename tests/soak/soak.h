// A soak run: the driver, the host's port controller and site services,
// and the simulator over a pseudo-terminal, polled round after round while
// a schedule drawn from a seed damages the line. Time is virtual (the loop
// jumps to its next timer when idle), so hours of line time take seconds.
//
// What it counts is what a site would suffer: records published, records
// that differ from the scenario in any value, alarm events that the
// scenario does not call for, and rounds that ended without a record.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/wire/port_controller.h"

namespace soak {

struct Options {
    uint64_t seed = 1;
    long rounds = 100;
    // The share of rounds into which one fault is scheduled.
    double fault_share = 0.5;
    // Fault kinds to draw from; empty: every kind of FaultKinds().
    std::vector<std::string> kinds;
    // Characters paced at the line's baud rate (slow: a timer each).
    bool pace = false;
    double poll_interval = 5.0;
    // Every link event and port log line, with its line time, on stderr.
    bool verbose = false;
    std::string source_dir;  // the repository, for the example files
    // Events scheduled by hand, on top of the drawn ones (the time is in
    // seconds of line time after the start).
    struct Fixed {
        double at;
        std::string action;
        std::string args_json;  // members besides "at" and "action"
    };
    std::vector<Fixed> fixed;
};

struct Result {
    long rounds = 0;  // rounds started
    long records = 0;
    long damaged = 0;
    long false_alarms = 0;
    long lost = 0;  // rounds started that published no record
    std::map<std::string, long> injected;
    rt::LinkStats stats;
    double line_seconds = 0;
    std::vector<std::string> notes;     // the first damaged fields and false alarms
    std::vector<std::string> schedule;  // every fault: time, action, arguments
};

// Every fault the soak can put on the line.
const std::vector<std::string>& FaultKinds();

// Throws std::runtime_error when the example files cannot be read.
Result Run(const Options& opt);

std::string Summary(const Result& r);

}  // namespace soak
