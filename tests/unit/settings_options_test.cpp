// Device options of "appSetting": the value syntax (text form, then a C
// integer), absent and null keys, the fixed reading order and what a second
// initialisation keeps.
#include <gtest/gtest.h>
#include <json/value.h>

#include <functional>
#include <string>

#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

Json::Value App(const char* key, const Json::Value& value) {
    Json::Value s;
    s["appSetting"][key] = value;
    return s;
}

uint32_t RecordDataId(const q318b_419& d) {
    const uint32_t id = d.data_.data_id;  // packed field: copy, do not bind
    return id;
}

class SettingsOptions : public WorkDirTest {
  protected:
    bool Init(const Json::Value& s) {
        testing::internal::CaptureStdout();
        bool ok = false;
        try {
            ok = h.dev->InitSetting(s);
        } catch (...) {
            out = testing::internal::GetCapturedStdout();
            throw;
        }
        out = testing::internal::GetCapturedStdout();
        return ok;
    }

    DeviceHarness h{7};
    std::string out;
};

struct ValueRow {
    const char* name;
    const char* key;
    Json::Value prime;  // applied first when not null, so "unchanged" is visible
    Json::Value value;
    std::function<int(const q318b_419&)> field;
    int want;
};

TEST_F(SettingsOptions, ValueSyntaxIsTextThenAtoi) {
    auto has_ac = [](const q318b_419& d) { return int(d.has_ac); };
    auto has_dc = [](const q318b_419& d) { return int(d.has_dc); };
    auto has_a = [](const q318b_419& d) { return int(d.has_a); };
    auto cg = [](const q318b_419& d) { return int(d.group_byte_); };
    auto no_dc = [](const q318b_419& d) { return d.no_dc_number; };
    auto dc_adj = [](const q318b_419& d) { return d.dc_i_adjust; };
    auto ac_line = [](const q318b_419& d) { return d.ac_line; };
    const Json::Value null;
    const ValueRow rows[] = {
        {"text 0", "has_ac", null, "0", has_ac, 0},
        {"number 0", "has_ac", null, 0, has_ac, 0},
        {"text 2", "has_ac", "0", "2", has_ac, 1},
        {"text 1abc", "has_ac", "0", "1abc", has_ac, 1},
        {"text 0x1", "has_ac", null, "0x1", has_ac, 0},
        {"boolean true reads as 0", "has_dc", 1, true, has_dc, 0},
        {"boolean true on a default-true field", "has_a", null, true, has_a, 0},
        {"text 1", "has_dc", null, "1", has_dc, 1},
        {"cg 257 keeps the low byte", "cg", null, 257, cg, 1},
        {"cg -1", "cg", null, -1, cg, 255},
        {"cg empty text", "cg", null, "", cg, 0},
        {"cg text 200", "cg", null, "200", cg, 200},
        {"no_dc_number abc", "no_dc_number", null, "abc", no_dc, 0},
        {"no_dc_number -1", "no_dc_number", 2, -1, no_dc, -1},
        {"dc_i_adjust 2.9 truncates", "dc_i_adjust", null, 2.9, dc_adj, 2},
        {"leading blanks and sign", "dc_i_adjust", null, "  -3x", dc_adj, -3},
        {"null leaves the field", "has_ac", "0", null, has_ac, 0},
        {"null on an int field", "ac_line", 4, null, ac_line, 4},
    };
    for (const ValueRow& r : rows) {
        SCOPED_TRACE(r.name);
        DeviceHarness fresh{7};
        h.dev.swap(fresh.dev);
        h.host.swap(fresh.host);
        if (!r.prime.isNull()) Init(App(r.key, r.prime));
        EXPECT_TRUE(Init(App(r.key, r.value)));
        EXPECT_EQ(r.field(*h.dev), r.want);
    }
}

TEST_F(SettingsOptions, EveryKeyReachesItsOwnField) {
    Json::Value s;
    Json::Value& a = s["appSetting"];
    a["has_ac"] = 0;
    a["has_dc"] = 1;
    a["no_dc_number"] = 2;
    a["ac_line"] = 3;
    a["ac_type"] = 4;
    a["has_a"] = 0;
    a["has_b"] = "0";
    a["has_c"] = "0";
    a["dc_i_adjust"] = 5;
    a["skip_41_41"] = 6;
    a["has_tower"] = 1;
    a["no_42_arg"] = 7;
    a["no_40_arg"] = 8;
    a["open_41_43"] = 9;
    a["cg"] = 0xFF;
    EXPECT_TRUE(Init(s));
    const q318b_419& d = *h.dev;
    EXPECT_FALSE(d.has_ac);
    EXPECT_TRUE(d.has_dc);
    EXPECT_EQ(d.no_dc_number, 2);
    EXPECT_EQ(d.ac_line, 3);
    EXPECT_EQ(d.ac_type, 4);
    EXPECT_FALSE(d.has_a);
    EXPECT_FALSE(d.has_b);
    EXPECT_FALSE(d.has_c);
    EXPECT_EQ(d.dc_i_adjust, 5);
    EXPECT_EQ(d.skip_41_41, 6);
    EXPECT_TRUE(d.has_tower);
    EXPECT_EQ(d.no_42_arg, 7);
    EXPECT_EQ(d.no_40_arg, 8);
    EXPECT_EQ(d.open_41_43, 9);
    EXPECT_EQ(d.group_byte_, 0xFF);
}

TEST_F(SettingsOptions, MissingOrMistypedAppSettingKeepsDefaultsAndStillInitialises) {
    Json::Value with_string;
    with_string["appSetting"] = "has_ac=0";
    Json::Value with_array;
    with_array["appSetting"].append(0);
    Json::Value with_null;
    with_null["appSetting"] = Json::Value();
    Json::Value not_an_object(Json::arrayValue);
    not_an_object.append("appSetting");
    const struct {
        const char* name;
        Json::Value setting;
    } rows[] = {
        {"no appSetting", Json::Value(Json::objectValue)},
        {"appSetting text", with_string},
        {"appSetting array", with_array},
        {"appSetting null", with_null},
        {"settings not an object", not_an_object},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        DeviceHarness fresh{7};
        h.dev.swap(fresh.dev);
        h.host.swap(fresh.host);
        EXPECT_TRUE(Init(r.setting));
        const q318b_419& d = *h.dev;
        EXPECT_TRUE(d.has_ac);
        EXPECT_FALSE(d.has_dc);
        EXPECT_EQ(d.no_dc_number, -1);
        EXPECT_EQ(d.group_byte_, 1);
        EXPECT_EQ(d.b_mode_, 1);
        EXPECT_EQ(RecordDataId(d), 7u);
        // the rule file search and the host's own settings still ran
        EXPECT_NE(out.find("b ini not found"), std::string::npos);
        EXPECT_EQ(h.host->Of(HostCall::Kind::kProtocolSetting).size(), 1u);
    }
}

TEST_F(SettingsOptions, SecondInitSettingChangesOnlyThePresentKeys) {
    Json::Value first;
    first["appSetting"]["has_ac"] = 0;
    first["appSetting"]["cg"] = 3;
    first["appSetting"]["ac_type"] = 1;
    first["appSetting"]["dc_i_adjust"] = 10;
    first["appSetting"]["has_b"] = 0;
    Init(first);
    Init(App("has_dc", 1));
    const q318b_419& d = *h.dev;
    EXPECT_TRUE(d.has_dc);
    EXPECT_FALSE(d.has_ac);
    EXPECT_EQ(d.group_byte_, 3);
    EXPECT_EQ(d.ac_type, 1);
    EXPECT_EQ(d.dc_i_adjust, 10);
    EXPECT_FALSE(d.has_b);
}

TEST_F(SettingsOptions, ArrayMemberRaisesAfterTheEarlierKeys) {
    Json::Value s;
    Json::Value& a = s["appSetting"];
    a["has_ac"] = 0;
    a["has_dc"] = 1;
    a["no_dc_number"] = 1;
    a["ac_line"] = 2;
    a["ac_type"].append(1);  // array: the JSON library cannot give it as text
    a["has_a"] = 0;
    a["dc_i_adjust"] = 9;
    a["cg"] = 5;
    a["b_mode"] = 3;
    EXPECT_THROW(Init(s), Json::LogicError);
    const q318b_419& d = *h.dev;
    EXPECT_FALSE(d.has_ac);
    EXPECT_TRUE(d.has_dc);
    EXPECT_EQ(d.no_dc_number, 1);
    EXPECT_EQ(d.ac_line, 2);
    EXPECT_EQ(d.ac_type, 0);
    EXPECT_TRUE(d.has_a);
    EXPECT_EQ(d.dc_i_adjust, 1);
    EXPECT_EQ(d.group_byte_, 1);
    // the stamp, the mode, the rule file search and the host's settings were skipped
    EXPECT_EQ(RecordDataId(d), 0u);
    EXPECT_EQ(d.b_mode_, 1);
    EXPECT_EQ(out.find("test ini/yaml:"), std::string::npos);
    EXPECT_TRUE(h.host->Of(HostCall::Kind::kProtocolSetting).empty());
}

TEST_F(SettingsOptions, ObjectMemberRaisesToo) {
    Json::Value s;
    s["appSetting"]["cg"]["low"] = 1;
    EXPECT_THROW(Init(s), Json::LogicError);
    EXPECT_EQ(h.dev->group_byte_, 1);
}

}  // namespace
