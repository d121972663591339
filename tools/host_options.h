// The command line of q318b-host: every flag read and checked before the
// runner touches a file or a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/wire/event_loop.h"

// How events are written when they are not shown as tables. kAuto: tables
// on a terminal, text lines otherwise.
enum class LogFormat { kAuto, kText, kJournal, kJson };

struct HostOptions {
    std::string site;
    std::string plugin;
    std::string database;
    std::string diag;
    bool no_db = false;
    long rounds = 0;      // 0: no limit
    double duration = 0;  // seconds; 0: no limit
    bool json = false;
    LogFormat log_format = LogFormat::kAuto;
    bool check = false;  // check the site and exit
    std::string trace;   // trace file; empty: no trace
    uint64_t trace_max_bytes = 10u << 20;
    std::vector<std::string> queries;
    int control_code = 0;  // 0: no control request
    std::vector<uint8_t> control_bytes;
    double reset_interval = 30;
    rt::Duration stats_interval = std::chrono::seconds(60);
    std::string http;  // "ADDR:PORT" as given; empty: the site's, else no listener
    std::string mqtt;  // broker URL as given; empty: the site's, else no publishing
};

// Reads argv into `opt` (whose `site` holds the default). Returns -1 when
// the runner is to go on; otherwise the exit status, with `message` the
// text to print: help for standard output (status 0), or one line for
// standard error (status 2).
int ParseHostOptions(int argc, const char* const* argv, HostOptions* opt, std::string* message);

// The request bytes of a control code: hex for the raw command (300), text
// for the others. Throws std::invalid_argument with one line.
std::vector<uint8_t> ControlPayload(int code, const std::string& payload);
