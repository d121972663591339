// A line trace served as a controller: each command is answered with what
// the trace recorded after the same command (the same characters), in the
// order recorded, and after the same delay. A command the trace answered
// with silence is answered with silence; one it never recorded, or asked
// more often than recorded, too. So a capture from the field plays back
// on the bench with its faults.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/wire/line_trace.h"
#include "sim/controller.h"

namespace sim {

class TraceReplay {
  public:
    // The entries of one port, in file order. Entries of other ports must
    // have been left out.
    explicit TraceReplay(const std::vector<rt::TraceEntry>& entries);

    // `body`: the command's characters between SOI and EOI.
    Response Answer(std::string_view body);

    size_t commands() const { return commands_; }

  private:
    std::map<std::string, std::deque<Response>> answers_;  // by command body
    size_t commands_ = 0;
};

}  // namespace sim
