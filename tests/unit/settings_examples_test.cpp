// The shipped example settings and rule files, loaded the way the runner
// loads them: from a working directory of examples/.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

class Examples : public WorkDirTest {
  protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        ASSERT_EQ(chdir(Q318B_SOURCE_DIR "/examples"), 0);
    }

    static Json::Value ReadSettings(const std::string& name) {
        std::ifstream in("settings/" + name);
        Json::CharReaderBuilder builder;
        builder["strictRoot"] = true;
        builder["rejectDupKeys"] = true;
        Json::Value v;
        std::string errors;
        EXPECT_TRUE(Json::parseFromStream(builder, in, &v, &errors)) << name << ": " << errors;
        return v;
    }

    std::string Load(const std::string& name) {
        testing::internal::CaptureStdout();
        EXPECT_NO_THROW(h.dev->InitSetting(ReadSettings(name)));
        const std::string out = testing::internal::GetCapturedStdout();
        for (const std::string& line : Lines(out))
            if (line.rfind("parse ini/yaml filename:", 0) == 0) return line.substr(24);
        return "";
    }

    DeviceHarness h{1001};
};

TEST_F(Examples, Unicom) {
    EXPECT_EQ(Load("unicom.json"), "./ini/unicom/q318b_419.ini");
    const q318b_419& d = *h.dev;
    EXPECT_EQ(d.b_mode_, 1);
    EXPECT_TRUE(d.has_ac);
    EXPECT_TRUE(d.has_dc);
    EXPECT_EQ(d.no_dc_number, -1);
    ASSERT_EQ(d.ai_rules_.size(), 3u);
    EXPECT_EQ(d.ai_rules_.at("out_v").first, "419120300001");
    EXPECT_EQ(d.ai_rules_.at("out_v").second, "直流输出电压");
    for (const auto& kv : d.ai_rules_) EXPECT_GE(kv.second.first.size(), 9u) << kv.first;
    EXPECT_EQ(d.alarm_rules_.at("ua_1"), "419500601001");
    EXPECT_TRUE(d.up_rules_.empty());
}

TEST_F(Examples, Telecom) {
    EXPECT_EQ(Load("telecom.json"), "./ini/telecom/q318b_419.ini");
    const q318b_419& d = *h.dev;
    EXPECT_EQ(d.b_mode_, 2);
    EXPECT_TRUE(d.has_dc);
    EXPECT_TRUE(d.ai_rules_.empty());
    EXPECT_TRUE(d.alarm_rules_.empty());
}

TEST_F(Examples, MobileRulesAndTextsMatch) {
    EXPECT_EQ(Load("mobile.json"), "./ini/mobile/q318b_419.ini");
    const q318b_419& d = *h.dev;
    EXPECT_EQ(d.b_mode_, 3);
    ASSERT_EQ(d.alarm_rules_.size(), 3u);
    EXPECT_EQ(d.alarm_rules_.at("ua_1"), "419500601001,upper");
    // every rule's alarm id has its texts in the settings
    for (const auto& kv : d.alarm_rules_) {
        const std::string id = kv.second.substr(0, kv.second.find(','));
        EXPECT_EQ(d.mobile_alarm_text_.count(id), 1u) << id;
        EXPECT_EQ(d.mobile_signal_name_.count(id), 1u) << id;
    }
    EXPECT_EQ(d.mobile_alarm_text_.at("419500601001"), "0406001001;419500601001;1;");
}

TEST_F(Examples, LevelThresholds) {
    EXPECT_EQ(Load("levels.json"), "./ini/unicom/q318b_419.ini");
    const q318b_419& d = *h.dev;
    EXPECT_EQ(d.b_mode_, 5);
    EXPECT_TRUE(d.ai_rules_.empty());
    EXPECT_EQ(d.up_rules_.at("out_v").alarm_id, "419620301001");
    EXPECT_EQ(d.up_rules_.at("out_v").value, 57.5f);
    EXPECT_EQ(d.up2_rules_.at("out_v").alarm_id, "419620301002");
    EXPECT_EQ(d.low_rules_.at("out_v").recover_value, 48.0f);
    EXPECT_EQ(d.low2_rules_.at("out_v").level, 1);
    EXPECT_EQ(d.up_rules_.at("ua").alarm_id, "419610401001");
    EXPECT_EQ(d.low_rules_.at("ua").value, 150.0f);
    EXPECT_EQ(d.up2_rules_.count("ua"), 0u);
}

}  // namespace
