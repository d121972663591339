// q318b-sim: a simulated power controller on a pseudo-terminal or a TCP
// port on loopback, answering from a scenario file.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>

#include "runtime/wire/event_loop.h"
#include "sim/server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"q318b-sim: simulated 48 V power-system controller"};
    std::string scenario_path;
    std::optional<uint16_t> tcp_port;
    std::string link;
    std::optional<int> baud;
    std::optional<double> turnaround;
    bool no_pace = false;
    bool verbose = false;
    app.add_option("scenario", scenario_path, "scenario file (JSON)")->required();
    app.add_option("--tcp", tcp_port,
                   "serve a TCP port on 127.0.0.1 instead of a pseudo-terminal (0: any free port)");
    app.add_option("--link", link,
                   "also make a symbolic link with this name to the pseudo-terminal");
    app.add_option("--baud", baud, "line speed to pace the replies at (overrides the scenario)");
    app.add_option("--turnaround-ms", turnaround,
                   "delay before each reply (overrides the scenario)");
    app.add_flag("--no-pace", no_pace, "send replies at once instead of at the line's speed");
    app.add_flag("-v,--verbose", verbose, "print a line per command and one per minute of totals");
    CLI11_PARSE(app, argc, argv);

    sim::Scenario scenario;
    std::string err;
    if (!sim::LoadScenarioFile(scenario_path, &scenario, &err)) {
        std::cerr << "q318b-sim: " << err << "\n";
        return 1;
    }
    if (baud) scenario.baud = *baud;
    if (turnaround) scenario.turnaround_ms = *turnaround;
    if (no_pace) scenario.pace = false;

    rt::EventLoop loop;
    sim::SimServer server(loop, std::move(scenario));
    const bool ok = tcp_port ? server.ServeTcp(*tcp_port, &err) : server.ServePty(&err);
    if (!ok) {
        std::cerr << "q318b-sim: " << err << "\n";
        return 1;
    }
    if (!link.empty() && !tcp_port) {
        ::unlink(link.c_str());
        if (::symlink(server.pty_path().c_str(), link.c_str()) != 0) {
            std::perror(("q318b-sim: symlink " + link).c_str());
            return 1;
        }
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
    if (!link.empty() && !tcp_port) ::unlink(link.c_str());
    return 0;
}
