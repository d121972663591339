// The record of a large site as the device publishes it: two AC inputs,
// 40 rectifier modules with seven user values each, two DC groups with two
// batteries, 27 user values and 10 fuses, the values examples/scenarios/
// large_site.json sends (a user value the controller marks missing is
// NaN). For the tests and benchmarks of what is done with a record.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "protocol/record.h"
#include "runtime/site/site_services.h"

namespace test_records {

inline void PutFloat(void* base, size_t offset, float v) {
    std::memcpy(static_cast<char*>(base) + offset, &v, sizeof v);
}

inline void FillGroup(q318b_dc_t& d, float v, float i) {
    d.v = v;
    d.i = i;
    d.m_count = 2;
    PutFloat(&d, offsetof(q318b_dc_t, m), -3.25f);
    PutFloat(&d, offsetof(q318b_dc_t, m) + 4, 4.5f);
    d.n_count = 0;
    d.p_count = 27;
    for (int k = 0; k < 27; ++k) PutFloat(&d, offsetof(q318b_dc_t, p) + 4 * k, 20.0f + 0.5f * k);
    d.v_alarm = 0;
    d.alert_m_count = 10;
    for (int k = 0; k < 10; ++k) d.alert_m[k] = k == 3 ? 3 : 0;
    d.alert_p_count = 4;
    for (int k = 0; k < 4; ++k) d.alert_p[k] = static_cast<uint8_t>(k);
}

inline q318b_419_Data_t LargeSiteRecord() {
    q318b_419_Data_t r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.data_id = 1001;
    r.ac.channel_count = 2;
    const float phases[2][4] = {{228.0f, 229.0f, 230.0f, 49.95f},
                                {221.5f, std::numeric_limits<float>::quiet_NaN(), 223.5f, 50.05f}};
    for (int k = 0; k < 2; ++k) {
        auto& c = r.ac.channel[k];
        c.a = phases[k][0];
        c.b = phases[k][1];
        c.c = phases[k][2];
        c.f = phases[k][3];
        c.c_alarm = k == 1 ? 2 : 0;
        c.p40_44_count = k == 0 ? 8 : 3;
        c.p40_44[1] = 1;
    }
    r.ac.ia = 41.5f;
    r.ac.ib = 40.25f;
    r.ac.ic = 39.0f;
    r.ac.p40_43_count = 3;
    for (int k = 0; k < 3; ++k) r.ac.p40_43[k] = static_cast<uint8_t>(k + 1);
    r.rc.v = 53.75f;
    r.rc.channel_count = 40;
    for (int j = 0; j < 40; ++j) {
        auto& m = r.rc.channel[j];
        m.i = 8.0f + 0.25f * j;
        m.p41_41_count = 7;
        const float user[7] = {
            30.0f + j, 1.0f + 0.125f * j, std::numeric_limits<float>::quiet_NaN(), 4.5f, 5.5f, 6.5f,
            7.5f};
        for (int k = 0; k < 7; ++k)
            PutFloat(&m, offsetof(q318b_rc_channel_t, p41_41) + 4 * k, user[k]);
        m.state[1] = static_cast<uint8_t>(j % 2);
        m.state[2] = 1;
        m.p41_43_count = 6;
        for (int k = 0; k < 6; ++k) m.p41_43[k] = static_cast<uint8_t>(k == 0 ? j % 3 : k);
        m.fault = j == 17 ? 3 : 0;
        m.p41_44_count = 8;
        m.p41_44[1] = static_cast<uint8_t>(j % 2);
        m.p41_44[7] = 2;
    }
    FillGroup(r.dc1, 53.5f, 250.25f);
    FillGroup(r.dc2, 53.25f, 120.125f);
    const uint8_t ttime[7] = {0xEA, 0x07, 12, 10, 3, 15, 42};  // 2026-12-10 03:15:42
    std::memcpy(r.ttime, ttime, sizeof ttime);
    return r;
}

// The published-record event the runner prints for `r`, at a fixed time.
inline HostEvent RecordEvent(const q318b_419_Data_t& r) {
    HostEvent e;
    e.kind = HostEvent::Kind::kRecordPublished;
    e.data_id = r.data_id;
    e.unix_time = 1765336542;
    e.time = "2026-12-10 03:15:42";
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    e.record.assign(bytes, bytes + sizeof r);
    return e;
}

}  // namespace test_records
