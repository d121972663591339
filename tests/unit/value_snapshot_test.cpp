// The value snapshot of the threshold pass: which record values appear
// under which names, and what is left out (values the controller did not
// have, modules and groups the record does not hold or the site lacks).
#include "alarms/value_snapshot.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string>

namespace {

float Marker() {
    const unsigned char spaces[4] = {0x20, 0x20, 0x20, 0x20};
    float v;
    std::memcpy(&v, spaces, sizeof v);
    return v;
}

void SetBattery(q318b_dc_t& d, int k, float v) {
    std::memcpy(reinterpret_cast<char*>(&d) + offsetof(q318b_dc_t, m) + k * sizeof v, &v, sizeof v);
}

// One AC input, three modules, two DC groups with two batteries each;
// every value distinct.
q318b_419_Data_t Site() {
    q318b_419_Data_t r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.ac.channel_count = 1;
    r.ac.channel[0].a = 229.5f;
    r.ac.channel[0].b = 231.25f;
    r.ac.channel[0].c = 230.75f;
    r.ac.channel[0].f = 50.0f;
    r.ac.channel[1].a = 111.0f;  // beyond the reported count
    r.ac.ia = 12.5f;
    r.ac.ib = 11.75f;
    r.ac.ic = 12.0f;
    r.rc.v = 53.5f;
    r.rc.channel_count = 3;
    r.rc.channel[0].i = 10.5f;
    r.rc.channel[1].i = 11.0f;
    r.rc.channel[2].i = 0.25f;
    r.rc.channel[3].i = 99.0f;  // beyond the reported count
    r.dc1.v = 53.25f;
    r.dc1.i = 21.5f;
    r.dc1.m_count = 2;
    SetBattery(r.dc1, 0, 2.5f);
    SetBattery(r.dc1, 1, -1.25f);
    r.dc2.v = 52.75f;
    r.dc2.i = 7.5f;
    r.dc2.m_count = 1;
    SetBattery(r.dc2, 0, 0.5f);
    SetBattery(r.dc2, 1, 33.0f);  // beyond the reported count
    return r;
}

AlarmSiteOptions Options(bool has_ac, bool has_dc, uint64_t dc_number) {
    AlarmSiteOptions o;
    o.has_ac = has_ac;
    o.has_dc = has_dc;
    o.dc_number = dc_number;
    return o;
}

std::map<std::string, double> Members(const Json::Value& v) {
    std::map<std::string, double> out;
    for (const auto& name : v.getMemberNames()) {
        EXPECT_TRUE(v[name].isNumeric()) << name;
        out[name] = v[name].asDouble();
    }
    return out;
}

TEST(ValueSnapshot, NamesAndValuesByUnitsPresent) {
    const std::map<std::string, double> ac = {
        {"ac1ua", 229.5}, {"ac1ub", 231.25}, {"ac1uc", 230.75}, {"ac1f", 50.0},
        {"ia", 12.5},     {"ib", 11.75},     {"ic", 12.0}};
    const std::map<std::string, double> rc = {{"rcv", 53.5}, {"rcn", 3},     {"rc1i", 10.5},
                                              {"rc2i", 11},  {"rc3i", 0.25}, {"rci", 21.75}};
    const std::map<std::string, double> dc1 = {
        {"dc1v", 53.25}, {"dc1i", 21.5}, {"dc1b1i", 2.5}, {"dc1b2i", -1.25}};
    const std::map<std::string, double> dc2 = {{"dc2v", 52.75}, {"dc2i", 7.5}, {"dc2b1i", 0.5}};
    auto join = [](std::initializer_list<const std::map<std::string, double>*> parts) {
        std::map<std::string, double> out;
        for (const auto* p : parts) out.insert(p->begin(), p->end());
        return out;
    };
    const struct {
        const char* name;
        AlarmSiteOptions opt;
        std::map<std::string, double> want;
    } rows[] = {
        {"AC and DC, one group", Options(true, true, 1), join({&ac, &rc, &dc1})},
        {"no group count yet", Options(true, true, 0), join({&ac, &rc, &dc1})},
        {"two groups", Options(true, true, 2), join({&ac, &rc, &dc1, &dc2})},
        {"no DC unit", Options(true, false, 2), join({&ac, &rc})},
        {"no AC unit", Options(false, true, 1), join({&rc, &dc1})},
    };
    const q318b_419_Data_t r = Site();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Json::Value snap = ValueSnapshot(r, row.opt);
        ASSERT_TRUE(snap.isObject());
        EXPECT_EQ(Members(snap), row.want);
        EXPECT_TRUE(snap["rcn"].isIntegral());
    }
}

TEST(ValueSnapshot, CountsStopAtTheRecordsCapacity) {
    q318b_419_Data_t r = Site();
    r.ac.channel_count = 3;  // the record holds two inputs
    r.ac.channel[1] = r.ac.channel[0];
    r.rc.channel_count = 45;  // and 40 modules
    for (int j = 0; j < q318b_rc_t::kChannels; ++j) r.rc.channel[j].i = 1.0f + j;
    r.dc1.m_count = 5;  // and two batteries per group
    const Json::Value snap = ValueSnapshot(r, Options(true, true, 1));
    EXPECT_TRUE(snap.isMember("ac2ua"));
    EXPECT_FALSE(snap.isMember("ac3ua"));
    EXPECT_EQ(snap["rcn"].asInt(), 45);
    EXPECT_DOUBLE_EQ(snap["rc40i"].asDouble(), 40.0);
    EXPECT_FALSE(snap.isMember("rc41i"));
    // The record does not hold every module, so their sum is no total.
    EXPECT_FALSE(snap.isMember("rci"));
    EXPECT_TRUE(snap.isMember("dc1b2i"));
    EXPECT_FALSE(snap.isMember("dc1b3i"));

    r.rc.channel_count = 40;
    const Json::Value full = ValueSnapshot(r, Options(true, true, 1));
    EXPECT_DOUBLE_EQ(full["rci"].asDouble(), 820.0);  // 1 + 2 + ... + 40
    EXPECT_FALSE(full.isMember("rc41i"));

    r.rc.channel_count = 0;
    const Json::Value none = ValueSnapshot(r, Options(true, true, 1));
    EXPECT_EQ(none["rcn"].asInt(), 0);
    EXPECT_DOUBLE_EQ(none["rci"].asDouble(), 0.0);
    EXPECT_FALSE(none.isMember("rc1i"));
}

TEST(ValueSnapshot, ValuesNotAvailableAreLeftOut) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* name;
        void (*spoil)(q318b_419_Data_t&, float);
        float value;
        std::set<std::string> gone;
    } rows[] = {
        {"AC current substitute", [](q318b_419_Data_t& r, float v) { r.ac.ia = v; }, -0.1f, {"ia"}},
        {"AC current NaN", [](q318b_419_Data_t& r, float v) { r.ac.ic = v; }, nan, {"ic"}},
        {"frequency NaN",
         [](q318b_419_Data_t& r, float v) { r.ac.channel[0].f = v; },
         nan,
         {"ac1f"}},
        {"rectifier voltage marker",
         [](q318b_419_Data_t& r, float v) { r.rc.v = v; },
         Marker(),
         {"rcv"}},
        // A module without a current also leaves the total unknown.
        {"module current NaN",
         [](q318b_419_Data_t& r, float v) { r.rc.channel[1].i = v; },
         nan,
         {"rc2i", "rci"}},
        {"module current marker",
         [](q318b_419_Data_t& r, float v) { r.rc.channel[0].i = v; },
         Marker(),
         {"rc1i", "rci"}},
        {"DC voltage infinite", [](q318b_419_Data_t& r, float v) { r.dc1.v = v; }, inf, {"dc1v"}},
        {"battery current marker",
         [](q318b_419_Data_t& r, float v) { SetBattery(r.dc1, 1, v); },
         Marker(),
         {"dc1b2i"}},
        // -0.1 is the decoders' stand-in for AC currents only; elsewhere it
        // is a reading.
        {"battery current of -0.1",
         [](q318b_419_Data_t& r, float v) { SetBattery(r.dc1, 0, v); },
         -0.1f,
         {}},
    };
    const Json::Value whole = ValueSnapshot(Site(), Options(true, true, 1));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        q318b_419_Data_t r = Site();
        row.spoil(r, row.value);
        const Json::Value snap = ValueSnapshot(r, Options(true, true, 1));
        std::set<std::string> gone;
        for (const auto& name : whole.getMemberNames())
            if (!snap.isMember(name)) gone.insert(name);
        EXPECT_EQ(gone, row.gone);
        EXPECT_EQ(snap.size() + gone.size(), whole.size());
    }
}

TEST(ValueSnapshot, NamesAreLowerCaseWithoutUnderscores) {
    q318b_419_Data_t r = Site();
    r.ac.channel_count = 2;
    r.rc.channel_count = 40;
    for (const auto& name : ValueSnapshot(r, Options(true, true, 2)).getMemberNames()) {
        EXPECT_EQ(name.find('_'), std::string::npos) << name;
        for (char c : name) EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) << name;
    }
}

}  // namespace
