// One poll round of the large site over a pseudo-terminal, the simulator
// pacing the line at 9600 baud: how much the host adds to the time the
// line itself needs (every character of commands and replies at ten bits,
// plus the simulator's turnaround before each reply).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "bench/alloc_count.h"
#include "bench/paced_round.h"
#include "runtime/framework/diag_redirect.h"

namespace {

void BM_WireRoundLargeSite9600(benchmark::State& state) {
    double round_s = 0, floor_s = 0, chars = 0, worst_pct = 0;
    int rounds = 0;
    uint64_t allocs = 0;
    {
        DiagRedirect quiet(
            "");  // the plug-in's diagnostics are part of the round, the terminal is not
        PacedLargeSite site;
        std::string err;
        if (!site.Start(&err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        for (auto _ : state) {
            // The simulator serves the line from the same loop, so its
            // allocations are in the count with the host's and the device's.
            const bench::AllocSpan span;
            const PacedRound r = site.Round();
            allocs += span.Count();
            state.SetIterationTime(r.round_s);
            round_s += r.round_s;
            floor_s += r.floor_s;
            chars += r.chars;
            worst_pct = std::max(worst_pct, (r.round_s / r.floor_s - 1) * 100);
            ++rounds;
        }
    }
    if (rounds == 0) return;
    state.counters["round_s"] = round_s / rounds;
    state.counters["floor_s"] = floor_s / rounds;
    state.counters["chars"] = chars / rounds;
    state.counters["over_pct"] = (round_s / floor_s - 1) * 100;
    state.counters["worst_pct"] = worst_pct;
    state.counters["allocs_per_round"] = static_cast<double>(allocs) / rounds;
}

}  // namespace

BENCHMARK(BM_WireRoundLargeSite9600)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
