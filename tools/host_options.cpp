#include "tools/host_options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cmath>
#include <stdexcept>

#include "runtime/site/site_config.h"
#include "tools/link_stats_meter.h"

namespace {

// A number of seconds, written as a plain decimal, within [lo, hi].
bool Seconds(const std::string& text, double lo, double hi, double* out) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

std::vector<uint8_t> ControlPayload(int code, const std::string& payload) {
    std::vector<uint8_t> out;
    if (code != 300) {
        out.assign(payload.begin(), payload.end());
        return out;
    }
    std::string hex;
    for (char c : payload)
        if (c != ' ') hex += c;
    if (hex.size() % 2 != 0) throw std::invalid_argument("--control 300: odd number of hex digits");
    for (size_t i = 0; i < hex.size(); i += 2) {
        const std::string pair = hex.substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])))
            throw std::invalid_argument("--control 300: bad hex \"" + pair + "\"");
        out.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    }
    return out;
}

int ParseHostOptions(int argc, const char* const* argv, HostOptions* opt, std::string* message) {
    CLI::App app{"q318b-host: host runner for the q318b_419 device plug-in"};
    std::string rounds = "0", duration = "0", reset = "30", stats = "60";
    std::vector<std::string> control;
    app.add_option("--site", opt->site, "site file (JSON)")->capture_default_str();
    app.add_option("--plugin", opt->plugin,
                   "the plug-in to load (default: the site's, else this build's)");
    app.add_option("--db", opt->database,
                   "SQLite file for history, alarms and reports (default: the site's)");
    app.add_flag("--no-db", opt->no_db, "store nothing");
    app.add_option("--diag", opt->diag,
                   "file for the plug-in's diagnostic lines (default: dropped)");
    app.add_option("--rounds", rounds, "stop after every device completed N rounds (0: never)");
    app.add_option("--duration", duration, "stop after S seconds (0: never)");
    app.add_flag("--json", opt->json, "one JSON object per event instead of tables");
    std::string log_format;
    CLI::Option* log_opt = app.add_option(
        "--log-format", log_format,
        "text, journal or json: one line per event, no tables (default: tables on a terminal, "
        "else text)");
    app.add_option("--trace", opt->trace,
                   "write every frame sent and received, with the codec's verdict, to FILE");
    std::string trace_mb = "10";
    app.add_option("--trace-max-mb", trace_mb,
                   "size at which the trace file is rotated (FILE.1 to FILE.3 kept)")
        ->capture_default_str();
    app.add_flag("--check", opt->check,
                 "check the site file, its settings, rule and scenario files, then exit (0: fine, "
                 "2: problems, one line each)");
    app.add_option("--query", opt->queries,
                   "after each round, ask each device for KEY (repeatable)");
    app.add_option("--control", control, "CODE PAYLOAD: one control request after the first round")
        ->expected(2);
    app.add_option("--reset-interval", reset, "seconds between the host's Reset() calls")
        ->capture_default_str();
    app.add_option("--stats-interval", stats,
                   "seconds between link statistics reports (JSON event and database row)")
        ->capture_default_str();
    CLI::Option* http =
        app.add_option("--http", opt->http,
                       "ADDR:PORT to serve /metrics on (default: the site's \"http\", else none)");
    CLI::Option* mqtt = app.add_option(
        "--mqtt", opt->mqtt,
        "mqtt://HOST:PORT or mqtts://HOST:PORT to publish to (default: the site's \"mqtt\")");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        *message = app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        *message = OneLine(e.what());
        return 2;
    }

    const auto fail = [&](const std::string& m) {
        *message = m;
        return 2;
    };
    if (log_opt->count() > 0) {
        if (log_format == "text")
            opt->log_format = LogFormat::kText;
        else if (log_format == "journal")
            opt->log_format = LogFormat::kJournal;
        else if (log_format == "json")
            opt->log_format = LogFormat::kJson;
        else
            return fail("--log-format must be text, journal or json");
        // --json streams every record; a log is for events only.
        if (opt->json) return fail("--json and --log-format exclude each other");
    }
    double mb = 0;
    if (!Seconds(trace_mb, 0.01, 100000, &mb))
        return fail("--trace-max-mb must be from 0.01 to 100000");
    opt->trace_max_bytes = static_cast<uint64_t>(mb * 1048576);
    double v = 0;
    if (!Seconds(rounds, 0, 1e9, &v) || v != std::floor(v))
        return fail("--rounds must be a whole number from 0 to 1000000000");
    opt->rounds = static_cast<long>(v);
    if (!Seconds(duration, 0, 31536000, &opt->duration))
        return fail("--duration must be from 0 to 31536000 seconds");
    // Past a day the communication alarm would come a day late; beyond
    // that the timer arithmetic overflows.
    if (!Seconds(reset, 0.1, 86400, &opt->reset_interval))
        return fail("--reset-interval must be from 0.1 to 86400 seconds");
    if (!ParseStatsInterval(stats, &opt->stats_interval))
        return fail("--stats-interval must be from 0.001 to 86400 seconds");
    std::string http_host;
    int http_port = 0;
    if (http->count() > 0 && !ParseListenAddress(opt->http, &http_host, &http_port))
        return fail("--http must be ADDR:PORT (an IPv4 address or localhost, port 1-65535)");
    MqttConfig mqtt_url;
    if (mqtt->count() > 0 && !ParseMqttUrl(opt->mqtt, &mqtt_url))
        return fail("--mqtt must be mqtt://HOST:PORT or mqtts://HOST:PORT");
    for (const auto& q : opt->queries)
        if (q.empty()) return fail("--query needs a key");
    if (!control.empty()) {
        if (control[0] == "300")
            opt->control_code = 300;
        else if (control[0] == "310")
            opt->control_code = 310;
        else if (control[0] == "320")
            opt->control_code = 320;
        else
            return fail("--control: CODE must be 300, 310 or 320, not \"" + control[0] + "\"");
        try {
            opt->control_bytes = ControlPayload(opt->control_code, control[1]);
        } catch (const std::invalid_argument& e) {
            return fail(e.what());
        }
    }
    return -1;
}
