// Where the device looks for its rule file: eight candidates under ./ini/,
// per data id before per model, ".yaml" before ".ini", the carrier folder of
// the operator mode last; each run in its own temporary working directory.
#include <gtest/gtest.h>
#include <json/value.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "config/rule_file.h"
#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

Json::Value Mode(const Json::Value& b_mode) {
    Json::Value s;
    s["appSetting"]["b_mode"] = b_mode;
    return s;
}

class RuleFileSearch : public WorkDirTest {
  protected:
    std::vector<std::string> Init(const Json::Value& s) {
        testing::internal::CaptureStdout();
        h.dev->InitSetting(s);
        return Lines(testing::internal::GetCapturedStdout());
    }

    static std::vector<std::string> TestLines(const std::vector<std::string>& lines) {
        std::vector<std::string> out;
        for (const auto& l : lines)
            if (l.rfind("test ini/yaml:", 0) == 0) out.push_back(l.substr(14));
        return out;
    }

    DeviceHarness h{7};
};

const char kMobileRules[] = "[ALARM]\nua_1 = 419500601001,upper\n";

TEST_F(RuleFileSearch, MobileFileFoundAfterSevenMisses) {
    WriteFile("ini/mobile/q318b_419.ini", kMobileRules);
    const auto lines = Init(Mode(3));
    const std::vector<std::string> want = {
        "InitSetting 7 b_mode_:3",
        "test ini/yaml:./ini/7.yaml",
        "test ini/yaml:./ini/7.ini",
        "test ini/yaml:./ini/q318b_419.yaml",
        "test ini/yaml:./ini/q318b_419.ini",
        "test ini/yaml:./ini/mobile/7.yaml",
        "test ini/yaml:./ini/mobile/7.ini",
        "test ini/yaml:./ini/mobile/q318b_419.yaml",
        "test ini/yaml:./ini/mobile/q318b_419.ini",
        "parse ini/yaml filename:./ini/mobile/q318b_419.ini",
        "AI 7",
    };
    ASSERT_GE(lines.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + want.size()), want);
    EXPECT_EQ(h.dev->alarm_rules_.at("ua_1"), "419500601001,upper");
}

TEST_F(RuleFileSearch, EachCandidateWinsOverThoseAfterIt) {
    const std::vector<std::string> all = RuleFileCandidates(7, "q318b_419", "unicom");
    ASSERT_EQ(all.size(), 8u);
    for (size_t first = 0; first < all.size(); ++first) {
        SCOPED_TRACE(all[first]);
        std::filesystem::remove_all("ini");
        // an INI candidate carries a rule naming itself, so the loaded
        // table shows which file was read
        for (size_t i = first; i < all.size(); ++i)
            WriteFile(all[i], "[AI]\nwho = " + std::to_string(i) +
                                  "00000000,x\n[ALARM]\nk = 419500601001,upper\n");
        DeviceHarness fresh{7};
        h.dev.swap(fresh.dev);
        const auto lines = Init(Mode(1));
        EXPECT_EQ(TestLines(lines).size(), first + 1);
        EXPECT_EQ(TestLines(lines).back(), all[first]);
        const bool is_ini = EndsWith(all[first], ".ini");
        EXPECT_EQ(h.dev->ai_rules_.count("who"), is_ini ? 1u : 0u);
        if (is_ini) {
            EXPECT_EQ(h.dev->ai_rules_.at("who").first, std::to_string(first) + "00000000");
        }
    }
}

TEST_F(RuleFileSearch, YamlBesideIniIsTakenAndNothingLoaded) {
    WriteFile("ini/7.yaml", "ai:\n  - [not, read]\n\t: {{{\n");
    WriteFile("ini/7.ini", "[AI]\nout_v = 419120300001,DC voltage\n[ALARM]\nk = 1,upper\n");
    const auto lines = Init(Mode(1));
    EXPECT_EQ(TestLines(lines), std::vector<std::string>{"./ini/7.yaml"});
    EXPECT_NE(std::find(lines.begin(), lines.end(), "parse ini/yaml filename:./ini/7.yaml"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AI 7"), lines.end());
    EXPECT_TRUE(h.dev->ai_rules_.empty());
    EXPECT_TRUE(h.dev->alarm_rules_.empty());
    EXPECT_EQ(h.host->Of(HostCall::Kind::kProtocolSetting).size(), 1u);
}

TEST_F(RuleFileSearch, CarrierFolderFollowsTheMode) {
    const struct {
        Json::Value b_mode;
        int want_mode;
        const char* folder;
    } rows[] = {
        {1, 1, "unicom"},    {2, 2, "telecom"},   {3, 3, "mobile"}, {5, 5, "unicom"},
        {"3x", 3, "mobile"}, {true, 0, "unicom"}, {7, 7, "unicom"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.b_mode.toStyledString());
        DeviceHarness fresh{7};
        h.dev.swap(fresh.dev);
        const auto tried = TestLines(Init(Mode(r.b_mode)));
        EXPECT_EQ(h.dev->b_mode_, r.want_mode);
        ASSERT_EQ(tried.size(), 8u);
        const std::string dir = std::string("./ini/") + r.folder + "/";
        for (size_t i = 4; i < 8; ++i) EXPECT_EQ(tried[i].rfind(dir, 0), 0u) << tried[i];
    }
}

TEST_F(RuleFileSearch, NothingFoundLoadsNothingButFinishesInitialisation) {
    std::filesystem::create_directories("ini/unicom");
    const auto lines = Init(Json::Value(Json::objectValue));
    const std::vector<std::string> tail = {
        "test ini/yaml:./ini/unicom/q318b_419.ini",
        "data_id:7 model:q318b_419 b ini not found",
        "parse ini/yaml filename:",
    };
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), tail);
    EXPECT_EQ(h.dev->b_mode_, 1);
    EXPECT_EQ(h.host->Of(HostCall::Kind::kProtocolSetting).size(), 1u);
}

TEST_F(RuleFileSearch, AbsentModeKeepsThePreviousOne) {
    Init(Mode(3));
    const auto lines = Init(Json::Value(Json::objectValue));
    EXPECT_EQ(h.dev->b_mode_, 3);
    EXPECT_EQ(lines.at(0).rfind("test ini/yaml:", 0), 0u);  // no "InitSetting" line
    EXPECT_EQ(TestLines(lines).at(4), "./ini/mobile/7.yaml");
}

TEST_F(RuleFileSearch, MistypedModeRaisesTheJsonTypeError) {
    Json::Value mode(Json::arrayValue);
    mode.append(3);
    testing::internal::CaptureStdout();
    EXPECT_THROW(h.dev->InitSetting(Mode(mode)), Json::LogicError);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(h.host->Of(HostCall::Kind::kProtocolSetting).empty());
}

}  // namespace
