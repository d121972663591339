// Key lines before a rule file's first section belong to no section: they
// are ignored, never stand in for a section, never clash with one, and the
// reader's errors keep the file's own line numbers.
#include <gtest/gtest.h>
#include <json/value.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <locale>
#include <map>
#include <string>

#include "config/rule_file.h"
#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

using boost::property_tree::ini_parser_error;
using boost::property_tree::ptree_bad_path;

class StrayKeys : public WorkDirTest {
  protected:
    // A fresh device initialised in `mode` with `text` as its rule file.
    void Init(int mode, const std::string& text) {
        WriteFile("ini/q318b_419.ini", text);
        DeviceHarness fresh{7};
        h.dev.swap(fresh.dev);
        h.host.swap(fresh.host);
        Json::Value s;
        s["appSetting"]["b_mode"] = mode;
        testing::internal::CaptureStdout();
        try {
            h.dev->InitSetting(s);
        } catch (...) {
            testing::internal::GetCapturedStdout();
            throw;
        }
        testing::internal::GetCapturedStdout();
    }

    DeviceHarness h{7};
};

TEST_F(StrayKeys, KeyLinesBeforeTheFirstSection) {
    using Tables = std::map<std::string, std::string>;
    const struct {
        const char* name;
        int mode;
        const char* text;
        bool fails;  // with "No such node"
        Tables ai;   // identifier by member
        Tables alarm;
    } rows[] = {
        {"alone, unicom",
         1,
         "out_v = 419120300001,v\n[AI]\ndc1v = 419120300501,x\n[ALARM]\nk_1 = 1,lower\n",
         false,
         {{"dc1v", "419120300501"}},
         {{"k_1", "1"}}},
        {"alone, mobile",
         3,
         "ua_1 = 419500601001,upper\n[ALARM]\ndc1v_1 = 419620301001,lower\n",
         false,
         {},
         {{"dc1v_1", "419620301001,lower"}}},
        {"several, with comments, blanks and duplicates",
         1,
         "; head\n  a = 1  \r\n\n# more\na = 2\nb=\n[AI]\nx = ABCDEFGHIJ,x\n[ALARM]\nk = 1\n",
         false,
         {{"x", "ABCDEFGHIJ"}},
         {{"k", "1"}}},
        {"same name as a section, unicom",
         1,
         "AI = x\n[AI]\ndc1v = 419120300501,x\n[ALARM]\nk_1 = 1,lower\n",
         false,
         {{"dc1v", "419120300501"}},
         {{"k_1", "1"}}},
        {"same name as a section, mobile",
         3,
         "ALARM=x\n[ALARM]\ndc1v_1 = 419620301001,lower\n",
         false,
         {},
         {{"dc1v_1", "419620301001,lower"}}},
        {"before a missing [AI], unicom", 1, "AI=x\n[ALARM]\nk_1 = 1,lower\n", true, {}, {}},
        {"before a missing [ALARM], unicom",
         1,
         "ALARM=x\n[AI]\ndc1v = 419120300501,x\n",
         true,
         {{"dc1v", "419120300501"}},
         {}},
        {"before a missing [ALARM], mobile",
         3,
         "ALARM = ua_1\n[AI]\nout_v=419120300001,v\n",
         true,
         {},
         {}},
        {"before an empty [ALARM], mobile", 3, "ALARM = ua_1\n[ALARM]\n; none\n", true, {}, {}},
        {"nothing but such lines, mobile", 3, "ALARM = ua_1\n", true, {}, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.fails) {
            EXPECT_THROW(Init(r.mode, r.text), ptree_bad_path);
            EXPECT_TRUE(h.host->Of(HostCall::Kind::kProtocolSetting).empty());
        } else {
            EXPECT_NO_THROW(Init(r.mode, r.text));
            EXPECT_EQ(h.host->Of(HostCall::Kind::kProtocolSetting).size(), 1u);
        }
        Tables ai;
        for (const auto& kv : h.dev->ai_rules_) ai[kv.first] = kv.second.first;
        EXPECT_EQ(ai, r.ai);
        EXPECT_EQ(h.dev->alarm_rules_, r.alarm);
    }
}

TEST_F(StrayKeys, ReaderErrorsKeepTheFilesLineNumbers) {
    const struct {
        const char* name;
        const char* text;
        const char* message;
        unsigned long line;
    } rows[] = {
        {"after dropped lines", "a=1\nb=2\n[AI]\nx=1\njust words\n",
         "'=' character not found in line", 5},
        {"a section twice", "AI=x\n[AI]\nx=1\n[ALARM]\nk=1\n[AI]\ny=1\n", "duplicate section name",
         6},
        // Lines without a key are not key lines: refused where they are.
        {"words before the first section", "a=1\nwords\n[AI]\nx=1\n",
         "'=' character not found in line", 2},
        {"no key before the first section", "a=1\n = 1\n[AI]\nx=1\n", "key expected", 2},
        {"a key twice in a section", "k=1\nk=2\n[ALARM]\nk=1\nk=2\n", "duplicate key name", 5},
        {"unmatched [", "k=1\r\n[AI\r\n", "unmatched '['", 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        for (int mode : {1, 3}) {
            SCOPED_TRACE(mode);
            try {
                Init(mode, r.text);
                ADD_FAILURE() << "no exception";
            } catch (const ini_parser_error& e) {
                EXPECT_EQ(e.message(), r.message);
                EXPECT_EQ(e.line(), r.line);
                EXPECT_EQ(e.filename(), "./ini/q318b_419.ini");
            }
        }
    }
}

TEST(RuleFileText, OnlyKeyLinesBeforeTheFirstSectionAreBlanked) {
    const std::locale loc;
    const struct {
        const char* text;
        const char* want;
    } rows[] = {
        {"", ""},
        {"a=1", ""},
        {"a=1\n", "\n"},
        {" a = 1 \r\n;c\n#d\n\n[S]\nb=2\n", "\n;c\n#d\n\n[S]\nb=2\n"},
        {"x\n=1\na=1\n", "x\n=1\n\n"},
        {"[S]\na=1\n[T]\nb=2", "[S]\na=1\n[T]\nb=2"},
        {"\t[S\na=1\n", "\t[S\na=1\n"},  // a section line, broken: the reader's to refuse
        {"a=1\n\n\n", "\n\n\n"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(WithoutKeysBeforeFirstSection(r.text, loc), r.want) << '"' << r.text << '"';
}

}  // namespace
