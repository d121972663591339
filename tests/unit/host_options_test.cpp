// q318b-host's command line: a bad flag value is one line and status 2,
// found before the runner opens anything.
#include "tools/host_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Parsed {
    int status;
    std::string message;
    HostOptions opt;
};

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "q318b-host");
    Parsed p;
    p.opt.site = "default.json";
    p.status = ParseHostOptions(static_cast<int>(args.size()), args.data(), &p.opt, &p.message);
    return p;
}

}  // namespace

TEST(HostOptions, GoodValuesAreTaken) {
    const Parsed p =
        Parse({"--rounds", "3", "--duration", "2.5", "--reset-interval", "0.5", "--stats-interval",
               "1", "--control", "300", "01 02 0a FF 05 06 07", "--query", "out_v", "--json"});
    ASSERT_EQ(p.status, -1) << p.message;
    EXPECT_EQ(p.opt.site, "default.json");
    EXPECT_EQ(p.opt.rounds, 3);
    EXPECT_DOUBLE_EQ(p.opt.duration, 2.5);
    EXPECT_DOUBLE_EQ(p.opt.reset_interval, 0.5);
    EXPECT_EQ(p.opt.stats_interval, rt::Duration(std::chrono::seconds(1)));
    EXPECT_EQ(p.opt.control_code, 300);
    EXPECT_EQ(p.opt.control_bytes, (std::vector<uint8_t>{1, 2, 0x0A, 0xFF, 5, 6, 7}));
    EXPECT_EQ(p.opt.queries, std::vector<std::string>{"out_v"});
    EXPECT_TRUE(p.opt.json);

    const struct {
        const char* given;
        LogFormat format;
    } formats[] = {
        {"text", LogFormat::kText}, {"journal", LogFormat::kJournal}, {"json", LogFormat::kJson}};
    for (const auto& f : formats) {
        const Parsed lf = Parse({"--log-format", f.given, "--check"});
        ASSERT_EQ(lf.status, -1) << lf.message;
        EXPECT_EQ(lf.opt.log_format, f.format) << f.given;
        EXPECT_TRUE(lf.opt.check);
    }
    EXPECT_EQ(p.opt.log_format, LogFormat::kAuto);
    EXPECT_FALSE(p.opt.check);

    const Parsed text = Parse({"--control", "320", "419500201003"});
    ASSERT_EQ(text.status, -1) << text.message;
    EXPECT_EQ(std::string(text.opt.control_bytes.begin(), text.opt.control_bytes.end()),
              "419500201003");
}

TEST(HostOptions, BadValuesAreOneLineAndStatusTwo) {
    const struct {
        std::vector<const char*> args;
        const char* expect;
    } cases[] = {
        {{"--reset-interval", "1e10"}, "--reset-interval must be from 0.1 to 86400"},
        {{"--reset-interval", "inf"}, "--reset-interval"},
        {{"--reset-interval", "nan"}, "--reset-interval"},
        {{"--reset-interval", "0"}, "--reset-interval"},
        {{"--duration", "-1"}, "--duration must be from 0"},
        {{"--duration", "nan"}, "--duration"},
        {{"--rounds", "-2"}, "--rounds must be a whole number"},
        {{"--rounds", "1.5"}, "--rounds"},
        {{"--rounds", "ten"}, "--rounds"},
        {{"--stats-interval", "0"}, "--stats-interval"},
        {{"--control", "301", "x"}, "CODE must be 300, 310 or 320"},
        {{"--control", "abc", "x"}, "CODE must be 300, 310 or 320"},
        {{"--control", "300", "0102030"}, "odd number of hex digits"},
        {{"--control", "300", "-1 02 03"}, "bad hex \"-1\""},
        {{"--control", "300", "0x0102"}, "bad hex \"0x\""},
        {{"--control", "310"}, "--control"},
        {{"--query", ""}, "--query needs a key"},
        {{"--no-such-flag"}, "no-such-flag"},
        {{"--rounds"}, "--rounds"},
        {{"--log-format", "syslog"}, "--log-format must be text, journal or json"},
        {{"--log-format", "JSON"}, "--log-format must be"},
        {{"--log-format", "json", "--json"}, "exclude each other"},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        std::string all;
        for (const char* a : c.args) all += std::string(a) + " ";
        EXPECT_EQ(p.status, 2) << all;
        EXPECT_NE(p.message.find(c.expect), std::string::npos) << all << "-> " << p.message;
        EXPECT_EQ(p.message.find('\n'), std::string::npos) << all << "-> " << p.message;
    }
}

TEST(HostOptions, HelpGoesToStandardOutputWithStatusZero) {
    const Parsed p = Parse({"--help"});
    EXPECT_EQ(p.status, 0);
    EXPECT_NE(p.message.find("--reset-interval"), std::string::npos);
}
