#include "alarms/value_snapshot.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>

namespace {

constexpr float kAbsentSubstitute = -0.1f;

void Put(Json::Value& out, const std::string& name, float v, bool has_substitute = false) {
    if (SnapshotReading(v, has_substitute)) out[name] = static_cast<double>(v);
}

// The battery currents sit unaligned in the packed record.
float Battery(const q318b_dc_t& d, int k) {
    float v;
    std::memcpy(&v, reinterpret_cast<const char*>(&d) + offsetof(q318b_dc_t, m) + k * sizeof v,
                sizeof v);
    return v;
}

void DcGroup(Json::Value& out, const q318b_dc_t& d, const std::string& group) {
    Put(out, group + "v", d.v);
    Put(out, group + "i", d.i);
    const int batteries = std::min<int>(d.m_count, q318b_dc_t::M_SIZE());
    for (int k = 0; k < batteries; ++k)
        Put(out, group + "b" + std::to_string(k + 1) + "i", Battery(d, k));
}

}  // namespace

bool SnapshotReading(float v, bool has_substitute) {
    if (!std::isfinite(v)) return false;
    if (has_substitute && v == kAbsentSubstitute) return false;
    unsigned char b[4];
    std::memcpy(b, &v, sizeof b);
    return !(b[0] != 0 && b[0] == b[1] && b[1] == b[2] && b[2] == b[3]);
}

Json::Value ValueSnapshot(const q318b_419_Data_t& r, const AlarmSiteOptions& opt) {
    Json::Value out(Json::objectValue);

    if (opt.has_ac) {
        const int inputs = std::min<int>(r.ac.channel_count, q318b_ac_t::kChannels);
        for (int k = 0; k < inputs; ++k) {
            const q318b_ac_channel_t& c = r.ac.channel[k];
            const std::string input = "ac" + std::to_string(k + 1);
            Put(out, input + "ua", c.a);
            Put(out, input + "ub", c.b);
            Put(out, input + "uc", c.c);
            Put(out, input + "f", c.f);
        }
        Put(out, "ia", r.ac.ia, true);
        Put(out, "ib", r.ac.ib, true);
        Put(out, "ic", r.ac.ic, true);
    }

    Put(out, "rcv", r.rc.v);
    out["rcn"] = Json::UInt(r.rc.channel_count);
    const int modules = std::min<int>(r.rc.channel_count, q318b_rc_t::kChannels);
    // The total is only a reading when every module's current is one and
    // the record holds every module.
    bool total_known = r.rc.channel_count <= q318b_rc_t::kChannels;
    float total = 0.0f;
    for (int j = 0; j < modules; ++j) {
        const float i = r.rc.channel[j].i;
        Put(out, "rc" + std::to_string(j + 1) + "i", i);
        if (SnapshotReading(i, false))
            total += i;
        else
            total_known = false;
    }
    if (total_known) Put(out, "rci", total);

    if (opt.has_dc) {
        DcGroup(out, r.dc1, "dc1");
        if (opt.dc_number > 1) DcGroup(out, r.dc2, "dc2");
    }
    return out;
}
