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

#include "runtime/wire/event_loop.h"
#include "sim/server.h"
#include "sim/trace_replay.h"

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

int Run(int argc, char** argv) {
    CLI::App app{"q318b-sim: simulated 48 V power-system controller"};
    std::string scenario_path;
    std::optional<long> tcp_port;
    std::string link;
    std::optional<long> baud;
    std::optional<double> turnaround;
    bool no_pace = false;
    bool verbose = false;
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
    sim::SimServer server(loop, std::move(scenario));
    if (replay)
        server.SetResponder(
            [&replay](std::string_view body, double) { return replay->Answer(body); });
    const bool ok =
        tcp_port ? server.ServeTcp(static_cast<uint16_t>(*tcp_port), &err) : server.ServePty(&err);
    if (!ok) throw StartError{err};
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(server.pty_path().c_str(), link.c_str()) != 0)
            throw StartError{"--link " + link + ": " + std::strerror(errno)};
    }
    std::cout << server.Endpoint() << std::endl;

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
    server.Stop();
    if (!link.empty()) ::unlink(link.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
