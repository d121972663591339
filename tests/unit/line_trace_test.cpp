// Line traces: what is written reads back the same, whatever the bytes on
// the line were; files rotate at their size; a replayed trace answers each
// command as the trace recorded it, in order.
#include "runtime/wire/line_trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "sim/trace_replay.h"

namespace {

rt::TraceEntry Entry(rt::TraceEntry::Dir dir, const std::string& verdict, const std::string& chars,
                     int64_t ms = 1765300000123, int adr = 1) {
    rt::TraceEntry e;
    e.unix_ms = ms;
    e.port = "/dev/ttyS0";
    e.adr = adr;
    e.dir = dir;
    e.verdict = verdict;
    e.chars = chars;
    return e;
}

}  // namespace

TEST(LineTrace, EveryLineReadsBackAsWritten) {
    using Dir = rt::TraceEntry::Dir;
    rt::TraceEntry spaced = Entry(Dir::kRx, "good", "~2001400080    \r");
    spaced.port = "tcp://10.0.0.5:4001 x";  // a space in the port
    const rt::TraceEntry cases[] = {
        Entry(Dir::kTx, "sent", "~20014041E00201FD3C\r"),
        Entry(Dir::kRx, "checksum", std::string("~20\x00\xff\\x41\r", 9)),
        Entry(Dir::kNone, "timeout", ""),
        Entry(Dir::kRx, "dropped", "~200140", 1765300000999, -1),
        Entry(Dir::kTx, "raw", std::string("\x01\x02 \x7f\n", 5), 0, 255),
        spaced,
    };
    for (const auto& c : cases) {
        const std::string line = rt::FormatTraceLine(c);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
        rt::TraceEntry back;
        std::string err;
        ASSERT_TRUE(rt::ParseTraceLine(line, &back, &err)) << line << ": " << err;
        EXPECT_EQ(back.unix_ms, c.unix_ms) << line;
        EXPECT_EQ(back.port, c.port) << line;
        EXPECT_EQ(back.adr, c.adr) << line;
        EXPECT_EQ(back.dir, c.dir) << line;
        EXPECT_EQ(back.verdict, c.verdict) << line;
        EXPECT_EQ(back.chars, c.chars) << line;
    }
}

TEST(LineTrace, LinesNotInTheFormatAreRefusedSayingWhy) {
    const struct {
        const char* line;
        const char* says;
    } cases[] = {
        {"", "fewer than six fields"},
        {"2026-12-09 21:50:01.123 /dev/x 01 tx", "fewer than six fields"},
        {"2026-13-09 21:50:01.123 /dev/x 01 tx sent ~", "is not YYYY-MM-DD"},
        {"2026-12-09 21:50:01 /dev/x 01 tx sent ~", "is not YYYY-MM-DD"},
        {"2026-12-09 21:50:01.1234 /dev/x 01 tx sent ~", "is not YYYY-MM-DD"},
        {"2026-12-09 25:50:01.123 /dev/x 01 tx sent ~", "is not YYYY-MM-DD"},
        {"2026-12-09 21:50:01.123 /dev/x 1 tx sent ~", "address \"1\""},
        {"2026-12-09 21:50:01.123 /dev/x G1 tx sent ~", "address"},
        {"2026-12-09 21:50:01.123 /dev/x 01 up sent ~", "direction \"up\""},
        {"2026-12-09 21:50:01.123 /dev/x 01 tx sent ~\\q", "badly escaped"},
        {"2026-12-09 21:50:01.123 /dev/x 01 tx sent ~\\x4", "badly escaped"},
        {"2026-12-09 21:50:01.123 /dev/x 01 tx sent ~\\", "badly escaped"},
        {"2026-12-09 21:50:01.123 /dev/\\x2 01 tx sent ~", "port"},
    };
    for (const auto& c : cases) {
        rt::TraceEntry e;
        std::string err;
        EXPECT_FALSE(rt::ParseTraceLine(c.line, &e, &err)) << c.line;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.line << " -> " << err;
    }
}

TEST(LineTrace, TheFileRotatesAtItsSizeKeepingThreeOld) {
    char tmpl[] = "/tmp/q318b-trace-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/line.trace";
    const rt::TraceEntry e = Entry(rt::TraceEntry::Dir::kTx, "sent", "~20014041E00201FD3C\r");
    const size_t line = rt::FormatTraceLine(e).size() + 1;
    {
        rt::TraceWriter w(path, 4 * line, 3);
        for (int i = 0; i < 30; ++i) w.Write(e);
        w.Flush();
    }
    const auto size = [](const std::string& p) -> long {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
    };
    // 30 lines, 4 a file: the newest 2 in the file, 3 full old ones kept.
    EXPECT_EQ(size(path), static_cast<long>(2 * line));
    for (const char* old : {".1", ".2", ".3"})
        EXPECT_EQ(size(path + old), static_cast<long>(4 * line));
    EXPECT_EQ(size(path + ".4"), -1);
    // A runner started again appends to the file it finds.
    {
        rt::TraceWriter w(path, 4 * line, 3);
        w.Write(e);
    }
    EXPECT_EQ(size(path), static_cast<long>(3 * line));
    std::vector<rt::TraceEntry> back;
    std::string err;
    ASSERT_TRUE(rt::ReadTraceFile(path + ".2", &back, &err)) << err;
    EXPECT_EQ(back.size(), 4u);
    EXPECT_FALSE(rt::ReadTraceFile(path + ".9", &back, &err));
    EXPECT_NE(err.find("cannot read"), std::string::npos);
    std::system(("rm -rf '" + std::string(tmpl) + "'").c_str());
}

TEST(TraceReplay, EachCommandGetsWhatTheTraceRecordedForItInOrder) {
    using Dir = rt::TraceEntry::Dir;
    const std::string a = "~20014041E00201FD3C\r", b = "~20014043E00201FD3A\r";
    const std::vector<rt::TraceEntry> trace = {
        Entry(Dir::kTx, "sent", a, 1000),
        Entry(Dir::kNone, "timeout", "", 1500),
        Entry(Dir::kTx, "retry", a, 1600),
        Entry(Dir::kRx, "checksum", "~bad1\r", 1640),
        Entry(Dir::kTx, "retry", a, 1700),
        Entry(Dir::kRx, "good", "~good-a\r", 1712),
        Entry(Dir::kTx, "sent", b, 2000),
        Entry(Dir::kNone, "timeout", "", 2500),
        // Late: after the timeout, before the next command.
        Entry(Dir::kRx, "dropped", "~late-b\r", 2800),
        Entry(Dir::kTx, "raw", "not a frame", 2900),
    };
    sim::TraceReplay replay(trace);
    EXPECT_EQ(replay.commands(), 4u);
    const auto body = [](const std::string& f) { return f.substr(1, f.size() - 2); };
    const struct {
        std::string command;
        std::string text;
        double delay_ms;
    } expect[] = {
        {a, "", 0},                        // the timeout: silence
        {a, "~bad1\r", 40},                // the damaged reply, as it came
        {a, "~good-a\r", 12},              // then the good one
        {b, "~late-b\r", 800},             // the late reply, as late
        {b, "", 0},                        // asked more often than recorded: silence
        {"~20014044E00201FD39\r", "", 0},  // never recorded
    };
    for (const auto& e : expect) {
        const sim::Response r = replay.Answer(body(e.command));
        EXPECT_EQ(r.text, e.text) << e.command;
        EXPECT_DOUBLE_EQ(r.extra_delay_ms, e.delay_ms) << e.command;
    }
}
