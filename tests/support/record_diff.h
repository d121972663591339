// What the driver must have made of a scenario's replies, field by field:
// the differences between a record and the scenario it was polled from,
// one line each, so that tests can assert none and soak runs can count
// damaged records.
#pragma once

#include <cmath>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/record.h"
#include "sim/scenario.h"

namespace record_diff {

// By value: the record's fields are packed and cannot be bound to references.
template <typename A, typename B>
bool Same(A a, B b) {
    if constexpr (std::is_floating_point_v<A> || std::is_floating_point_v<B>) {
        const double x = static_cast<double>(a), y = static_cast<double>(b);
        return x == y || (std::isnan(x) && std::isnan(y));
    } else {
        return static_cast<long long>(a) == static_cast<long long>(b);
    }
}

template <typename A>
std::string Text(A a) {
    std::ostringstream o;
    if constexpr (std::is_floating_point_v<A>)
        o << static_cast<double>(a);
    else
        o << static_cast<long long>(a);
    return o.str();
}

}  // namespace record_diff

#define Q318B_DIFF_EQ(a, b)                                                               \
    do {                                                                                  \
        if (!record_diff::Same((a), (b)))                                                 \
            diffs.push_back(where + (where.empty() ? "" : ": ") + #a " is " +             \
                            record_diff::Text(a) + ", expected " + record_diff::Text(b)); \
    } while (0)
#define Q318B_DIFF_FLOAT(a, b) Q318B_DIFF_EQ(a, b)

inline float Or(const sim::Value& v, float na) {
    return v ? *v : na;
}

// The record the driver must have made of the scenario's replies.
inline std::vector<std::string> RecordDiffs(const q318b_419_Data_t& d, const sim::Scenario& s) {
    std::vector<std::string> diffs;
    std::string where;
    const bool tower = s.layout.tower;
    if (s.ac) {
        const auto& ac = *s.ac;
        const auto& r = d.ac;
        Q318B_DIFF_EQ(r.channel_count, ac.inputs.size());
        for (size_t i = 0; i < ac.inputs.size() && i < 2; ++i) {
            where = "AC input " + std::to_string(i);
            const auto& in = ac.inputs[i];
            const auto& ch = r.channel[i];
            Q318B_DIFF_FLOAT(float(ch.a), Or(in.a, 0));
            Q318B_DIFF_FLOAT(float(ch.b), Or(in.b, 0));
            Q318B_DIFF_FLOAT(float(ch.c), Or(in.c, 0));
            Q318B_DIFF_FLOAT(float(ch.f), Or(in.f, 0));
            Q318B_DIFF_EQ(ch.p40_41_count, in.user.size());
            Q318B_DIFF_EQ(ch.a_alarm, in.alarms[0]);
            Q318B_DIFF_EQ(ch.b_alarm, in.alarms[1]);
            Q318B_DIFF_EQ(ch.c_alarm, in.alarms[2]);
            Q318B_DIFF_EQ(ch.f_alarm, in.alarms[3]);
            Q318B_DIFF_EQ(ch.p40_44_count, in.user_alarms.size());
            std::vector<uint8_t> stored;
            if (tower) stored = in.tower_alarms;
            if (in.user_alarms.size() <= 8)
                stored.insert(stored.end(), in.user_alarms.begin(), in.user_alarms.end());
            for (size_t k = 0; k < stored.size() && k < 8; ++k)
                Q318B_DIFF_EQ(ch.p40_44[k], stored[k]);
        }
        Q318B_DIFF_FLOAT(float(r.ia), Or(ac.currents[0], -0.1f));
        Q318B_DIFF_FLOAT(float(r.ib), Or(ac.currents[1], -0.1f));
        Q318B_DIFF_FLOAT(float(r.ic), Or(ac.currents[2], -0.1f));
        Q318B_DIFF_EQ(r.ia_alarm, ac.current_alarms[0]);
        Q318B_DIFF_EQ(r.ib_alarm, ac.current_alarms[1]);
        Q318B_DIFF_EQ(r.ic_alarm, ac.current_alarms[2]);
        Q318B_DIFF_EQ(r.airlock_count, ac.switches.size());
        Q318B_DIFF_EQ(r.p40_43_count, ac.user_status.size());
        for (size_t k = 0; k < ac.user_status.size() && ac.user_status.size() <= 3; ++k)
            Q318B_DIFF_EQ(r.p40_43[k], ac.user_status[k]);
    }
    if (s.rectifiers) {
        const auto& rc = *s.rectifiers;
        Q318B_DIFF_FLOAT(float(d.rc.v), Or(rc.voltage, 0));
        Q318B_DIFF_EQ(d.rc.channel_count, rc.modules.size());
        for (size_t j = 0; j < rc.modules.size() && j < 40; ++j) {
            where = "module " + std::to_string(j);
            const auto& m = rc.modules[j];
            const auto& ch = d.rc.channel[j];
            Q318B_DIFF_FLOAT(float(ch.i), *m.current);
            Q318B_DIFF_EQ(ch.p41_41_count, m.user.size());
            const size_t t = tower ? m.tower.size() : 0;
            if (t >= 1) {
                Q318B_DIFF_FLOAT(float(ch.p41_41[0]), Or(m.tower[0], 0));
            }
            for (size_t k = 0; m.user.size() <= 7 && k < m.user.size() && t + k < 7; ++k)
                Q318B_DIFF_FLOAT(float(ch.p41_41[t + k]), Or(m.user[k], 0));
            for (int k = 0; k < 3; ++k) Q318B_DIFF_EQ(ch.state[k], m.state[k]);
            Q318B_DIFF_EQ(ch.p41_43_count, m.user_status.size());
            for (size_t k = 0; m.user_status.size() <= 6 && k < m.user_status.size(); ++k)
                Q318B_DIFF_EQ(ch.p41_43[k], m.user_status[k]);
            Q318B_DIFF_EQ(ch.fault, m.fault);
            Q318B_DIFF_EQ(ch.p41_44_count, m.user_alarms.size());
            std::vector<uint8_t> stored;
            if (tower) stored = m.tower_alarms;
            if (m.user_alarms.size() <= 8)
                stored.insert(stored.end(), m.user_alarms.begin(), m.user_alarms.end());
            for (size_t k = 0; k < stored.size() && k < 8; ++k)
                Q318B_DIFF_EQ(ch.p41_44[k], stored[k]);
        }
    }
    const size_t groups = s.layout.dc_number ? s.dc.size() : std::min<size_t>(s.dc.size(), 1);
    for (size_t g = 0; g < groups && g < 2; ++g) {
        where = "DC group " + std::to_string(g);
        const auto& in = s.dc[g];
        const auto& r = g == 0 ? d.dc1 : d.dc2;
        Q318B_DIFF_FLOAT(float(r.v), Or(in.voltage, 0));
        Q318B_DIFF_FLOAT(float(r.i), Or(in.current, 0));
        Q318B_DIFF_EQ(r.m_count, in.batteries.size());
        for (size_t k = 0; in.batteries.size() <= 2 && k < in.batteries.size(); ++k)
            Q318B_DIFF_FLOAT(float(r.m[k]), Or(in.batteries[k], 0));
        Q318B_DIFF_EQ(r.n_count, in.branches.size());
        Q318B_DIFF_EQ(r.p_count, in.user.size());
        for (size_t k = 0; in.user.size() <= 27 && k < in.user.size(); ++k)
            Q318B_DIFF_FLOAT(float(r.p[k]), Or(in.user[k], -0.1f));
        Q318B_DIFF_EQ(r.v_alarm, in.voltage_alarm);
        Q318B_DIFF_EQ(r.alert_m_count, in.fuses.size());
        for (size_t k = 0; k < in.fuses.size() && k < 10; ++k)
            Q318B_DIFF_EQ(r.alert_m[k], in.fuses[k]);
        Q318B_DIFF_EQ(r.alert_p_count, in.user_alarms.size());
        for (size_t k = 0; k < in.user_alarms.size() && k < 87; ++k)
            Q318B_DIFF_EQ(r.alert_p[k], in.user_alarms[k]);
        // More user values than the group holds: the decoder takes the
        // rest of the reply as consumed, so no second group follows.
        if (in.user.size() > 27) break;
    }
    return diffs;
}

#undef Q318B_DIFF_FLOAT
#undef Q318B_DIFF_EQ
