// q318b-soak: long soak runs by hand (figures in docs/performance.md).
#include <CLI/CLI.hpp>
#include <cstdio>

#include "tests/soak/soak.h"

int main(int argc, char** argv) {
    CLI::App app{"q318b-soak: the host and the simulator under a seeded fault schedule"};
    soak::Options opt;
    opt.source_dir = Q318B_SOURCE_DIR;
    uint64_t seeds = 1;
    app.add_option("--seed", opt.seed, "first seed")->capture_default_str();
    app.add_option("--seeds", seeds, "number of seeds, one run each")->capture_default_str();
    app.add_option("--rounds", opt.rounds, "rounds per run")->capture_default_str();
    app.add_option("--fault-share", opt.fault_share, "share of rounds given a fault")
        ->check(CLI::Range(0.0, 1.0))
        ->capture_default_str();
    app.add_option("--kind", opt.kinds, "fault kinds to draw from (repeatable; default all)");
    app.add_flag("--pace", opt.pace, "pace the simulator at the line's baud rate");
    bool show = false;
    app.add_flag("--verbose", opt.verbose, "every link event, with its line time, on stderr");
    app.add_flag("--schedule", show, "print every fault scheduled");
    CLI11_PARSE(app, argc, argv);
    long damaged = 0, false_alarms = 0;
    for (uint64_t k = 0; k < seeds; ++k) {
        soak::Options o = opt;
        o.seed = opt.seed + k;
        const soak::Result r = soak::Run(o);
        std::printf("seed %llu: %s", static_cast<unsigned long long>(o.seed),
                    soak::Summary(r).c_str());
        std::fflush(stdout);
        if (show)
            for (const auto& e : r.schedule) std::printf("  %s\n", e.c_str());
        damaged += r.damaged;
        false_alarms += r.false_alarms;
    }
    return damaged == 0 && false_alarms == 0 ? 0 : 1;
}
