// One poll round of the large site over a pseudo-terminal, the simulator
// pacing the line at 9600 baud: how much the host adds to the time the
// line itself needs (every character of commands and replies at ten bits,
// plus the simulator's turnaround before each reply).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "device/q318b_419.h"
#include "runtime/framework/diag_redirect.h"
#include "tests/support/sim_rig.h"

namespace {

void BM_WireRoundLargeSite9600(benchmark::State& state) {
    sim::Scenario s;
    std::string err;
    if (!sim::LoadScenarioFile(
            std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/large_site.json", &s, &err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    s.baud = 9600;
    s.pace = true;
    double round_s = 0, floor_s = 0, chars = 0, worst_pct = 0;
    int rounds = 0;
    {
        DiagRedirect quiet(
            "");  // the plug-in's diagnostics are part of the round, the terminal is not
        SimRig rig(s);
        if (!rig.served) {
            state.SkipWithError(rig.error.c_str());
            return;
        }
        auto dev = std::make_unique<q318b_419>();
        dev->Init(rig.port, 7, Json::Value());
        dev->has_dc = true;
        rt::DeviceSchedule sched;
        sched.poll_interval = std::chrono::hours(1);
        sched.reset_interval = std::chrono::hours(1);
        rig.port->AddDevice(*dev, sched);
        rig.port->Start();
        // A first round settles the DC layout and the expected reply sizes.
        rig.RunUntil([&] { return rig.Published() == 1; }, 100000);

        for (auto _ : state) {
            dev->last_data_time_ = boost::posix_time::ptime();  // not a date: poll at once
            rig.server.ResetStats();
            const size_t before = rig.Published();
            const auto t0 = std::chrono::steady_clock::now();
            rig.port->PollNow(*dev);
            rig.RunUntil([&] { return rig.Published() > before; }, 100000);
            const auto t1 = std::chrono::steady_clock::now();
            const auto& st = rig.server.stats();
            const double r = std::chrono::duration<double>(t1 - t0).count();
            const double f = std::chrono::duration<double>(
                                 rig.server.WireTime(st.chars_in + st.chars_out) + st.turnaround)
                                 .count();
            state.SetIterationTime(r);
            round_s += r;
            floor_s += f;
            chars += static_cast<double>(st.chars_in + st.chars_out);
            worst_pct = std::max(worst_pct, (r / f - 1) * 100);
            ++rounds;
        }
    }
    if (rounds == 0) return;
    state.counters["round_s"] = round_s / rounds;
    state.counters["floor_s"] = floor_s / rounds;
    state.counters["chars"] = chars / rounds;
    state.counters["over_pct"] = (round_s / floor_s - 1) * 100;
    state.counters["worst_pct"] = worst_pct;
}

}  // namespace

BENCHMARK(BM_WireRoundLargeSite9600)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
