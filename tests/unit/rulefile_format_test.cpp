// The rule file's INI dialect and the [AI] and [ALARM] tables each operator
// mode takes from it; a malformed file or a missing section stops the
// initialisation with the reader's error.
#include <gtest/gtest.h>
#include <json/value.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <string>
#include <utility>
#include <vector>

#include "config/rule_file.h"
#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

using boost::property_tree::ini_parser_error;
using boost::property_tree::ptree_bad_path;

Json::Value Mode(int b_mode) {
    Json::Value s;
    s["appSetting"]["b_mode"] = b_mode;
    return s;
}

class RuleFileFormat : public WorkDirTest {
  protected:
    // The device's own rule file: per model, directly under ./ini/.
    static void Rules(const std::string& text) { WriteFile("ini/q318b_419.ini", text); }

    std::vector<std::string> Init(const Json::Value& s) {
        testing::internal::CaptureStdout();
        try {
            h.dev->InitSetting(s);
        } catch (...) {
            out = Lines(testing::internal::GetCapturedStdout());
            throw;
        }
        out = Lines(testing::internal::GetCapturedStdout());
        return out;
    }

    DeviceHarness h{7};
    std::vector<std::string> out;
};

TEST_F(RuleFileFormat, ReaderErrorsSurfaceWithTheirLine) {
    const struct {
        const char* name;
        const char* text;
        const char* message;
        unsigned long line;
    } rows[] = {
        {"duplicate section", "[AI]\na=1\n[ALARM]\nb=2\n[AI]\nc=3\n", "duplicate section name", 5},
        {"missing =", "[AI]\na=1\njust some words\n[ALARM]\nb=2\n",
         "'=' character not found in line", 3},
        {"unmatched [", "[AI\na=1\n", "unmatched '['", 1},
        {"key expected", "[AI]\n= value\n", "key expected", 2},
        {"duplicate key", "[AI]\na=1\n a = 2\n[ALARM]\nb=1\n", "duplicate key name", 3},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Rules(r.text);
        for (int mode : {1, 2, 3, 5}) {  // the file is read in full in every mode
            SCOPED_TRACE(mode);
            DeviceHarness fresh{7};
            h.dev.swap(fresh.dev);
            h.host.swap(fresh.host);
            try {
                Init(Mode(mode));
                ADD_FAILURE() << "no exception";
            } catch (const ini_parser_error& e) {
                EXPECT_EQ(e.message(), r.message);
                EXPECT_EQ(e.line(), r.line);
                EXPECT_EQ(e.filename(), "./ini/q318b_419.ini");
            }
            EXPECT_TRUE(h.host->Of(HostCall::Kind::kProtocolSetting).empty());
        }
    }
}

TEST_F(RuleFileFormat, MissingOrKeylessSectionFailsOnlyTheModesThatNeedIt) {
    const struct {
        const char* name;
        const char* text;
        int mode;
        bool fails;
    } rows[] = {
        {"[AI] without keys, unicom", "[AI]\n; nothing\n[ALARM]\nk=1,upper\n", 1, true},
        {"no [ALARM], unicom", "[AI]\nout_v=419120300001,v\n", 1, true},
        {"no [ALARM], mobile", "[AI]\nout_v=419120300001,v\n", 3, true},
        {"[ALARM] without keys, mobile", "[ALARM]\n\n[OTHER]\nx=1\n", 3, true},
        {"no [AI], mobile", "[ALARM]\nua_1=419500601001,upper\n", 3, false},
        {"no sections, telecom", "; empty\n", 2, false},
        {"no sections, levels", "", 5, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Rules(r.text);
        DeviceHarness fresh{7};
        h.dev.swap(fresh.dev);
        h.host.swap(fresh.host);
        if (r.fails) {
            EXPECT_THROW(Init(Mode(r.mode)), ptree_bad_path);
            EXPECT_TRUE(h.host->Of(HostCall::Kind::kProtocolSetting).empty());
        } else {
            EXPECT_NO_THROW(Init(Mode(r.mode)));
            EXPECT_EQ(h.host->Of(HostCall::Kind::kProtocolSetting).size(), 1u);
        }
    }
}

TEST_F(RuleFileFormat, UnicomTablesAndListing) {
    Rules(
        "; unicom rules\n"
        "# another comment\n"
        "stray = before any section\n"
        "\n"
        "  [AI]  trailing text ignored\n"
        "p40_41_0 = ABCDEFGHIJ,AC voltage\n"
        "   out_v=419120300001,DC, bus ; voltage   \n"
        "abc = abc\n"
        "[OTHER]\n"
        "ignored = 1\n"
        "[ALARM]\n"
        "ua_1 = 419500601001,upper\n"
        "plain = 419500602001\n");
    Init(Mode(1));
    using Entry = std::pair<std::string, std::string>;
    const std::map<std::string, Entry> want_ai = {
        {"abc", {"abc", "abc"}},
        {"out_v", {"419120300001", "DC, bus ; voltage"}},
        {"p40_41_0", {"ABCDEFGHIJ", "AC voltage"}},
    };
    EXPECT_EQ(h.dev->ai_rules_, want_ai);
    const std::map<std::string, std::string> want_alarm = {
        {"plain", "419500602001"},
        {"ua_1", "419500601001"},
    };
    EXPECT_EQ(h.dev->alarm_rules_, want_alarm);
    const std::vector<std::string> listing = {
        "AI 7",
        "first:abc second:abc name:abc",
        "first:out_v second:419120300001 name:DC, bus ; voltage",
        "first:p40_41_0 second:ABCDEFGHIJ name:AC voltage",
    };
    ASSERT_GE(out.size(), listing.size());
    EXPECT_EQ(std::vector<std::string>(out.end() - listing.size(), out.end()), listing);
}

TEST_F(RuleFileFormat, SectionAndKeyNamesAreCaseSensitive) {
    Rules("[ai]\nx=ABCDEFGHIJ,x\n[AI]\nX=ABCDEFGHIJ,y\n[ALARM]\nk=1\n");
    Init(Mode(1));
    ASSERT_EQ(h.dev->ai_rules_.size(), 1u);
    EXPECT_EQ(h.dev->ai_rules_.at("X").second, "y");
}

TEST_F(RuleFileFormat, MobileKeepsWholeValuesAndSkipsAi) {
    Rules("[AI]\nout_v=419120300001,v\n[ALARM]\nua_1 = 419500601001,upper\np40_41_0=1,lower\n");
    Init(Mode(3));
    const std::map<std::string, std::string> want = {
        {"p40_41_0", "1,lower"},
        {"ua_1", "419500601001,upper"},
    };
    EXPECT_EQ(h.dev->alarm_rules_, want);
    EXPECT_TRUE(h.dev->ai_rules_.empty());
}

TEST_F(RuleFileFormat, TelecomAndLevelModesLoadNoTable) {
    for (int mode : {2, 5, 0}) {
        SCOPED_TRACE(mode);
        Rules("[AI]\nout_v=419120300001,v\n[ALARM]\nua_1=419500601001,upper\n");
        DeviceHarness fresh{7};
        h.dev.swap(fresh.dev);
        Init(Mode(mode));
        EXPECT_TRUE(h.dev->ai_rules_.empty());
        EXPECT_TRUE(h.dev->alarm_rules_.empty());
    }
}

TEST_F(RuleFileFormat, EntriesBeforeAMissingSectionStay) {
    Rules("[AI]\nout_v=419120300001,v\n");
    EXPECT_THROW(Init(Mode(1)), ptree_bad_path);
    EXPECT_EQ(h.dev->ai_rules_.count("out_v"), 1u);
}

TEST_F(RuleFileFormat, SecondLoadAddsAndOverwritesButNeverEmpties) {
    Rules("[AI]\na=AAAAAAAAA1,first\nb=BBBBBBBBB1,first\n[ALARM]\nk1=1,upper\n");
    Init(Mode(1));
    Rules("[AI]\nb=BBBBBBBBB2,second\nc=CCCCCCCCC2,second\n[ALARM]\nk2=2,lower\n");
    Init(Json::Value(Json::objectValue));  // the mode stays 1
    EXPECT_EQ(h.dev->ai_rules_.at("a").second, "first");
    EXPECT_EQ(h.dev->ai_rules_.at("b").second, "second");
    EXPECT_EQ(h.dev->ai_rules_.at("c").first, "CCCCCCCCC2");
    EXPECT_EQ(h.dev->alarm_rules_.size(), 2u);
}

TEST_F(RuleFileFormat, UnreadableCandidateRaises) {
    std::filesystem::create_directories("ini/q318b_419.ini");  // exists, but is no file
    EXPECT_THROW(Init(Mode(2)), ini_parser_error);
}

TEST(RuleFileValues, SplitAiValueAtTheFirstComma) {
    const struct {
        const char* value;
        const char* id;
        const char* name;
    } rows[] = {
        {"ABCDEFGHIJ,AC voltage", "ABCDEFGHIJ", "AC voltage"},
        {"abc", "abc", "abc"},
        {"id,a,b", "id", "a,b"},
        {",name", "", "name"},
        {"id,", "id", ""},
        {"", "", ""},
    };
    for (const auto& r : rows) {
        const auto got = SplitAiValue(r.value);
        EXPECT_EQ(got.first, r.id) << r.value;
        EXPECT_EQ(got.second, r.name) << r.value;
    }
}

}  // namespace
