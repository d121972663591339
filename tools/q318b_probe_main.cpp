// q318b-probe: finds the controllers on a line and works out the device
// options that decode their replies. Exit status 0 when a controller
// answered, 1 when none did, 2 for a bad command line or a port that
// cannot be opened.
#include <fcntl.h>
#include <json/writer.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "runtime/site/site_config.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/transport.h"
#include "tools/probe/probe_layout.h"
#include "tools/probe/probe_line.h"
#include "tools/probe/probe_report.h"
#include "tools/probe/probe_sim.h"

namespace {

struct UsageError {
    std::string message;
};

// The plug-in's decoders print trace lines on standard output; while they
// run for the probe, those lines go nowhere.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        std::cout.flush();
        saved_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDOUT_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        std::cout.flush();
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_ = -1;
};

// "1-32" or "5".
void ParseRange(const std::string& text, int* first, int* last) {
    const auto dash = text.find('-');
    const std::string a = text.substr(0, dash);
    const std::string b = dash == std::string::npos ? a : text.substr(dash + 1);
    const auto number = [&](const std::string& s) {
        if (s.empty() || s.size() > 3 || s.find_first_not_of("0123456789") != std::string::npos)
            throw UsageError{"--addresses: \"" + text + "\" is not an address or a range A-B"};
        return std::stoi(s);
    };
    *first = number(a);
    *last = number(b);
    if (*first > 255 || *last > 255 || *first > *last)
        throw UsageError{"--addresses: \"" + text + "\" must lie within 0-255, low to high"};
}

struct Line {
    std::unique_ptr<probe::SimLine> sim;
    std::unique_ptr<rt::Transport> transport;
};

// The site file's port forms; "sim:A.json,B.json" puts several simulated
// controllers on one line.
Line OpenLine(rt::EventLoop& loop, const std::string& text, int baud) {
    Line line;
    std::string err;
    if (text.rfind("sim:", 0) == 0) {
        std::vector<sim::Scenario> scenarios;
        std::string rest = text.substr(4);
        for (size_t from = 0; from <= rest.size();) {
            const size_t comma = std::min(rest.find(',', from), rest.size());
            PortSpec where;
            try {
                where = ParsePortSpec("sim:" + rest.substr(from, comma - from), ".");
            } catch (const std::exception& e) {
                throw UsageError{e.what()};
            }
            sim::Scenario s;
            if (!sim::LoadScenarioFile(where.path, &s, &err)) throw UsageError{err};
            scenarios.push_back(std::move(s));
            from = comma + 1;
        }
        line.sim = std::make_unique<probe::SimLine>(loop, std::move(scenarios));
        if (!line.sim->Serve(&err)) throw UsageError{"sim: " + err};
        line.transport = std::make_unique<rt::SerialPort>(line.sim->pty_path(), baud);
    } else {
        PortSpec where;
        try {
            where = ParsePortSpec(text, ".");
        } catch (const std::exception& e) {
            throw UsageError{e.what()};
        }
        if (where.kind == PortSpec::Kind::kTcp)
            line.transport =
                std::make_unique<rt::TcpClient>(where.host, static_cast<uint16_t>(where.port));
        else
            line.transport = std::make_unique<rt::SerialPort>(where.path, baud);
    }
    if (!line.transport->Open(&err)) throw UsageError{text + ": " + err};
    if (line.transport->Connecting()) {
        bool ready = false;
        loop.Watch(
            line.transport->fd(), [&](short) { ready = true; }, true);
        const rt::TimePoint until = loop.Now() + std::chrono::seconds(10);
        while (!ready && loop.Now() < until) loop.RunOnce(until - loop.Now());
        loop.Unwatch(line.transport->fd());
        if (!ready || !line.transport->FinishOpen(&err))
            throw UsageError{text + ": " + (ready ? err : "no connection within 10 s")};
    }
    return line;
}

int Run(int argc, char** argv) {
    CLI::App app{"q318b-probe: find the controllers on a line and work out their device options"};
    std::string port, addresses = "1-32";
    int baud = 9600;
    double timeout = 1.0;
    bool json = false, quiet = false;
    app.add_option("port", port, "serial device, tcp://HOST:PORT or sim:SCENARIO.json[,...]")
        ->required();
    app.add_option("--baud", baud, "line speed (default 9600)")->check(CLI::Range(50, 4000000));
    app.add_option("--addresses", addresses, "addresses to ask, A-B or one (default 1-32)");
    app.add_option("--timeout", timeout, "seconds to wait for a reply's first byte (default 1)")
        ->check(CLI::Range(0.01, 60.0));
    app.add_flag("--json", json, "one JSON document instead of text");
    app.add_flag("--quiet", quiet, "no progress lines on standard error");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "q318b-probe: " << e.what() << "\n";
        return 2;
    }

    probe::LineOptions opt;
    opt.first_byte_timeout =
        std::chrono::duration_cast<rt::Duration>(std::chrono::duration<double>(timeout));
    rt::EventLoop loop;
    probe::Report report;
    report.port = port;
    report.baud = baud;
    std::vector<probe::Found> found;
    try {
        ParseRange(addresses, &opt.first_address, &opt.last_address);
        Line line = OpenLine(loop, port, baud);
        probe::LineProbe lp(loop, *line.transport, opt);
        found = lp.Run([&](const std::string& s) {
            if (!quiet) std::cerr << "q318b-probe: " << s << "\n";
        });
        if (!lp.error().empty()) throw UsageError{lp.error()};
        if (line.sim) line.sim->Stop();
    } catch (const UsageError& e) {
        std::cerr << "q318b-probe: " << e.message << "\n";
        return 2;
    }
    {
        QuietStdout hush;
        for (auto& f : found) report.controllers.push_back({f, probe::InferLayout(f.round)});
    }
    if (json) {
        Json::StreamWriterBuilder w;
        w["indentation"] = "  ";
        std::cout << Json::writeString(w, probe::ReportJson(report)) << "\n";
    } else {
        std::cout << probe::ReportText(report);
    }
    return found.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    return Run(argc, argv);
}
