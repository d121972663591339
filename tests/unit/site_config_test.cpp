#include "runtime/site_config.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

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
          {"data_id": 8, "port": "tcp://127.0.0.1:4001", "address": 2, "baud_rate": 19200}
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

TEST_F(SiteConfigTest, UnreadableOrInvalidFile) {
    EXPECT_THROW(LoadSiteConfig(dir_ + "/absent.json"), SiteError);
    std::ofstream(dir_ + "/bad.json") << "{ \"devices\": [ ";
    try {
        LoadSiteConfig(dir_ + "/bad.json");
        FAIL();
    } catch (const SiteError& e) {
        EXPECT_NE(std::string(e.what()).find("is not valid JSON"), std::string::npos);
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
}

}  // namespace
