// What the runner writes in each output format: a service's log gets one
// line per event that matters, with a priority the journal reads; the JSON
// stream keeps every event in the shape other programs already read.
#include "tools/runner_log.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdio>
#include <sstream>

namespace {

// Everything a RunnerLog wrote, line by line.
class Capture {
  public:
    Capture() { file_ = open_memstream(&buf_, &len_); }
    ~Capture() {
        if (file_ != nullptr) std::fclose(file_);
        std::free(buf_);
    }
    FILE* file() const { return file_; }
    std::vector<std::string> Lines() {
        std::fflush(file_);
        std::vector<std::string> out;
        std::istringstream in(std::string(buf_, len_));
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }

  private:
    char* buf_ = nullptr;
    size_t len_ = 0;
    FILE* file_ = nullptr;
};

HostEvent Raised() {
    HostEvent e;
    e.kind = HostEvent::Kind::kAlarmRaised;
    e.data_id = 7;
    e.time = "2026-01-02 03:04:05";
    e.alarm.alarm_id = "419415001";
    e.alarm.alarm_text = "mains failure";
    return e;
}

HostEvent LinkLost() {
    HostEvent e;
    e.kind = HostEvent::Kind::kLinkLost;
    e.data_id = 7;
    e.time = "2026-01-02 03:04:05";
    e.detail = "no good reply to 4142";
    return e;
}

HostEvent Record() {
    HostEvent e;
    e.kind = HostEvent::Kind::kRecordPublished;
    e.data_id = 7;
    e.time = "2026-01-02 03:04:05";
    return e;
}

Json::Value Parse(const std::string& line) {
    Json::Value v;
    std::istringstream in(line);
    std::string errs;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errs)) << line;
    return v;
}

}  // namespace

TEST(RunnerLog, EachFormatWritesTheEventsThatMatterAsOneLine) {
    const struct {
        LogFormat format;
        bool terminal;
        std::vector<std::string> lines;
    } cases[] = {
        // On a terminal: the interactive view, no priorities.
        {LogFormat::kAuto,
         true,
         {"2026-01-02 03:04:05  RAISED   7  419415001  mains failure",
          "2026-01-02 03:04:05  link lost  7  no good reply to 4142", "host: port /dev/x gone"}},
        // Not a terminal: text lines, every one stamped.
        {LogFormat::kAuto,
         false,
         {"2026-01-02 03:04:05  RAISED   7  419415001  mains failure",
          "2026-01-02 03:04:05  link lost  7  no good reply to 4142",
          "2026-01-02 03:04:09  host: port /dev/x gone"}},
        // The journal stamps lines itself and reads the priority prefix.
        {LogFormat::kJournal,
         true,
         {"<4>RAISED   7  419415001  mains failure", "<3>link lost  7  no good reply to 4142",
          "<4>host: port /dev/x gone"}},
    };
    for (const auto& c : cases) {
        Capture cap;
        RunnerLog log(cap.file(), false, c.format, c.terminal);
        log.SetClock([] {
            std::tm t{};
            t.tm_year = 126, t.tm_mon = 0, t.tm_mday = 2, t.tm_hour = 3, t.tm_min = 4, t.tm_sec = 9;
            t.tm_isdst = -1;
            return std::mktime(&t);
        });
        log.Event(Raised());
        log.Event(Record());  // never a log line
        log.Event(LinkLost());
        log.Note(RunnerLog::Priority::kWarning, "host", "port /dev/x gone");
        EXPECT_EQ(cap.Lines(), c.lines) << static_cast<int>(c.format) << " " << c.terminal;
        EXPECT_EQ(log.tables(), c.format == LogFormat::kAuto && c.terminal);
    }
}

TEST(RunnerLog, JsonLogCarriesPrioritiesAndTheStreamKeepsItsShape) {
    Capture log_cap;
    RunnerLog log(log_cap.file(), false, LogFormat::kJson, true);
    log.Event(Raised());
    log.Event(Record());
    log.Note(RunnerLog::Priority::kErr, "reload", "refused");
    const auto lines = log_cap.Lines();
    ASSERT_EQ(lines.size(), 2u);
    const Json::Value raised = Parse(lines[0]);
    EXPECT_EQ(raised["event"].asString(), "alarm_raised");
    EXPECT_EQ(raised["priority"].asString(), "warning");
    EXPECT_EQ(raised["alarm"]["alarm_id"].asString(), "419415001");
    const Json::Value note = Parse(lines[1]);
    EXPECT_EQ(note["event"].asString(), "reload");
    EXPECT_EQ(note["priority"].asString(), "err");
    EXPECT_TRUE(note.isMember("time"));

    // --json: every event, records too, and no members it never had.
    Capture stream_cap;
    RunnerLog stream(stream_cap.file(), true, LogFormat::kAuto, true);
    EXPECT_FALSE(stream.tables());
    stream.Event(Raised());
    stream.Event(Record());
    stream.Note(RunnerLog::Priority::kInfo, "service", "listening");
    const auto events = stream_cap.Lines();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(Parse(events[1])["event"].asString(), "record");
    const Json::Value service = Parse(events[2]);
    EXPECT_EQ(service.getMemberNames(), (std::vector<std::string>{"event", "message"}));
}

TEST(RunnerLog, UnderSystemdTheDefaultIsTheJournalsFormat) {
    const struct {
        LogFormat given;
        const char* stream;
        LogFormat expect;
    } cases[] = {
        {LogFormat::kAuto, "8:1234", LogFormat::kJournal},
        // Inherited from a service by a program whose output goes elsewhere.
        {LogFormat::kAuto, "8:1235", LogFormat::kAuto},
        {LogFormat::kAuto, "9:1234", LogFormat::kAuto},
        {LogFormat::kAuto, nullptr, LogFormat::kAuto},
        {LogFormat::kAuto, "", LogFormat::kAuto},
        {LogFormat::kAuto, "8:1234x", LogFormat::kAuto},
        {LogFormat::kAuto, "8", LogFormat::kAuto},
        // What the operator asked for wins.
        {LogFormat::kText, "8:1234", LogFormat::kText},
        {LogFormat::kJson, "8:1234", LogFormat::kJson},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AutoLogFormat(c.given, c.stream, 8, 1234), c.expect)
            << (c.stream ? c.stream : "(unset)");
}
