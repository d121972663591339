// The site file's "history" member: how long rows are kept and how often a
// device's record is stored.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "runtime/site/site_config.h"

namespace {

class SiteConfigHistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-site-hist-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream(dir_ + "/scenario.json") << "{}";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // A one-device site with `members` added at the top level (JSON text
    // without braces, or empty).
    SiteConfig Load(const std::string& members) {
        const std::string text = "{" + members + (members.empty() ? "" : ", ") +
                                 R"("devices": [{"data_id": 7, "port": "sim:scenario.json"}]})";
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string errs;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << text;
        return ParseSiteConfig(v, "site.json", dir_);
    }

    std::string dir_;
};

TEST_F(SiteConfigHistoryTest, TakenAsGivenWithTheDefaultsForWhatIsLeftOut) {
    const struct {
        const char* members;
        int max_age_days;
        int min_interval_s;
    } cases[] = {
        {"", history_defaults::kMaxAgeDays, history_defaults::kMinIntervalS},
        {R"("history": {})", history_defaults::kMaxAgeDays, history_defaults::kMinIntervalS},
        {R"("history": {"max_age_days": 30, "min_interval_s": 60})", 30, 60},
        {R"("history": {"max_age_days": 2})", 2, history_defaults::kMinIntervalS},
        {R"("history": {"min_interval_s": 600})", history_defaults::kMaxAgeDays, 600},
        // 0 turns each off: kept for ever, every round stored
        {R"("history": {"max_age_days": 0, "min_interval_s": 0})", 0, 0},
        {R"("history": {"max_age_days": 36500, "min_interval_s": 86400})", 36500, 86400},
        {R"("history": {"max_age_days": 3.0})", 3, history_defaults::kMinIntervalS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.members);
        const SiteConfig site = Load(c.members);
        EXPECT_EQ(site.history.max_age_days, c.max_age_days);
        EXPECT_EQ(site.history.min_interval_s, c.min_interval_s);
    }
}

TEST_F(SiteConfigHistoryTest, AnythingElseIsOneLineNamingTheFileAndMember) {
    const struct {
        const char* members;
        const char* expect;
    } cases[] = {
        {R"("history": 30)", "\"history\" must be an object"},
        {R"("history": [])", "\"history\" must be an object"},
        {R"("history": {"max_age": 30})", "unknown member \"history.max_age\""},
        {R"("history": {"max_age_days": 30, "min_interval": 60})",
         "unknown member \"history.min_interval\""},
        {R"("history": {"max_age_days": -1})",
         "\"history.max_age_days\" must be a whole number from 0 to 36500"},
        {R"("history": {"max_age_days": 36501})",
         "\"history.max_age_days\" must be a whole number from 0 to 36500"},
        {R"("history": {"max_age_days": 1.5})", "\"history.max_age_days\" must be a whole number"},
        {R"("history": {"max_age_days": "30"})", "\"history.max_age_days\" must be a whole number"},
        {R"("history": {"max_age_days": 1e19})", "\"history.max_age_days\" must be a whole number"},
        {R"("history": {"min_interval_s": true})",
         "\"history.min_interval_s\" must be a whole number from 0 to 86400"},
        {R"("history": {"min_interval_s": 86401})",
         "\"history.min_interval_s\" must be a whole number from 0 to 86400"},
        {R"("history": {"min_interval_s": null})",
         "\"history.min_interval_s\" must be a whole number"},
        // a key with a line break stays on the message's one line
        {R"("history": {"a\nb": 1})", "unknown member \"history.a\\nb\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.members);
        try {
            Load(c.members);
            ADD_FAILURE() << "accepted";
        } catch (const SiteError& e) {
            const std::string msg = e.what();
            EXPECT_EQ(msg.rfind("site file site.json: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
        }
    }
}

}  // namespace
