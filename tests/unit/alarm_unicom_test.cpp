// The unicom operator mapping as the host sees it: every call in order, with
// the record and site options set on a device bound to a recording host.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "alarm_test_support.h"
#include "tests/support/device_harness.h"

namespace {

using Lines = std::vector<std::string>;

std::string Mains(bool active) {
    return std::string(
               "alarm level=1 key=PowerOff id=419415001 value=\"输入电源中断告警\" "
               "text=\"输入电源中断告警\" active=") +
           (active ? "1" : "0") + " ordinal=100";
}

// The threshold call of one value and the analog report that follows it.
Lines Value(const std::string& id, const std::string& key, const std::string& value) {
    return {"threshold id=" + id + " name=\"\" value=" + value + " count=1",
            "ao-report key=" + key + " value=" + value};
}

std::string Fault(int module, bool active) {
    char key[16];
    std::snprintf(key, sizeof key, "419430501%03d", module);
    return std::string("alarm level=1 key=") + key + " id=" + key + " value=\"" + key +
           "\" text=\"模块故障告警\" active=" + (active ? "1" : "0") + " ordinal=1";
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Two reported inputs with distinct values everywhere, so a value read from
// the wrong channel or phase shows.
void TwoInputs(q318b_419& d) {
    auto& ac = d.data_.ac;
    ac.channel_count = 2;
    ac.channel[0].a = 230.5f;
    ac.channel[0].b = 231.5f;
    ac.channel[0].c = 232.5f;
    ac.channel[0].f = 50.25f;
    ac.channel[1].a = 220.5f;
    ac.channel[1].b = 221.5f;
    ac.channel[1].c = 222.5f;
    ac.channel[1].f = 49.75f;
}

// Report settings only on the phase-A, frequency and DC templates: every
// other report key starts from a copy of its template's settings.
void ReportTemplates(q318b_419& d) {
    for (const char* id :
         {"419610401001", "419610801001", "419613901001", "419620401001", "419620301001"})
        d.ao_report_settings_[id] = ReportEveryRound();
}

struct Case {
    const char* name;
    std::function<void(q318b_419&)> setup;
    Lines want;
};

TEST(UnicomMapping, CallsInOrderForEachSiteLayout) {
    const Case cases[] = {
        {"ac_line 1, ac_type 0: input 1 under the input-1 ids", [](q318b_419& d) { d.ac_line = 1; },
         Join({{Mains(false)},
               Value("419610401001", "419110100001", "230.5"),
               Value("419610401002", "419110200001", "231.5"),
               Value("419610401003", "419110300001", "232.5"),
               Value("419613901001", "419113900001", "50.25")})},
        {"ac_line 2, ac_type 0: input 2's values under the input-1 ids",
         [](q318b_419& d) { d.ac_line = 2; },
         Join({{Mains(false)},
               Value("419610401001", "419110100001", "220.5"),
               Value("419610401002", "419110200001", "221.5"),
               Value("419610401003", "419110300001", "222.5"),
               Value("419613901001", "419113900001", "49.75")})},
        {"ac_line 1, ac_type 1: the second family of phase ids",
         [](q318b_419& d) {
             d.ac_line = 1;
             d.ac_type = 1;
         },
         Join({{Mains(false)},
               Value("419610801001", "419110500001", "230.5"),
               Value("419610801002", "419110600001", "231.5"),
               Value("419610801003", "419110700001", "232.5"),
               Value("419613901001", "419113900001", "50.25")})},
        {"ac_line 0, ac_type 0: both inputs", [](q318b_419& d) { d.ac_line = 0; },
         Join({{Mains(false)},
               Value("419610401001", "419110100001", "230.5"),
               Value("419610401002", "419110200001", "231.5"),
               Value("419610401003", "419110300001", "232.5"),
               Value("419610401004", "419110100002", "220.5"),
               Value("419610401005", "419110200002", "221.5"),
               Value("419610401006", "419110300002", "222.5"),
               Value("419613901001", "419113900001", "50.25"),
               Value("419613901002", "419113900002", "49.75")})},
        {"ac_line 0, ac_type 1",
         [](q318b_419& d) {
             d.ac_line = 0;
             d.ac_type = 1;
         },
         Join({{Mains(false)},
               Value("419610801001", "419110500001", "230.5"),
               Value("419610801002", "419110600001", "231.5"),
               Value("419610801003", "419110700001", "232.5"),
               Value("419610801004", "419110500002", "220.5"),
               Value("419610801005", "419110600002", "221.5"),
               Value("419610801006", "419110700002", "222.5"),
               Value("419613901001", "419113900001", "50.25"),
               Value("419613901002", "419113900002", "49.75")})},
        {"ac_line 0 with phase B unconfigured: no B rows",
         [](q318b_419& d) {
             d.ac_line = 0;
             d.has_b = false;
         },
         Join({{Mains(false)},
               Value("419610401001", "419110100001", "230.5"),
               Value("419610401003", "419110300001", "232.5"),
               Value("419610401004", "419110100002", "220.5"),
               Value("419610401006", "419110300002", "222.5"),
               Value("419613901001", "419113900001", "50.25"),
               Value("419613901002", "419113900002", "49.75")})},
        {"one DC group",
         [](q318b_419& d) {
             d.has_ac = false;
             d.has_dc = true;
             d.dc_number_ = 1;
         },
         Join({Value("419620401001", "419120400001", "12.5"),
               Value("419620301001", "419120300001", "53.5")})},
        {"two DC groups: the second group's reports start from the first's templates",
         [](q318b_419& d) {
             d.has_ac = false;
             d.has_dc = true;
             d.dc_number_ = 2;
         },
         Join({Value("419620401001", "419120400001", "12.5"),
               Value("419620301001", "419120300001", "53.5"),
               Value("419620401002", "419120400002", "7.25"),
               Value("419620301002", "419120300002", "54.25")})},
        {"module faults whatever has_ac and has_dc say",
         [](q318b_419& d) {
             d.has_ac = false;
             d.data_.rc.channel_count = 3;
             d.data_.rc.channel[1].fault = 0x01;
             d.data_.rc.channel[2].fault = 0xFF;
         },
         {Fault(1, false), Fault(2, true), Fault(3, true)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceHarness h;
        TwoInputs(*h.dev);
        h.dev->data_.dc1.i = 12.5f;
        h.dev->data_.dc1.v = 53.5f;
        h.dev->data_.dc2.i = 7.25f;
        h.dev->data_.dc2.v = 54.25f;
        ReportTemplates(*h.dev);
        c.setup(*h.dev);
        RunOperatorMapping(*h.dev);
        EXPECT_EQ(CallLines(*h.host), c.want);
    }
}

TEST(UnicomMapping, MainsFailureAtTheBoundary) {
    struct Row {
        const char* name;
        std::function<void(q318b_419&)> setup;
        bool active;
    } rows[] = {
        {"no input reported", [](q318b_419& d) { d.data_.ac.channel_count = 0; }, true},
        {"only A configured, A at 121 V, B and C dead",
         [](q318b_419& d) { d.data_.ac.channel[0].a = 121.0f; }, false},
        {"only A configured, A at exactly 120.0 V",
         [](q318b_419& d) { d.data_.ac.channel[0].a = 120.0f; }, true},
        {"only A configured, A at 120.01 V",
         [](q318b_419& d) { d.data_.ac.channel[0].a = 120.01f; }, false},
        {"no phase configured: an input always has mains", [](q318b_419& d) { d.has_a = false; },
         false},
        {"all phases configured, C dead",
         [](q318b_419& d) {
             d.has_b = d.has_c = true;
             d.data_.ac.channel[0].a = d.data_.ac.channel[0].b = 230.0f;
         },
         true},
        {"input 1 dead, input 2 live",
         [](q318b_419& d) {
             d.data_.ac.channel_count = 2;
             d.data_.ac.channel[1].a = 230.0f;
         },
         false},
        {"a live input beyond the reported count does not count",
         [](q318b_419& d) { d.data_.ac.channel[1].a = 230.0f; }, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        DeviceHarness h;
        h.dev->has_a = true;
        h.dev->has_b = false;
        h.dev->has_c = false;
        h.dev->data_.ac.channel_count = 1;
        r.setup(*h.dev);
        RunOperatorMapping(*h.dev);
        ASSERT_FALSE(h.host->calls.empty());
        EXPECT_EQ(ToText(h.host->calls.front()), Mains(r.active));
    }
}

TEST(UnicomMapping, ReportKeysCopyTheirTemplateOnce) {
    DeviceHarness h;
    TwoInputs(*h.dev);
    h.dev->ac_line = 0;
    BAOSetting tmpl;
    tmpl.abs_enabled = true;
    tmpl.abs_delta = 5.0f;
    tmpl.last_report_value = 228.0f;
    h.dev->ao_report_settings_["419610401001"] = tmpl;
    RunOperatorMapping(*h.dev);

    // Every phase key starts from a copy of the phase-A template (last value
    // 228): input 1's phases (230.5 to 232.5) stay within 5 of it, input 2's
    // (220.5 to 222.5) do not.
    std::vector<std::string> reported;
    for (const auto& c : h.host->Of(HostCall::Kind::kAOReport)) reported.push_back(c.key);
    EXPECT_EQ(reported, (std::vector<std::string>{"419110100002", "419110200002", "419110300002"}));
    const auto& s = h.dev->ao_report_settings_;
    EXPECT_FLOAT_EQ(s.at("419610401001").last_report_value, 228.0f) << "template untouched";
    for (const char* key : {"419110100001", "419110200001", "419110300001"}) {
        ASSERT_EQ(s.count(key), 1u) << key;
        EXPECT_TRUE(s.at(key).abs_enabled) << key;
        EXPECT_FLOAT_EQ(s.at(key).last_report_value, 228.0f) << key << ": copy, not due";
    }
    EXPECT_FLOAT_EQ(s.at("419110200002").last_report_value, 221.5f);
    EXPECT_FLOAT_EQ(s.at("419110300002").last_report_value, 222.5f);
    EXPECT_EQ(s.count("419113900001"), 0u) << "frequency template has no settings";
}

TEST(UnicomMapping, ModuleKeysAndCapacity) {
    DeviceHarness h;
    h.dev->has_ac = false;
    h.dev->data_.rc.channel_count = 45;  // more than the record holds
    h.dev->data_.rc.channel[9].fault = 1;
    RunOperatorMapping(*h.dev);
    const auto calls = h.host->Of(HostCall::Kind::kThresholdBool);
    ASSERT_EQ(calls.size(), 40u);
    EXPECT_EQ(ToText(calls[9]), Fault(10, true));
    EXPECT_EQ(calls[11].key, "419430501012");
    EXPECT_EQ(calls[39].key, "419430501040");
}

TEST(UnicomMapping, OtherOperatorsMakeNoCall) {
    for (int mode : {0, 3, 7}) {
        SCOPED_TRACE(mode);
        DeviceHarness h;
        TwoInputs(*h.dev);
        h.dev->has_dc = true;
        h.dev->data_.rc.channel_count = 2;
        h.dev->b_mode_ = mode;
        RunOperatorMapping(*h.dev);
        EXPECT_TRUE(h.host->calls.empty());
    }
}

}  // namespace
