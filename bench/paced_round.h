// One device of the large site on a pseudo-terminal, the simulator pacing
// the line at 9600 baud, polled a round at a time: what a round takes, and
// the floor the line itself sets (every character at ten bits, plus the
// simulator's turnaround before each reply).
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "device/q318b_419.h"
#include "tests/support/sim_rig.h"

struct PacedRound {
    double round_s = 0;
    double floor_s = 0;
    double chars = 0;
};

class PacedLargeSite {
  public:
    // False, with `error`, when the scenario or the pseudo-terminal fails.
    bool Start(std::string* error) {
        sim::Scenario s;
        if (!sim::LoadScenarioFile(
                std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/large_site.json", &s, error))
            return false;
        s.baud = 9600;
        s.pace = true;
        rig_ = std::make_unique<SimRig>(s);
        if (!rig_->served) {
            *error = rig_->error;
            return false;
        }
        dev_ = std::make_unique<q318b_419>();
        dev_->Init(rig_->port, 7, Json::Value());
        dev_->has_dc = true;
        rt::DeviceSchedule sched;
        sched.poll_interval = std::chrono::hours(1);
        sched.reset_interval = std::chrono::hours(1);
        rig_->port->AddDevice(*dev_, sched);
        rig_->port->Start();
        // A first round settles the DC layout and the expected reply sizes.
        rig_->RunUntil([&] { return rig_->Published() == 1; }, 100000);
        return rig_->Published() == 1;
    }
    ~PacedLargeSite() {
        if (rig_) rig_->port->RemoveDevice(*dev_);
    }

    PacedRound Round() {
        dev_->last_data_time_ = boost::posix_time::ptime();  // not a date: poll at once
        rig_->server.ResetStats();
        const size_t before = rig_->Published();
        const auto t0 = std::chrono::steady_clock::now();
        rig_->port->PollNow(*dev_);
        rig_->RunUntil([&] { return rig_->Published() > before; }, 100000);
        const auto t1 = std::chrono::steady_clock::now();
        const auto& st = rig_->server.stats();
        PacedRound r;
        r.round_s = std::chrono::duration<double>(t1 - t0).count();
        r.floor_s = std::chrono::duration<double>(
                        rig_->server.WireTime(st.chars_in + st.chars_out) + st.turnaround)
                        .count();
        r.chars = static_cast<double>(st.chars_in + st.chars_out);
        return r;
    }

    SimRig& rig() { return *rig_; }
    q318b_419& device() { return *dev_; }

  private:
    std::unique_ptr<SimRig> rig_;
    std::unique_ptr<q318b_419> dev_;
};
