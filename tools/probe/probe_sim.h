// Simulated controllers for the probe's "sim:" port form: one scenario, or
// several sharing one line at their own addresses (the first scenario sets
// the line's speed and pacing).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/wire/event_loop.h"
#include "sim/scenario.h"
#include "sim/server.h"

namespace probe {

class SimLine {
  public:
    SimLine(rt::EventLoop& loop, std::vector<sim::Scenario> scenarios);
    ~SimLine() { server_->Stop(); }
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    bool Serve(std::string* error) { return server_->ServePty(error); }
    void Stop() { server_->Stop(); }
    const std::string& pty_path() const { return server_->pty_path(); }

  private:
    std::unique_ptr<sim::SimServer> server_;
};

}  // namespace probe
