// The /metrics page built from hand-filled records: values the controller
// did not have stay out, channels stop at the counts the record gives (and
// at its capacity), label values are escaped, families are well formed.
#include "service/metrics_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/record.h"

namespace {

// Four equal non-zero bytes: the not-available marker copied raw.
float Marker() {
    const uint8_t raw[4] = {0x20, 0x20, 0x20, 0x20};
    float v;
    std::memcpy(&v, raw, sizeof v);
    return v;
}

std::vector<uint8_t> Bytes(const q318b_419_Data_t& r) {
    std::vector<uint8_t> b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
}

q318b_419_Data_t Blank() {
    q318b_419_Data_t r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    return r;
}

DeviceState Device(const q318b_419_Data_t& r, const std::string& name = "ctl") {
    DeviceState d;
    d.data_id = 7;
    d.name = name;
    d.record = Bytes(r);
    d.record_time = 1000;
    d.link_up = true;
    d.rounds = 4;
    return d;
}

std::string Page(const std::vector<DeviceState>& devices, double now = 1002.5) {
    SiteState s;
    s.devices = devices;
    return MetricsText(s, now);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

size_t Count(const std::string& text, const std::string& prefix) {
    size_t n = 0;
    for (const auto& l : Lines(text))
        if (l.rfind(prefix, 0) == 0) ++n;
    return n;
}

const std::string kDev = "data_id=\"7\",name=\"ctl\"";

TEST(MetricsText, ValuesPresentAndNotAvailableLeftOut) {
    q318b_419_Data_t r = Blank();
    r.ac.channel_count = 1;
    r.ac.channel[0].a = 229.5f;
    r.ac.channel[0].b = Marker();
    r.ac.channel[0].c = std::numeric_limits<float>::quiet_NaN();
    r.ac.channel[0].f = 50.0f;
    r.ac.ia = -0.1f;
    r.ac.ib = 11.75f;
    r.ac.ic = std::numeric_limits<float>::infinity();
    r.rc.v = 53.5f;
    r.rc.channel_count = 1;
    r.rc.channel[0].i = 10.5f;
    r.rc.channel[0].state[0] = 1;
    r.rc.channel[0].fault = 3;
    r.dc1.v = 53.25f;
    r.dc1.i = 21.5f;
    r.dc1.m_count = 1;
    const float battery = -1.25f;
    std::memcpy(reinterpret_cast<char*>(&r.dc1) + offsetof(q318b_dc_t, m), &battery, 4);
    DeviceState d = Device(r);
    d.counts.good = 12;
    d.counts.timeouts = 2;
    AlarmChange a;
    a.alarm_id = "419610401001";
    a.key = "dc_v";
    d.alarms.push_back({a, 1000});
    // Known but not raised; and a second text of the raised one, quiet,
    // which must not give a second sample with the same labels.
    d.quiet_alarms.emplace_back("419415001", "PowerOff");
    d.quiet_alarms.emplace_back("419610401001", "dc_v");
    const std::string page = Page({d});

    struct Case {
        std::string line;
        bool present;
    };
    const Case cases[] = {
        {"q318b_ac_voltage_volts{" + kDev + ",input=\"1\",phase=\"A\"} 229.5", true},
        {"q318b_ac_voltage_volts{" + kDev + ",input=\"1\",phase=\"B\"}", false},
        {"q318b_ac_voltage_volts{" + kDev + ",input=\"1\",phase=\"C\"}", false},
        {"q318b_ac_frequency_hertz{" + kDev + ",input=\"1\"} 50", true},
        {"q318b_ac_current_amperes{" + kDev + ",phase=\"A\"}", false},
        {"q318b_ac_current_amperes{" + kDev + ",phase=\"B\"} 11.75", true},
        {"q318b_ac_current_amperes{" + kDev + ",phase=\"C\"}", false},
        {"q318b_rectifier_output_voltage_volts{" + kDev + "} 53.5", true},
        {"q318b_module_current_amperes{" + kDev + ",module=\"1\"} 10.5", true},
        {"q318b_module_state{" + kDev + ",module=\"1\",byte=\"1\"} 1", true},
        {"q318b_module_fault{" + kDev + ",module=\"1\"} 3", true},
        {"q318b_dc_bus_voltage_volts{" + kDev + ",group=\"1\"} 53.25", true},
        {"q318b_dc_load_current_amperes{" + kDev + ",group=\"1\"} 21.5", true},
        {"q318b_dc_battery_current_amperes{" + kDev + ",group=\"1\",battery=\"1\"} -1.25", true},
        {"q318b_dc_bus_voltage_volts{" + kDev + ",group=\"2\"}", false},
        {"q318b_alarm_active{" + kDev + ",alarm_id=\"419610401001\",key=\"dc_v\"} 1", true},
        {"q318b_alarm_active{" + kDev + ",alarm_id=\"419610401001\",key=\"dc_v\"} 0", false},
        {"q318b_alarm_active{" + kDev + ",alarm_id=\"419415001\",key=\"PowerOff\"} 0", true},
        {"q318b_link_up{" + kDev + "} 1", true},
        {"q318b_rounds_completed_total{" + kDev + "} 4", true},
        {"q318b_frames_total{" + kDev + ",outcome=\"good\"} 12", true},
        {"q318b_frames_total{" + kDev + ",outcome=\"timeout\"} 2", true},
        {"q318b_frames_total{" + kDev + ",outcome=\"other\"} 0", true},
        {"q318b_last_round_age_seconds{" + kDev + "} 2.500", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Count(page, c.line), c.present ? 1u : 0u) << c.line << "\n" << page;
    for (const char* bad : {"nan", "NaN", "inf", "-0.1 ", " -0.1\n", "e-19", "e-20"})
        EXPECT_EQ(page.find(bad), std::string::npos) << bad << "\n" << page;
}

TEST(MetricsText, ChannelsStopAtCountAndCapacity) {
    struct Case {
        const char* what;
        uint8_t ac_inputs, modules, batteries;
        size_t want_inputs, want_modules, want_batteries;
    };
    const Case cases[] = {
        {"within capacity", 1, 3, 1, 1, 3, 1},
        {"none", 0, 0, 0, 0, 0, 0},
        {"past capacity", 200, 255, 99, 2, 40, 2},
    };
    for (const auto& c : cases) {
        q318b_419_Data_t r = Blank();
        r.ac.channel_count = c.ac_inputs;
        for (auto& ch : r.ac.channel) ch.f = 50;
        r.rc.channel_count = c.modules;
        for (auto& m : r.rc.channel) m.i = 1;
        r.dc1.m_count = c.batteries;
        const std::string page = Page({Device(r)});
        EXPECT_EQ(Count(page, "q318b_ac_frequency_hertz{"), c.want_inputs) << c.what;
        EXPECT_EQ(Count(page, "q318b_ac_voltage_volts{"), 3 * c.want_inputs) << c.what;
        EXPECT_EQ(Count(page, "q318b_module_current_amperes{"), c.want_modules) << c.what;
        EXPECT_EQ(Count(page, "q318b_module_state{"), 3 * c.want_modules) << c.what;
        EXPECT_EQ(Count(page, "q318b_dc_battery_current_amperes{"), c.want_batteries) << c.what;
    }
}

TEST(MetricsText, DeviceWithoutRecordShowsOnlyItsLink) {
    DeviceState d;
    d.data_id = 7;
    d.name = "ctl";
    const std::string page = Page({d});
    EXPECT_EQ(Count(page, "q318b_link_up{" + kDev + "} 0"), 1u) << page;
    EXPECT_EQ(Count(page, "q318b_rounds_completed_total{" + kDev + "} 0"), 1u) << page;
    EXPECT_EQ(Count(page, "q318b_frames_total{"), 8u) << page;
    for (const char* absent : {"q318b_last_round_age_seconds", "q318b_dc_", "q318b_ac_",
                               "q318b_rectifier", "q318b_module"})
        EXPECT_EQ(page.find(absent), std::string::npos) << absent << "\n" << page;
}

TEST(MetricsText, LabelValuesEscaped) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"a\nb", "a\\nb"},
        {"\xE4\xB8\xAD", "\xE4\xB8\xAD"},                          // valid UTF-8 kept
        {"x\xFFy", "x\xEF\xBF\xBDy"},                              // stray byte
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xE4\xB8", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut off
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeLabelValue(c.in), c.out) << c.in;

    q318b_419_Data_t r = Blank();
    const std::string page = Page({Device(r, "room \"2\"\\east\n")});
    EXPECT_EQ(Count(page, "q318b_link_up{data_id=\"7\",name=\"room \\\"2\\\"\\\\east\\n\"} 1"), 1u)
        << page;
}

TEST(MetricsText, OneFamilyBlockPerMetricAcrossDevices) {
    q318b_419_Data_t r = Blank();
    r.rc.v = 53.5f;
    DeviceState a = Device(r, "a"), b = Device(r, "b");
    b.data_id = 8;
    const std::string page = Page({a, b});
    std::set<std::string> typed;
    std::string current;
    for (const auto& l : Lines(page)) {
        if (l.rfind("# TYPE ", 0) == 0) {
            std::istringstream in(l.substr(7));
            std::string name, type;
            in >> name >> type;
            EXPECT_TRUE(typed.insert(name).second) << "family twice: " << name;
            const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
            EXPECT_EQ(type == "counter", total) << name;
            current = name;
        } else if (l.rfind("#", 0) != 0) {
            EXPECT_EQ(l.rfind(current + "{", 0), 0u) << "sample outside its family: " << l;
        }
    }
    EXPECT_EQ(Count(page, "q318b_rectifier_output_voltage_volts{"), 2u) << page;
}

}  // namespace
