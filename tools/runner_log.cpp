#include "tools/runner_log.h"

#include "tools/runner_view.h"

namespace {

RunnerLog::Priority PriorityOf(HostEvent::Kind k) {
    switch (k) {
        case HostEvent::Kind::kAlarmRaised:
            return RunnerLog::Priority::kWarning;
        case HostEvent::Kind::kLinkLost:
            return RunnerLog::Priority::kErr;
        case HostEvent::Kind::kAlarmCleared:
        case HostEvent::Kind::kLinkBack:
            return RunnerLog::Priority::kNotice;
        default:
            return RunnerLog::Priority::kInfo;
    }
}

const char* PriorityName(RunnerLog::Priority p) {
    switch (p) {
        case RunnerLog::Priority::kErr:
            return "err";
        case RunnerLog::Priority::kWarning:
            return "warning";
        case RunnerLog::Priority::kNotice:
            return "notice";
        case RunnerLog::Priority::kInfo:
            break;
    }
    return "info";
}

}  // namespace

LogFormat AutoLogFormat(LogFormat given, const char* journal_stream, unsigned long long out_dev,
                        unsigned long long out_ino) {
    if (given != LogFormat::kAuto || journal_stream == nullptr) return given;
    unsigned long long dev = 0, ino = 0;
    char end = 0;
    if (std::sscanf(journal_stream, "%llu:%llu%c", &dev, &ino, &end) != 2) return given;
    return dev == out_dev && ino == out_ino ? LogFormat::kJournal : given;
}

RunnerLog::RunnerLog(FILE* out, bool json_stream, LogFormat format, bool terminal)
    : out_(out),
      json_stream_(json_stream),
      tables_(!json_stream && format == LogFormat::kAuto && terminal),
      format_(format == LogFormat::kAuto ? LogFormat::kText : format),
      clock_([] { return std::time(nullptr); }) {}

void RunnerLog::Line(Priority p, const std::string& text) {
    if (format_ == LogFormat::kJournal)
        std::fprintf(out_, "<%d>%s\n", static_cast<int>(p), text.c_str());
    else
        std::fprintf(out_, "%s\n", text.c_str());
    // A service's log is read while it runs, not when a buffer fills.
    if (!tables_) std::fflush(out_);
}

void RunnerLog::JsonLine(Json::Value v, Priority p) {
    if (!json_stream_) v["priority"] = PriorityName(p);
    std::fprintf(out_, "%s\n", ::JsonLine(v).c_str());
    std::fflush(out_);
}

void RunnerLog::Event(const HostEvent& e) {
    const bool alarm =
        e.kind == HostEvent::Kind::kAlarmRaised || e.kind == HostEvent::Kind::kAlarmCleared;
    const bool link = e.kind == HostEvent::Kind::kLinkLost || e.kind == HostEvent::Kind::kLinkBack;
    if (json_stream_) {
        // A record is most of the stream: its line skips the tree.
        if (RecordEventLine(e, record_line_)) {
            record_line_ += '\n';
            std::fwrite(record_line_.data(), 1, record_line_.size(), out_);
            std::fflush(out_);
            return;
        }
        JsonLine(EventJson(e), PriorityOf(e.kind));
        return;
    }
    if (!alarm && !link) return;
    if (format_ == LogFormat::kJson) {
        JsonLine(EventJson(e), PriorityOf(e.kind));
        return;
    }
    std::string text;
    if (alarm)
        text = std::string(e.kind == HostEvent::Kind::kAlarmRaised ? "RAISED " : "cleared") + "  " +
               std::to_string(e.data_id) + "  " + e.alarm.alarm_id + "  " + e.alarm.alarm_text;
    else
        text = std::string("link ") + (e.kind == HostEvent::Kind::kLinkLost ? "lost" : "back") +
               "  " + std::to_string(e.data_id) + (e.detail.empty() ? "" : "  " + e.detail);
    // The journal stamps every line itself.
    Line(PriorityOf(e.kind), format_ == LogFormat::kJournal ? text : e.time + "  " + text);
}

void RunnerLog::Note(Priority p, const std::string& source, const std::string& text) {
    if (json_stream_ || format_ == LogFormat::kJson) {
        // The JSON stream has carried service lines since before there were
        // other sources; it keeps their shape.
        Json::Value v(Json::objectValue);
        v["event"] = source;
        v["message"] = text;
        if (!json_stream_) v["time"] = LocalTimeText(clock_());
        JsonLine(v, p);
        return;
    }
    const std::string line = source + ": " + text;
    if (tables_ || format_ == LogFormat::kJournal)
        Line(p, line);
    else
        Line(p, LocalTimeText(clock_()) + "  " + line);
}

void RunnerLog::Data(const Json::Value& v, Priority p, const std::string& text) {
    if (json_stream_) {
        JsonLine(v, p);
        return;
    }
    if (text.empty()) return;
    if (tables_) {
        Line(p, text);
        return;
    }
    if (format_ == LogFormat::kJson) {
        Json::Value copy = v;
        copy["time"] = LocalTimeText(clock_());
        JsonLine(copy, p);
        return;
    }
    Line(p, format_ == LogFormat::kJournal ? text : LocalTimeText(clock_()) + "  " + text);
}

void RunnerLog::Table(const std::string& text) {
    if (!tables_) return;
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}
