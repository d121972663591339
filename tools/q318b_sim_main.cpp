// q318b-sim: a simulated power controller on a pseudo-terminal or a TCP
// port on loopback, answering from a scenario file or from a recorded line
// trace.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/wire/event_loop.h"
#include "sim/server.h"
#include "sim/trace_replay.h"
#include "tools/fd_limit.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

// A problem that stops the simulator before it serves: one line on stderr.
struct StartError {
    std::string text;
};

constexpr int kExitStart = 2;

std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Totals over every controller served, for the scale benchmark.
void WriteStats(const std::string& path,
                const std::vector<std::unique_ptr<sim::SimServer>>& servers) {
    uint64_t commands = 0, replies = 0, rounds = 0;
    double time = 0, floor = 0, worst = 0;
    for (const auto& s : servers) {
        const auto& st = s->stats();
        commands += st.commands;
        replies += st.replies;
        rounds += st.rounds;
        time += std::chrono::duration<double>(st.round_time).count();
        floor += std::chrono::duration<double>(st.round_floor).count();
        worst = std::max(worst, st.worst_over_pct);
    }
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::cerr << "q318b-sim: --stats " << path << ": " << std::strerror(errno) << std::endl;
        return;
    }
    std::fprintf(f,
                 "{\"ports\": %zu, \"commands\": %llu, \"replies\": %llu, \"rounds\": %llu, "
                 "\"round_s\": %.6f, \"floor_s\": %.6f, \"over_pct\": %.3f, "
                 "\"worst_over_pct\": %.3f}\n",
                 servers.size(), static_cast<unsigned long long>(commands),
                 static_cast<unsigned long long>(replies), static_cast<unsigned long long>(rounds),
                 rounds ? time / rounds : 0.0, rounds ? floor / rounds : 0.0,
                 floor > 0 ? 100.0 * (time / floor - 1.0) : 0.0, worst);
    std::fclose(f);
}

int Run(int argc, char** argv) {
    CLI::App app{"q318b-sim: simulated 48 V power-system controller"};
    std::string scenario_path;
    std::optional<long> tcp_port;
    std::string link;
    std::optional<long> baud;
    std::optional<double> turnaround;
    bool no_pace = false;
    bool verbose = false;
    long ports = 1;
    std::optional<double> pace_tick_ms;
    std::string stats_path;
    std::string replay_path, replay_port;
    app.add_option("scenario", scenario_path, "scenario file (JSON)");
    app.add_option("--replay-trace", replay_path,
                   "answer from a q318b-host --trace file instead of a scenario");
    app.add_option("--trace-port", replay_port,
                   "with --replay-trace: the port of the trace to replay (needed when it has "
                   "several)");
    app.add_option("--tcp", tcp_port,
                   "serve a TCP port on 127.0.0.1 instead of a pseudo-terminal (0: any free port)");
    app.add_option("--link", link,
                   "also make a symbolic link with this name to the pseudo-terminal");
    app.add_option("--baud", baud, "line speed to pace the replies at (overrides the scenario)");
    app.add_option("--turnaround-ms", turnaround,
                   "delay before each reply (overrides the scenario)");
    app.add_flag("--no-pace", no_pace, "send replies at once instead of at the line's speed");
    app.add_flag("-v,--verbose", verbose, "print a line per command and one per minute of totals");
    app.add_option("--ports", ports,
                   "with --tcp: serve this many controllers on consecutive ports from --tcp "
                   "(any free ports with --tcp 0), all on one event loop");
    app.add_option("--pace-tick-ms", pace_tick_ms,
                   "hand paced replies over in chunks at most this far apart (default: a "
                   "character at a time)");
    app.add_option("--stats", stats_path,
                   "on exit, write the rounds served and their time against the line's own "
                   "time to this file (JSON)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help prints its text and succeeds; anything else is one line.
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        throw StartError{e.what()};
    }
    // The same bounds as in a scenario file (examples/scenarios/README.md).
    if (tcp_port && (*tcp_port < 0 || *tcp_port > 65535))
        throw StartError{"--tcp: must be a port from 0 to 65535"};
    if (baud && (*baud < sim::limits::kMinBaud || *baud > sim::limits::kMaxBaud))
        throw StartError{"--baud: must be from " + std::to_string(sim::limits::kMinBaud) + " to " +
                         std::to_string(sim::limits::kMaxBaud)};
    if (turnaround && !(*turnaround >= 0 && *turnaround <= sim::limits::kMaxTurnaroundMs))
        throw StartError{"--turnaround-ms: must be from 0 to 60000"};
    if (!link.empty() && tcp_port)
        throw StartError{"--link: only with a pseudo-terminal, not --tcp"};
    if (ports < 1 || ports > 10000) throw StartError{"--ports: must be from 1 to 10000"};
    if (ports > 1 && !tcp_port) throw StartError{"--ports: only with --tcp"};
    if (ports > 1 && *tcp_port != 0 && *tcp_port + ports - 1 > 65535)
        throw StartError{"--ports: the ports from --tcp must end at 65535 or below"};
    if (pace_tick_ms && !(*pace_tick_ms >= 0 && *pace_tick_ms <= 1000))
        throw StartError{"--pace-tick-ms: must be from 0 to 1000"};
    if (ports > 1 && !replay_path.empty()) throw StartError{"--ports: not with --replay-trace"};

    if (scenario_path.empty() == replay_path.empty())
        throw StartError{"give one of a scenario file and --replay-trace FILE"};
    if (!replay_port.empty() && replay_path.empty())
        throw StartError{"--trace-port: only with --replay-trace"};
    sim::Scenario scenario;
    std::string err;
    std::unique_ptr<sim::TraceReplay> replay;
    if (!replay_path.empty()) {
        std::vector<rt::TraceEntry> entries;
        std::vector<std::string> ports;
        if (!rt::ReadTraceFile(replay_path, &entries, &err)) throw StartError{err};
        for (const auto& e : entries)
            if (std::find(ports.begin(), ports.end(), e.port) == ports.end())
                ports.push_back(e.port);
        if (replay_port.empty()) {
            if (ports.size() > 1)
                throw StartError{"trace file " + replay_path + " has " +
                                 std::to_string(ports.size()) +
                                 " ports: choose one with --trace-port (" + ports[0] + ", ...)"};
            if (!ports.empty()) replay_port = ports[0];
        } else if (std::find(ports.begin(), ports.end(), replay_port) == ports.end()) {
            throw StartError{"trace file " + replay_path + " has no port " + replay_port};
        }
        entries.erase(
            std::remove_if(entries.begin(), entries.end(),
                           [&](const rt::TraceEntry& e) { return e.port != replay_port; }),
            entries.end());
        replay = std::make_unique<sim::TraceReplay>(entries);
        if (replay->commands() == 0)
            throw StartError{"trace file " + replay_path + " records no command"};
        // The trace's own delays stand for the line's time.
        scenario.pace = false;
        scenario.turnaround_ms = 0;
    } else if (!sim::LoadScenarioFile(scenario_path, &scenario, &err)) {
        throw StartError{err};
    }
    if (baud) scenario.baud = static_cast<int>(*baud);
    if (turnaround) scenario.turnaround_ms = *turnaround;
    if (no_pace) scenario.pace = false;

    rt::EventLoop loop;
    std::vector<std::unique_ptr<sim::SimServer>> servers;
    for (long i = 0; i < ports; ++i) {
        servers.push_back(std::make_unique<sim::SimServer>(loop, scenario));
        sim::SimServer& server = *servers.back();
        if (pace_tick_ms)
            server.SetPaceTick(std::chrono::duration_cast<rt::Duration>(
                std::chrono::duration<double, std::milli>(*pace_tick_ms)));
        if (replay)
            server.SetResponder(
                [&replay](std::string_view body, double) { return replay->Answer(body); });
        const uint16_t port = static_cast<uint16_t>(tcp_port && *tcp_port != 0 ? *tcp_port + i : 0);
        const bool ok = tcp_port ? server.ServeTcp(port, &err) : server.ServePty(&err);
        if (!ok) throw StartError{err};
    }
    sim::SimServer& server = *servers.front();
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(server.pty_path().c_str(), link.c_str()) != 0)
            throw StartError{"--link " + link + ": " + std::strerror(errno)};
    }
    for (const auto& s : servers) std::cout << s->Endpoint() << "\n";
    std::cout << std::flush;

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    uint64_t seen = 0;
    auto last_report = loop.Now();
    while (g_stop == 0) {
        loop.RunOnce(std::chrono::milliseconds(200));
        if (!verbose) continue;
        const auto& st = server.stats();
        if (st.commands != seen) {
            std::cerr << "commands " << st.commands << ", replies " << st.replies << "\n";
            seen = st.commands;
        }
        if (loop.Now() - last_report > std::chrono::minutes(1)) {
            last_report = loop.Now();
            std::cerr << "chars in " << st.chars_in << ", out " << st.chars_out << "\n";
        }
    }
    for (auto& s : servers) s->CloseRound();
    if (!stats_path.empty()) WriteStats(stats_path, servers);
    for (auto& s : servers) s->Stop();
    if (!link.empty()) ::unlink(link.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    RaiseDescriptorLimit();
    // Nothing escapes as an abort: every problem is one line and exit 2.
    try {
        return Run(argc, argv);
    } catch (const StartError& e) {
        std::cerr << "q318b-sim: " << OneLine(e.text) << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "q318b-sim: " << OneLine(e.what()) << std::endl;
    } catch (...) {
        std::cerr << "q318b-sim: stopped by an unexpected error" << std::endl;
    }
    return kExitStart;
}
