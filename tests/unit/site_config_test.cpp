#include "runtime/site/site_config.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

class SiteConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-site-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream(dir_ + "/scenario.json") << "{}";
        std::ofstream(dir_ + "/settings.json") << R"({"appSetting": {"b_mode": 2}})";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    Json::Value Parse(const std::string& text) {
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string errs;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << text;
        return v;
    }

    std::string dir_;
};

TEST_F(SiteConfigTest, AGoodSiteResolvesPathsAgainstItsFolder) {
    auto site = ParseSiteConfig(Parse(R"({
        "database": "host.db",
        "devices": [
          {"data_id": 7, "port": "sim:scenario.json", "poll_interval": 2,
           "settings_file": "settings.json",
           "alarms": {"120600180010": {"level": 1},
                      "419610401001": {"level": 2, "threshold": 180, "direction": "lower",
                                       "recover": 185}}},
          {"data_id": 8, "port": "tcp://127.0.0.1:4001", "address": 2, "baud_rate": 19200,
           "protocol_version": 33}
        ]})"),
                                "site.json", dir_);
    ASSERT_EQ(site.devices.size(), 2u);
    EXPECT_EQ(site.database, dir_ + "/host.db");
    const auto& a = site.devices[0];
    EXPECT_EQ(a.port.kind, PortSpec::Kind::kSimulator);
    EXPECT_EQ(a.port.path, dir_ + "/scenario.json");
    EXPECT_DOUBLE_EQ(a.poll_interval, 2.0);
    EXPECT_EQ(a.settings["appSetting"]["b_mode"].asInt(), 2);
    EXPECT_EQ(a.alarms.at("120600180010").level, 1);
    EXPECT_EQ(a.alarms.at("419610401001").direction, ThresholdConfig::Direction::kLower);
    EXPECT_FLOAT_EQ(*a.alarms.at("419610401001").recover, 185.0f);
    EXPECT_EQ(a.workdir, dir_);
    const auto& b = site.devices[1];
    EXPECT_EQ(b.port.kind, PortSpec::Kind::kTcp);
    EXPECT_EQ(b.port.host, "127.0.0.1");
    EXPECT_EQ(b.port.port, 4001);
    EXPECT_EQ(b.address, 2);
    EXPECT_EQ(b.baud_rate, 19200);
    EXPECT_EQ(b.protocol_version, 0x21);
    EXPECT_EQ(a.protocol_version, 0) << "the device's own unless given";
    EXPECT_EQ(b.late_window, 0.0) << "derived from the line unless given";
}

TEST_F(SiteConfigTest, LineTimingAfterFaultsIsTakenInSeconds) {
    auto site = ParseSiteConfig(Parse(R"({"devices": [
          {"data_id": 7, "port": "sim:scenario.json",
           "late_window": 12.5, "quiet_gap": 0.75, "unit_gap": 0.02}]})"),
                                "site.json", dir_);
    const auto& d = site.devices.at(0);
    EXPECT_DOUBLE_EQ(d.late_window, 12.5);
    EXPECT_DOUBLE_EQ(d.quiet_gap, 0.75);
    EXPECT_DOUBLE_EQ(d.unit_gap, 0.02);
}

TEST_F(SiteConfigTest, EveryProblemIsOneLineNamingTheFileDeviceAndMember) {
    const struct {
        const char* json;
        const char* expect;  // a piece of the message
    } cases[] = {
        {R"([])", "top level must be a JSON object"},
        {R"({})", "missing member \"devices\""},
        {R"({"devices": []})", "non-empty array"},
        {R"({"devices": [{"port": "sim:scenario.json"}]})",
         "devices[0]: missing member \"data_id\""},
        {R"({"devices": [{"data_id": "7", "port": "sim:scenario.json"}]})",
         "\"data_id\" must be a whole number"},
        {R"({"devices": [{"data_id": 7}]})", "device 7: missing member \"port\""},
        {R"({"devices": [{"data_id": 7, "port": 5}]})", "\"port\" must be a string"},
        {R"({"devices": [{"data_id": 7, "port": "/dev/no-such-tty"}]})",
         "/dev/no-such-tty does not exist"},
        {R"({"devices": [{"data_id": 7, "port": "tcp://host"}]})", "tcp://HOST:PORT"},
        {R"({"devices": [{"data_id": 7, "port": "tcp://h:99999"}]})", "not a TCP port number"},
        {R"({"devices": [{"data_id": 7, "port": "sim:missing.json"}]})",
         "missing.json does not exist"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "poll_interval": "5"}]})",
         "\"poll_interval\" must be a number"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "poll_interval": 0}]})",
         "must be above 0"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "late_window": -1}]})",
         "\"late_window\" must be from 0 to 600 seconds"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "quiet_gap": 61}]})",
         "\"quiet_gap\" must be from 0 to 60 seconds"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "unit_gap": "1"}]})",
         "\"unit_gap\" must be a number"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "settings": []}]})",
         "\"settings\" must be an object"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "settings_file": "nope.json"}]})",
         "cannot read settings file"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "alarms": {"x": {}}}]})",
         "missing member \"level\""},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "alarms": {"x": {"level": 1, "direction": "up"}}}]})",
         "\"upper\" or \"lower\""},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", "workdir": "nodir"}]})",
         "is not a folder"},
        {R"({"devices": [{"data_id": 7, "port": "sim:scenario.json"}, {"data_id": 7, "port": "sim:scenario.json"}]})",
         "data_id used twice"},
    };
    for (const auto& c : cases) {
        try {
            ParseSiteConfig(Parse(c.json), "site.json", dir_);
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const SiteError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find("site file site.json"), std::string::npos) << msg;
            EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
        }
    }
}

// One device with `members` added (JSON text without braces).
std::string OneDevice(const std::string& members) {
    return R"({"devices": [{"data_id": 7, "port": "sim:scenario.json", )" + members + "}]}";
}

TEST_F(SiteConfigTest, NumbersOutsideTheirRangesAreRefusedNamingTheMember) {
    const struct {
        std::string json;
        const char* expect;
    } cases[] = {
        {OneDevice(R"("poll_interval": 1e10)"),
         "device 7: \"poll_interval\" must be above 0 and at most 86400 seconds"},
        {OneDevice(R"("poll_interval": 86400.5)"), "\"poll_interval\" must be above 0"},
        {OneDevice(R"("poll_interval": -0.5)"), "\"poll_interval\" must be above 0"},
        {OneDevice(R"("reply_timeout": -1)"),
         "device 7: \"reply_timeout\" must be from 0 to 600 seconds"},
        {OneDevice(R"("reply_timeout": 600.5)"), "\"reply_timeout\" must be from 0 to 600"},
        {OneDevice(R"("address": 256)"),
         "device 7: \"address\" must be a whole number from 0 to 255"},
        {OneDevice(R"("address": -1)"), "\"address\" must be a whole number from 0 to 255"},
        {OneDevice(R"("address": 1.5)"), "\"address\" must be a whole number from 0 to 255"},
        {OneDevice(R"("address": 1e19)"), "\"address\" must be a whole number from 0 to 255"},
        {OneDevice(R"("protocol_version": 256)"),
         "\"protocol_version\" must be a whole number from 0 to 255"},
        {OneDevice(R"("protocol_version": "21")"), "\"protocol_version\" must be a whole number"},
        {OneDevice(R"("address": 18446744073709551615)"), "\"address\" must be a whole number"},
        {OneDevice(R"("baud_rate": 49)"),
         "device 7: \"baud_rate\" must be 0 (the device's own) or a whole number from 50 to "
         "4000000"},
        {OneDevice(R"("baud_rate": 4000001)"), "\"baud_rate\" must be 0 (the device's own)"},
        {OneDevice(R"("baud_rate": 1e19)"), "\"baud_rate\" must be 0 (the device's own)"},
        {OneDevice(R"("baud_rate": true)"), "\"baud_rate\" must be 0 (the device's own)"},
        {R"({"devices": [{"data_id": 4294967296, "port": "sim:scenario.json"}]})",
         "devices[0]: \"data_id\" must be a whole number from 0 to 4294967295"},
        {R"({"devices": [{"data_id": 18446744073709551615, "port": "sim:scenario.json"}]})",
         "\"data_id\" must be a whole number from 0 to 4294967295"},
        {R"({"devices": [{"data_id": 1e19, "port": "sim:scenario.json"}]})",
         "\"data_id\" must be a whole number from 0 to 4294967295"},
        {R"({"devices": [{"data_id": -1, "port": "sim:scenario.json"}]})",
         "\"data_id\" must be a whole number from 0 to 4294967295"},
        {OneDevice(R"("alarms": {"419610401001": {"level": 2, "threshold": 1e39}})"),
         "\"alarms.419610401001.threshold\" must be from"},
        {OneDevice(R"("alarms": {"419610401001": {"level": 2, "recover": -1e39}})"),
         "\"alarms.419610401001.recover\" must be from"},
        {OneDevice(R"("alarms": {"419610401001": {"level": 2, "threshold": "180"}})"),
         "\"alarms.419610401001.threshold\" must be a number"},
        {OneDevice(R"("alarms": {"419610401001": {"level": 1e19}})"),
         "\"alarms.419610401001.level\" must be a whole number from 0 to 1000"},
        {OneDevice(R"("alarms": {"419610401001": {"level": 1, "direction": 1}})"),
         "\"alarms.419610401001.direction\" must be a string"},
        {OneDevice(R"("alarms": {"419610401001": 3})"),
         "\"alarms.419610401001\" must be an object"},
        // a key or text with a line break stays on the message's one line
        {OneDevice(R"("alarms": {"a\nb": {}})"), "\"alarms.a\\nb\": missing member \"level\""},
        {R"({"devices": [{"data_id": 7, "port": "/dev/no\nsuch"}]})",
         "/dev/no\\nsuch does not exist"},
        {OneDevice(R"("settings_file": ".")"), "is not a file"},
    };
    for (const auto& c : cases) {
        try {
            ParseSiteConfig(Parse(c.json), "site.json", dir_);
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const SiteError& e) {
            const std::string msg = e.what();
            EXPECT_EQ(msg.rfind("site file site.json: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
        }
    }
}

// JSON cannot write infinity or NaN, but a reader may hand them over:
// jsoncpp 1.9.1 and the releases after 1.9.5 read 1e400 as infinity (1.9.5
// refuses it as not a number), and a value may come from elsewhere.
TEST_F(SiteConfigTest, InfinityAndNanAreRefusedWherever) {
    const struct {
        std::vector<std::string> path;  // from the device
        const char* expect;
    } members[] = {
        {{"poll_interval"}, "device 7: \"poll_interval\" must be above 0 and at most 86400"},
        {{"reply_timeout"}, "device 7: \"reply_timeout\" must be from 0 to 600 seconds"},
        {{"late_window"}, "\"late_window\" must be from 0 to 600 seconds"},
        {{"quiet_gap"}, "\"quiet_gap\" must be from 0 to 60 seconds"},
        {{"unit_gap"}, "\"unit_gap\" must be from 0 to 10 seconds"},
        {{"alarms", "419610401001", "threshold"}, "\"alarms.419610401001.threshold\" must be"},
        {{"alarms", "419610401001", "recover"}, "\"alarms.419610401001.recover\" must be"},
    };
    const double values[] = {std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
    // From the file: refused by the reader or by the range, one line either way.
    std::ofstream(dir_ + "/huge.json") << OneDevice(R"("poll_interval": 1e400)");
    try {
        LoadSiteConfig(dir_ + "/huge.json");
        ADD_FAILURE() << "1e400 accepted as a poll interval";
    } catch (const SiteError& e) {
        const std::string msg = e.what();
        EXPECT_TRUE(msg.find("is not valid JSON") != std::string::npos ||
                    msg.find("\"poll_interval\" must be above 0") != std::string::npos)
            << msg;
        EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
    }
    for (const auto& m : members) {
        for (double v : values) {
            Json::Value root = Parse(OneDevice(R"("alarms": {"419610401001": {"level": 2}})"));
            Json::Value* at = &root["devices"][0];
            for (const auto& key : m.path) at = &(*at)[key];
            *at = v;
            try {
                ParseSiteConfig(root, "site.json", dir_);
                ADD_FAILURE() << "accepted " << v << " as " << m.path.back();
            } catch (const SiteError& e) {
                EXPECT_NE(std::string(e.what()).find(m.expect), std::string::npos) << e.what();
            }
        }
    }
}

TEST_F(SiteConfigTest, NumbersAtTheEndsOfTheirRangesAreTaken) {
    const auto site = ParseSiteConfig(Parse(R"({"devices": [
          {"data_id": 4294967295, "port": "sim:scenario.json", "poll_interval": 86400,
           "reply_timeout": 600, "address": 255, "baud_rate": 4000000,
           "alarms": {"a": {"level": 1000, "threshold": -3.4e38, "recover": 3.4e38}}},
          {"data_id": 0, "port": "sim:scenario.json", "poll_interval": 0.001,
           "reply_timeout": 0, "address": 0, "baud_rate": 50},
          {"data_id": 8.0, "port": "sim:scenario.json", "baud_rate": 0}]})"),
                                      "site.json", dir_);
    ASSERT_EQ(site.devices.size(), 3u);
    const auto& a = site.devices[0];
    EXPECT_EQ(a.data_id, 4294967295u);
    EXPECT_DOUBLE_EQ(a.poll_interval, 86400);
    EXPECT_DOUBLE_EQ(a.reply_timeout, 600);
    EXPECT_EQ(a.address, 255);
    EXPECT_EQ(a.baud_rate, 4000000);
    EXPECT_EQ(a.alarms.at("a").level, 1000);
    EXPECT_FLOAT_EQ(a.alarms.at("a").threshold, -3.4e38f);
    EXPECT_FLOAT_EQ(*a.alarms.at("a").recover, 3.4e38f);
    const auto& b = site.devices[1];
    EXPECT_EQ(b.data_id, 0u);
    EXPECT_DOUBLE_EQ(b.poll_interval, 0.001);
    EXPECT_EQ(b.address, 0);
    EXPECT_EQ(b.baud_rate, 50);
    EXPECT_EQ(site.devices[2].data_id, 8u);
    EXPECT_EQ(site.devices[2].baud_rate, 0);
}

TEST_F(SiteConfigTest, UnreadableOrInvalidFile) {
    EXPECT_THROW(LoadSiteConfig(dir_ + "/absent.json"), SiteError);
    // Nesting beyond the JSON reader's stack limit makes it throw its own
    // exception; it must come out as the site file's one line like the rest.
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    std::ofstream(dir_ + "/deep_settings.json") << deep;
    const struct {
        const char* file;
        std::string text;
        const char* expect;
    } cases[] = {
        {"bad.json", "{ \"devices\": [ ", "site file "},
        {"deep.json", deep, "site file "},
        {"deep_site_settings.json", OneDevice(R"("settings_file": "deep_settings.json")"),
         "settings file "},
    };
    for (const auto& c : cases) {
        std::ofstream(dir_ + "/" + c.file) << c.text;
        try {
            LoadSiteConfig(dir_ + "/" + c.file);
            ADD_FAILURE() << c.file << " accepted";
        } catch (const SiteError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
            EXPECT_NE(msg.find("is not valid JSON"), std::string::npos) << msg;
            EXPECT_NE(msg.find(c.file), std::string::npos) << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
        }
    }
}

// The site-file fuzzer's seeds, in a folder like the fuzzer's: the ones
// written to be taken are, and every other one is refused in one line.
TEST_F(SiteConfigTest, FuzzSeedsAreTakenOrRefusedAsWritten) {
    ASSERT_EQ(::mkdir((dir_ + "/scenarios").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir_ + "/settings").c_str(), 0700), 0);
    std::ofstream(dir_ + "/scenarios/demo_site.json") << "{}";
    std::ofstream(dir_ + "/settings/unicom.json") << R"({"appSetting": {"b_mode": 2}})";
    std::ofstream(dir_ + "/settings/broken.json") << R"({"appSetting": )";
    const std::set<std::string> taken = {"example_site.json", "example_site_tcp.json",
                                         "every_member_at_its_limit.json"};
    std::set<std::string> seen_taken;
    size_t seeds = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::string(Q318B_SOURCE_DIR) +
                                                             "/fuzz/corpus/site_fuzz")) {
        const std::string name = e.path().filename().string();
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        ++seeds;
        Json::Value root;
        Json::CharReaderBuilder b;
        std::string errs;
        std::istringstream is(text.str());
        if (!Json::parseFromStream(b, is, &root, &errs)) {
            EXPECT_EQ(taken.count(name), 0u) << name << ": " << errs;
            continue;
        }
        try {
            ParseSiteConfig(root, "site.json", dir_);
            seen_taken.insert(name);
        } catch (const SiteError& err) {
            const std::string msg = err.what();
            EXPECT_EQ(msg.rfind("site file site.json: ", 0), 0u) << name << ": " << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << name << ": " << msg;
        }
    }
    EXPECT_GE(seeds, 10u);
    EXPECT_EQ(seen_taken, taken);
}

}  // namespace

namespace {

// The listener and its control: the token comes from its file (blanks and
// line ends around it dropped), never from the site file, and every way of
// getting the member wrong is refused naming it.
TEST_F(SiteConfigTest, HttpMemberListenAndControlToken) {
    const std::string dev = R"("devices": [{"data_id": 7, "port": "sim:scenario.json"}])";
    std::ofstream(dir_ + "/token") << "  t0k-en\n";
    std::ofstream(dir_ + "/empty") << " \n\n";
    std::ofstream(dir_ + "/ctl") << "to\x01ken";
    std::ofstream(dir_ + "/huge") << std::string(5000, 'x');

    SiteConfig none = ParseSiteConfig(Parse("{" + dev + "}"), "site.json", dir_);
    EXPECT_EQ(none.http_listen, "");
    EXPECT_FALSE(none.http_control.enabled);

    SiteConfig plain = ParseSiteConfig(
        Parse(R"({"http": {"listen": "127.0.0.1:9318"}, )" + dev + "}"), "site.json", dir_);
    EXPECT_EQ(plain.http_listen, "127.0.0.1:9318");
    EXPECT_FALSE(plain.http_control.enabled) << "control stays off without a token";

    SiteConfig ctl = ParseSiteConfig(
        Parse(R"({"http": {"listen": "0.0.0.0:80", "control": {"token_file": "token",
              "allow_raw": true, "reply_timeout": 2.5}}, )" +
              dev + "}"),
        "site.json", dir_);
    EXPECT_TRUE(ctl.http_control.enabled);
    EXPECT_EQ(ctl.http_control.token, "t0k-en");
    EXPECT_EQ(ctl.http_control.token_file, dir_ + "/token");
    EXPECT_TRUE(ctl.http_control.allow_raw);
    EXPECT_DOUBLE_EQ(ctl.http_control.reply_timeout, 2.5);

    SiteConfig defaults = ParseSiteConfig(
        Parse(R"({"http": {"listen": "localhost:9318", "control": {"token_file": "token"}}, )" +
              dev + "}"),
        "site.json", dir_);
    EXPECT_FALSE(defaults.http_control.allow_raw) << "the raw command needs its own enable";
    EXPECT_DOUBLE_EQ(defaults.http_control.reply_timeout, 10);

    const struct {
        std::string http;
        const char* expect;
    } bad[] = {
        {R"("x")", "\"http\" must be an object"},
        {R"({})", "missing member \"http.listen\""},
        {R"({"listen": 9318})", "\"http.listen\" must be a string"},
        {R"({"listen": "example.org:80"})", "must be ADDR:PORT"},
        {R"({"listen": "127.0.0.1:0"})", "must be ADDR:PORT"},
        {R"({"listen": "127.0.0.1:1", "control": true})", "\"http.control\" must be an object"},
        {R"({"listen": "127.0.0.1:1", "control": {}})", "missing member \"token_file\""},
        {R"({"listen": "127.0.0.1:1", "control": {"token_file": "nofile"}})", "cannot be read"},
        {R"({"listen": "127.0.0.1:1", "control": {"token_file": "empty"}})", "is empty"},
        {R"({"listen": "127.0.0.1:1", "control": {"token_file": "ctl"}})", "control character"},
        {R"({"listen": "127.0.0.1:1", "control": {"token_file": "huge"}})", "longer than 4096"},
        {R"({"listen": "127.0.0.1:1", "control": {"token_file": "token", "allow_raw": 1}})",
         "\"http.control.allow_raw\" must be true or false"},
        {R"({"listen": "127.0.0.1:1", "control": {"token_file": "token", "reply_timeout": 0}})",
         "\"http.control.reply_timeout\" must be above 0 and at most 300"},
        {R"({"listen": "127.0.0.1:1", "control": {"token_file": "token", "reply_timeout": 301}})",
         "at most 300"},
    };
    for (const auto& c : bad) {
        try {
            ParseSiteConfig(Parse(R"({"http": )" + c.http + ", " + dev + "}"), "site.json", dir_);
            ADD_FAILURE() << "accepted: " << c.http;
        } catch (const SiteError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
            EXPECT_EQ(msg.find("t0k-en"), std::string::npos) << "a token never shows: " << msg;
            EXPECT_EQ(msg.find(std::string(40, 'x')), std::string::npos) << msg;
        }
    }
}

}  // namespace

namespace {

// The broker member: defaults, every member taken, and each way of getting
// one wrong refused in one line naming it, never showing a secret.
TEST_F(SiteConfigTest, MqttMemberDefaultsValuesAndRefusals) {
    const std::string dev = R"("devices": [{"data_id": 7, "port": "sim:scenario.json"}])";
    std::ofstream(dir_ + "/pass") << "s3cr3t-pw\n";
    std::ofstream(dir_ + "/token") << "t0k3n-mq\n";
    std::ofstream(dir_ + "/ca.pem") << "ca";
    std::ofstream(dir_ + "/c.pem") << "cert";
    std::ofstream(dir_ + "/k.pem") << "key";
    const auto site = [&](const std::string& mqtt) {
        return ParseSiteConfig(Parse(R"({"mqtt": )" + mqtt + ", " + dev + "}"), "site.json", dir_);
    };

    EXPECT_FALSE(ParseSiteConfig(Parse("{" + dev + "}"), "site.json", dir_).mqtt.enabled);
    const MqttConfig d = site(R"({"url": "mqtt://127.0.0.1"})").mqtt;
    EXPECT_TRUE(d.enabled);
    EXPECT_EQ(d.host, "127.0.0.1");
    EXPECT_EQ(d.port, 1883);
    EXPECT_FALSE(d.tls);
    EXPECT_EQ(d.topic_prefix, "q318b");
    EXPECT_EQ(d.qos, 1);
    EXPECT_EQ(d.keepalive, 30);
    EXPECT_EQ(d.alarm_queue, 1000);
    EXPECT_FALSE(d.homeassistant);
    EXPECT_FALSE(d.control.enabled);
    EXPECT_EQ(site(R"({"url": "mqtts://broker.example"})").mqtt.port, 8883);

    const MqttConfig f = site(R"({"url": "mqtts://broker-1.example:9883", "topic_prefix": "a/b",
        "client_id": "east", "username": "u", "password_file": "pass",
        "tls": {"ca_file": "ca.pem", "cert_file": "c.pem", "key_file": "k.pem"}, "qos": 2,
        "keepalive": 5, "alarm_queue": 1000000, "homeassistant": true,
        "control": {"token_file": "token", "allow_raw": true, "reply_timeout": 3}})")
                             .mqtt;
    EXPECT_EQ(f.host, "broker-1.example");
    EXPECT_EQ(f.port, 9883);
    EXPECT_TRUE(f.tls);
    EXPECT_EQ(f.topic_prefix, "a/b");
    EXPECT_EQ(f.client_id, "east");
    EXPECT_EQ(f.username, "u");
    EXPECT_EQ(f.password, "s3cr3t-pw");
    EXPECT_EQ(f.ca_file, dir_ + "/ca.pem");
    EXPECT_EQ(f.cert_file, dir_ + "/c.pem");
    EXPECT_EQ(f.key_file, dir_ + "/k.pem");
    EXPECT_EQ(f.qos, 2);
    EXPECT_EQ(f.keepalive, 5);
    EXPECT_EQ(f.alarm_queue, 1000000);
    EXPECT_TRUE(f.homeassistant);
    EXPECT_TRUE(f.control.enabled);
    EXPECT_EQ(f.control.token, "t0k3n-mq");
    EXPECT_TRUE(f.control.allow_raw);
    EXPECT_DOUBLE_EQ(f.control.reply_timeout, 3);

    const struct {
        std::string mqtt;
        const char* expect;
    } bad[] = {
        {R"([])", "\"mqtt\" must be an object"},
        {R"({})", "missing member \"mqtt.url\""},
        {R"({"url": 1883})", "\"mqtt.url\" must be a string"},
        {R"({"url": "tcp://127.0.0.1:1883"})", "\"mqtt.url\" must be mqtt://HOST:PORT"},
        {R"({"url": "mqtt://:1883"})", "\"mqtt.url\""},
        {R"({"url": "mqtt://h:0"})", "\"mqtt.url\""},
        {R"({"url": "mqtt://h:65536"})", "\"mqtt.url\""},
        {R"({"url": "mqtt://h:18x3"})", "\"mqtt.url\""},
        {R"({"url": "mqtt://u@h:1883"})", "\"mqtt.url\""},
        {R"({"url": "mqtt://h/x"})", "\"mqtt.url\""},
        {R"({"url": "mqtt://h", "topic_prefix": ""})", "\"mqtt.topic_prefix\" is empty"},
        {R"({"url": "mqtt://h", "topic_prefix": "a/+"})", "\"mqtt.topic_prefix\" must not hold"},
        {R"({"url": "mqtt://h", "topic_prefix": "a#"})", "\"mqtt.topic_prefix\" must not hold"},
        {R"({"url": "mqtt://h", "topic_prefix": "a\u0000b"})", "\"mqtt.topic_prefix\" must not"},
        {R"({"url": "mqtt://h", "topic_prefix": "/a"})", "must not begin or end with /"},
        {R"({"url": "mqtt://h", "topic_prefix": "a/"})", "must not begin or end with /"},
        {R"({"url": "mqtt://h", "client_id": ""})", "\"mqtt.client_id\" must be 1 to 256"},
        {R"({"url": "mqtt://h", "client_id": "a\nb"})", "\"mqtt.client_id\" holds a control"},
        {R"({"url": "mqtt://h", "password_file": "pass"})", "needs \"mqtt.username\""},
        {R"({"url": "mqtt://h", "username": "u", "password_file": "nofile"})",
         "\"mqtt.password_file\": "},
        {R"({"url": "mqtt://h", "tls": {"ca_file": "ca.pem"}})", "\"mqtt.tls\" needs an mqtts"},
        {R"({"url": "mqtts://h", "tls": {"ca_file": "none.pem"}})",
         "\"mqtt.tls.ca_file\": " /* names the path */},
        {R"({"url": "mqtts://h", "tls": {"cert_file": "c.pem"}})", "both \"cert_file\""},
        {R"({"url": "mqtts://h", "tls": {"key_file": "."}})", "\"mqtt.tls.key_file\""},
        {R"({"url": "mqtt://h", "qos": 3})", "\"mqtt.qos\" must be a whole number from 0 to 2"},
        {R"({"url": "mqtt://h", "qos": 1.5})", "\"mqtt.qos\""},
        {R"({"url": "mqtt://h", "keepalive": 4})", "\"mqtt.keepalive\" must be a whole number"},
        {R"({"url": "mqtt://h", "alarm_queue": 0})", "\"mqtt.alarm_queue\" must be a whole"},
        {R"({"url": "mqtt://h", "alarm_queue": 1000001})", "\"mqtt.alarm_queue\""},
        {R"({"url": "mqtt://h", "homeassistant": "yes"})", "\"mqtt.homeassistant\" must be true"},
        {R"({"url": "mqtt://h", "control": 1})", "\"mqtt.control\" must be an object"},
        {R"({"url": "mqtt://h", "control": {}})", "missing member \"mqtt.control.token_file\""},
        {R"({"url": "mqtt://h", "control": {"token_file": "nofile"}})",
         "\"mqtt.control.token_file\": "},
        {R"({"url": "mqtt://h", "control": {"token_file": "token", "allow_raw": 0}})",
         "\"mqtt.control.allow_raw\" must be true or false"},
        {R"({"url": "mqtt://h", "control": {"token_file": "token", "reply_timeout": 0}})",
         "\"mqtt.control.reply_timeout\" must be above 0"},
    };
    for (const auto& c : bad) {
        try {
            site(c.mqtt);
            ADD_FAILURE() << "accepted: " << c.mqtt;
        } catch (const SiteError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find(c.expect), std::string::npos) << c.mqtt << " -> " << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
            EXPECT_EQ(msg.find("s3cr3t"), std::string::npos) << "a password never shows: " << msg;
            EXPECT_EQ(msg.find("t0k3n"), std::string::npos) << "a token never shows: " << msg;
        }
    }
}

}  // namespace

namespace {

// The notify program: off unless given, its path resolved against the
// site's folder and checked at load, every other member in its range.
TEST_F(SiteConfigTest, NotifyMemberCommandAndLimits) {
    const std::string dev = R"("devices": [{"data_id": 7, "port": "sim:scenario.json"}])";
    const auto site = [&](const std::string& notify) {
        return ParseSiteConfig(Parse(R"({"notify": )" + notify + ", " + dev + "}"), "site.json",
                               dir_);
    };
    std::ofstream(dir_ + "/page.sh") << "#!/bin/sh\n";
    ASSERT_EQ(::chmod((dir_ + "/page.sh").c_str(), 0755), 0);
    std::ofstream(dir_ + "/plain.txt") << "#!/bin/sh\n";
    ASSERT_EQ(::chmod((dir_ + "/plain.txt").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir((dir_ + "/folder").c_str(), 0755), 0);

    EXPECT_FALSE(ParseSiteConfig(Parse("{" + dev + "}"), "site.json", dir_).notify.enabled);

    const NotifyConfig d = site(R"({"command": ["page.sh", "--site", "east west", ""]})").notify;
    EXPECT_TRUE(d.enabled);
    EXPECT_EQ(d.command, (std::vector<std::string>{dir_ + "/page.sh", "--site", "east west", ""}))
        << "the program resolved, the arguments as written";
    EXPECT_DOUBLE_EQ(d.timeout_s, 10);
    EXPECT_EQ(d.max_running, 4);
    EXPECT_EQ(d.queue, 1000);

    const struct {
        const char* limits;
        double timeout_s;
        int max_running;
        int queue;
    } ends[] = {
        {R"("timeout_s": 0.1, "max_running": 1, "queue": 1)", 0.1, 1, 1},
        {R"("timeout_s": 3600, "max_running": 64, "queue": 100000)", 3600, 64, 100000},
        {R"("timeout_s": 2, "max_running": 2.0, "queue": 5e2)", 2, 2, 500},
    };
    for (const auto& e : ends) {
        const NotifyConfig n =
            site(std::string(R"({"command": [")") + dir_ + R"(/page.sh"], )" + e.limits + "}")
                .notify;
        EXPECT_EQ(n.command, std::vector<std::string>{dir_ + "/page.sh"}) << e.limits;
        EXPECT_DOUBLE_EQ(n.timeout_s, e.timeout_s) << e.limits;
        EXPECT_EQ(n.max_running, e.max_running) << e.limits;
        EXPECT_EQ(n.queue, e.queue) << e.limits;
    }

    const std::string ok = R"("command": ["page.sh"], )";
    const struct {
        std::string notify;
        const char* expect;
    } bad[] = {
        {R"("page.sh")", "\"notify\" must be an object"},
        {R"({})", "missing member \"notify.command\""},
        {R"({"command": "page.sh"})", "\"notify.command\" must be a non-empty array of strings"},
        {R"({"command": []})", "\"notify.command\" must be a non-empty array of strings"},
        {R"({"command": ["page.sh", 3]})", "\"notify.command[1]\" must be a string"},
        {R"({"command": [["page.sh"]]})", "\"notify.command[0]\" must be a string"},
        {R"({"command": ["page.sh", "a\u0000b"]})", "\"notify.command[1]\" holds a NUL"},
        {R"({"command": [""]})", "\"notify.command\" names no program"},
        {R"({"command": ["nope.sh"]})", "\"notify.command\": program "},
        {R"({"command": ["nope.sh"]})", "/nope.sh does not exist"},
        {R"({"command": ["plain.txt"]})", "plain.txt is not an executable file"},
        {R"({"command": ["folder"]})", "folder is not an executable file"},
        {"{" + ok + R"("timeout_s": 0.05})",
         "\"notify.timeout_s\" must be from 0.1 to 3600 seconds"},
        {"{" + ok + R"("timeout_s": 3601})", "\"notify.timeout_s\" must be from 0.1 to 3600"},
        {"{" + ok + R"("timeout_s": "10"})", "\"notify.timeout_s\" must be a number"},
        {"{" + ok + R"("max_running": 0})",
         "\"notify.max_running\" must be a whole number from 1 to 64"},
        {"{" + ok + R"("max_running": 65})", "\"notify.max_running\" must be a whole number"},
        {"{" + ok + R"("max_running": 1.5})", "\"notify.max_running\" must be a whole number"},
        {"{" + ok + R"("max_running": "4"})", "\"notify.max_running\" must be a whole number"},
        {"{" + ok + R"("max_running": true})", "\"notify.max_running\" must be a whole number"},
        {"{" + ok + R"("queue": 0})", "\"notify.queue\" must be a whole number from 1 to 100000"},
        {"{" + ok + R"("queue": 100001})", "\"notify.queue\" must be a whole number"},
        {"{" + ok + R"("queue": -1})", "\"notify.queue\" must be a whole number"},
        {"{" + ok + R"("queue": 1e19})", "\"notify.queue\" must be a whole number"},
        {"{" + ok + R"("queue": 18446744073709551615})", "\"notify.queue\" must be a whole number"},
    };
    for (const auto& c : bad) {
        try {
            site(c.notify);
            ADD_FAILURE() << "accepted: " << c.notify;
        } catch (const SiteError& e) {
            const std::string msg = e.what();
            EXPECT_EQ(msg.rfind("site file site.json: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(c.expect), std::string::npos) << c.notify << ": " << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
        }
    }
    // Infinity and NaN come from elsewhere than the file's text.
    for (double v :
         {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        Json::Value root = Parse(R"({"notify": {"command": ["page.sh"]}, )" + dev + "}");
        root["notify"]["timeout_s"] = v;
        EXPECT_THROW(ParseSiteConfig(root, "site.json", dir_), SiteError) << v;
    }
}

}  // namespace
