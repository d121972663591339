// Where q318b-host writes what happens. On a terminal: a table per round
// and a line per alarm or link change. As a service (standard output not a
// terminal, or --log-format): one line per event that matters to whoever
// reads the log later (alarm raised or cleared, link lost or back, port
// errors, reloads), never a table. With --json: every event, records
// included, as one JSON object per line.
#pragma once

#include <json/value.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

#include "runtime/site/site_services.h"
#include "tools/host_options.h"

// The format to use: `given`, unless it is kAuto and standard output is
// the journal's stream: then the journal's, so priorities reach it.
// systemd names that stream "DEVICE:INODE" in JOURNAL_STREAM (null when
// unset); a child whose output went elsewhere inherits the variable, so
// it counts only when `out_dev` and `out_ino` (standard output's) match.
LogFormat AutoLogFormat(LogFormat given, const char* journal_stream, unsigned long long out_dev,
                        unsigned long long out_ino);

class RunnerLog {
  public:
    // syslog's numbers, which the journal reads from a "<N>" line prefix.
    enum class Priority { kErr = 3, kWarning = 4, kNotice = 5, kInfo = 6 };
    using Clock = std::function<std::time_t()>;

    // `format` kAuto picks tables when `terminal`, else text lines.
    RunnerLog(FILE* out, bool json_stream, LogFormat format, bool terminal);

    // --json: every event as JSON, the stream other programs read.
    bool json_stream() const { return json_stream_; }
    // The interactive view: a table per round.
    bool tables() const { return tables_; }
    LogFormat format() const { return format_; }

    // An event of the site services. Records and analog reports are shown
    // only in the JSON stream: a log line per round would drown the rest.
    void Event(const HostEvent& e);
    // A line of the host's own: `source` names where it comes from in JSON
    // ("host", "service", "reload").
    void Note(Priority p, const std::string& source, const std::string& text);
    // An object of the JSON stream (link statistics, queries, control);
    // in the other formats `text` is written as a note instead, unless
    // empty.
    void Data(const Json::Value& v, Priority p, const std::string& text);
    // A round's table, on a terminal only.
    void Table(const std::string& text);

    // Tests pin the clock; the default is the system time.
    void SetClock(Clock c) { clock_ = std::move(c); }

  private:
    void Line(Priority p, const std::string& text);
    void JsonLine(Json::Value v, Priority p);

    FILE* out_;
    // The JSON stream's record lines, written into one buffer that keeps
    // its size from round to round.
    std::string record_line_;
    bool json_stream_;
    bool tables_;
    LogFormat format_;
    Clock clock_;
};
