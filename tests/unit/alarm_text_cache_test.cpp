// A device keeps the alarm identifiers and texts of its mappings from round
// to round. Whatever the rounds before were, a round must hand the host
// exactly what a device seeing that record first would: the check runs
// records whose counts grow, shrink and grow again and whose values move
// (to -0, NaN and back) through one device, and compares every round with
// a fresh device's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "alarm_test_support.h"
#include "tests/support/device_harness.h"

namespace {

struct Step {
    const char* what;
    int ac_inputs;
    int modules;
    uint64_t dc_groups;
    int fuses;
    float volts;      // every AC phase
    float freq;       // both inputs
    float dc_volts;   // both groups
    uint8_t pattern;  // varies the alarm bytes, states and faults
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();

const Step kSteps[] = {
    {"full site", 2, 40, 2, 10, 230.5f, 50.0f, 53.5f, 0},
    {"same record again", 2, 40, 2, 10, 230.5f, 50.0f, 53.5f, 0},
    {"fewer of everything", 1, 3, 1, 4, 231.25f, 49.5f, 48.0f, 1},
    {"values at minus zero", 1, 3, 1, 4, -0.0f, -0.0f, -0.0f, 2},
    {"values at zero", 1, 3, 1, 4, 0.0f, 0.0f, 0.0f, 2},
    {"values not a number", 2, 5, 2, 2, kNaN, kNaN, kNaN, 3},
    {"back to the full site", 2, 40, 2, 10, 230.5f, 50.0f, 53.5f, 4},
    {"no modules, no fuses", 2, 0, 2, 0, 120.0f, 60.0f, 40.0f, 5},
    {"more again", 2, 12, 2, 10, 230.5f, 50.0f, 53.5f, 6},
};

void Fill(q318b_419& d, const Step& s) {
    d.has_ac = s.ac_inputs > 0;
    d.has_dc = s.dc_groups > 0;
    d.dc_number_ = s.dc_groups;
    d.ac_line = 0;
    d.data_ = q318b_419_Data_t{};
    auto& ac = d.data_.ac;
    ac.channel_count = static_cast<uint8_t>(s.ac_inputs);
    for (int k = 0; k < 2; ++k) {
        auto& ch = ac.channel[k];
        ch.a = s.volts;
        ch.b = s.volts + static_cast<float>(k);
        ch.c = s.volts;
        ch.f = s.freq;
        for (int b = 0; b < 8; ++b)
            ch.p40_44[b] = (b + k + s.pattern) % 3 == 0 ? 0x05
                           : (b + s.pattern) % 4 == 0   ? 0xE1
                                                        : 0;
    }
    auto& rc = d.data_.rc;
    rc.channel_count = static_cast<uint8_t>(s.modules);
    for (int j = 0; j < q318b_rc_t::kChannels; ++j) {
        auto& m = rc.channel[j];
        m.state[0] = static_cast<uint8_t>((j + s.pattern) % 2);
        m.fault = static_cast<uint8_t>((j + s.pattern) % 5 == 0);
        for (int b = 0; b < 8; ++b)
            m.p41_44[b] = static_cast<uint8_t>((j + b + s.pattern) % 3 == 0);
    }
    for (auto* dc : {&d.data_.dc1, &d.data_.dc2}) {
        dc->v = s.dc_volts;
        dc->alert_m_count = static_cast<uint8_t>(s.fuses);
        for (int f = 0; f < q318b_dc_t::ALERT_M_SIZE(); ++f)
            dc->alert_m[f] = static_cast<uint8_t>((f + s.pattern) % 2);
    }
}

// Levels for every telecom alarm, so that each one reaches the host.
void TelecomLevels(q318b_419& d) {
    for (const char* id : {"220600120010", "220600130010", "220600140010", "220600160010",
                           "220600170010", "210600320010", "210600330010", "210600340010",
                           "210600320020", "210600330020", "210600340020"})
        d.alarm_level_[id] = 2;
    d.alarm_threshold_["220600160010"] = 52.0f;
    d.alarm_threshold_["220600170010"] = 48.0f;
    d.alarm_threshold_["210600320010"] = 47.0f;
    char id[16];
    for (int n = 1; n <= 40; ++n) {
        std::snprintf(id, sizeof id, "12060069%03d0", n);
        d.alarm_level_[id] = 1;
        std::snprintf(id, sizeof id, "12060002%03d0", n);
        d.alarm_level_[id] = 3;
    }
    for (int n = 1; n <= 40; ++n) {
        std::snprintf(id, sizeof id, "12060047%03d0", n);
        d.alarm_level_[id] = 2;
    }
}

std::vector<std::string> Round(DeviceHarness& h, int mode, const Step& s) {
    h.dev->b_mode_ = mode;
    Fill(*h.dev, s);
    h.host->Clear();
    h.dev->alarm_seq_ = 1;
    h.dev->RunCheckThreshold();
    return CallLines(*h.host);
}

TEST(AlarmTextCache, EveryRoundAsAFreshDeviceWouldReportIt) {
    struct Mode {
        const char* name;
        int b_mode;
    };
    const Mode modes[] = {{"unicom", 1}, {"telecom", 2}, {"model alarms only", 3}};
    for (const Mode& m : modes) {
        DeviceHarness kept;
        TelecomLevels(*kept.dev);
        for (const Step& s : kSteps) {
            DeviceHarness fresh;
            TelecomLevels(*fresh.dev);
            const auto want = Round(fresh, m.b_mode, s);
            const auto got = Round(kept, m.b_mode, s);
            ASSERT_FALSE(want.empty()) << m.name << ", " << s.what;
            EXPECT_EQ(got, want) << m.name << ", " << s.what;
        }
    }
}

// The level rules keep their last texts too: each round must match what
// the same rules (same raised states) give when nothing was kept.
class PassDevice : public q318b_419 {
  public:
    using UniDataDevice<q318b_419_Data_t, PMBusProtocol, kQ318bDataType>::RunThresholdPass;
};

TEST(AlarmTextCache, LevelRulesAsIfNothingWereKept) {
    const double values[] = {50, 56, 56, 57.25, 55.5, 55, -0.0, 0.0, 70, 70, 49, 56};
    auto host = std::make_shared<RecordingController>();
    PassDevice kept;
    PassDevice forgetting;
    for (PassDevice* d : {&kept, &forgetting}) {
        d->Init(host, 7, Json::Value());
        d->b_mode_ = 5;
        ThresholdRule up;
        up.alarm_id = "U1";
        up.value = 56.0f;
        up.recover_value = 55.0f;
        up.level = 1;
        ThresholdRule low = up;
        low.alarm_id = "L1";
        low.value = 50.0f;
        low.recover_value = 51.0f;
        d->up_rules_["p1"] = up;
        d->low_rules_["p1"] = low;
    }
    for (double v : values) {
        std::vector<std::string> lines[2];
        int k = 0;
        for (PassDevice* d : {&kept, &forgetting}) {
            if (d == &forgetting)
                for (auto* rules : {&d->up_rules_, &d->low_rules_})
                    for (auto& [key, rule] : *rules) rule.shown = ThresholdRule::Shown();
            d->json_data_["p1"] = v;
            host->Clear();
            d->RunThresholdPass();
            lines[k++] = CallLines(*host);
        }
        ASSERT_EQ(lines[1].size(), 2u) << v;
        EXPECT_EQ(lines[0], lines[1]) << "value " << v;
    }
}

}  // namespace
