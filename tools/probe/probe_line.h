// Asks a line which controllers are on it and records a probe round from
// each: one command at a time over a Transport, on the caller's event loop
// (so a simulator served from the same loop answers in between), with a
// timeout that restarts with every byte received.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/wire/event_loop.h"
#include "runtime/wire/transport.h"
#include "tools/probe/probe_layout.h"

namespace probe {

struct LineOptions {
    int first_address = 1;
    int last_address = 32;
    uint8_t version = 0x20;  // asked with first; a controller's reply names its own
    rt::Duration first_byte_timeout = std::chrono::milliseconds(1000);
    rt::Duration byte_gap_timeout = std::chrono::milliseconds(200);
    int retries = 1;  // per round command; the address scan asks once
};

// What came back for one command.
struct Reply {
    bool answered = false;
    uint8_t ver = 0;
    uint8_t rtn = 0;
    std::vector<uint8_t> info;
    std::string refused;  // frames from this address that failed the checks
};

struct Found {
    uint8_t address = 0;
    uint8_t version = 0;   // from the reply's VER
    uint8_t scan_rtn = 0;  // the RTN of the answer to the scan's query
    RoundCapture round;
};

class LineProbe {
  public:
    LineProbe(rt::EventLoop& loop, rt::Transport& line, LineOptions opt);
    ~LineProbe();

    // One command and its reply (a reply from another address, an echo of
    // the command or a frame that fails its checks is not the reply).
    Reply Ask(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
              const std::vector<uint8_t>& info);

    // Every address in the range, then a probe round from each that
    // answered. `progress` hears one line per step (may be empty).
    std::vector<Found> Run(const std::function<void(const std::string&)>& progress);

    // False with the reason when the line could not be written.
    const std::string& error() const { return error_; }

  private:
    bool WriteAll(const std::string& frame, rt::TimePoint deadline);
    // Reads and drops what comes until the line has been quiet for a reply
    // timeout (at most three).
    void Settle();

    rt::EventLoop& loop_;
    rt::Transport& line_;
    LineOptions opt_;
    std::string error_;
};

}  // namespace probe
