#include "runtime/site/record_json.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

// Fields are read by value: a reference into the packed record could be
// misaligned.
Json::Value Num(float v) {
    // JSON has no NaN or infinity; a controller can still send them.
    if (!std::isfinite(v)) return Json::Value(Json::nullValue);
    return Json::Value(static_cast<double>(v));
}

template <size_t N>
Json::Value Bytes(const uint8_t (&a)[N], size_t n = N) {
    Json::Value out(Json::arrayValue);
    for (size_t i = 0; i < n; ++i) out.append(Json::Value(static_cast<unsigned>(a[i])));
    return out;
}

// Float arrays of the packed record are copied out byte-wise from the
// struct's start plus the field's offset: no float pointer into it is formed.
template <typename S>
Json::Value Floats(const S& s, size_t offset, size_t n) {
    Json::Value out(Json::arrayValue);
    const char* base = reinterpret_cast<const char*>(&s) + offset;
    for (size_t i = 0; i < n; ++i) {
        float v;
        std::memcpy(&v, base + i * sizeof v, sizeof v);
        out.append(Num(v));
    }
    return out;
}

Json::Value AcChannel(const q318b_ac_channel_t& c) {
    Json::Value j(Json::objectValue);
    j["a"] = Num(c.a);
    j["b"] = Num(c.b);
    j["c"] = Num(c.c);
    j["f"] = Num(c.f);
    j["p40_41_count"] = static_cast<unsigned>(c.p40_41_count);
    j["a_alarm"] = static_cast<unsigned>(c.a_alarm);
    j["b_alarm"] = static_cast<unsigned>(c.b_alarm);
    j["c_alarm"] = static_cast<unsigned>(c.c_alarm);
    j["f_alarm"] = static_cast<unsigned>(c.f_alarm);
    j["p40_44_count"] = static_cast<unsigned>(c.p40_44_count);
    j["p40_44"] = Bytes(c.p40_44);
    return j;
}

Json::Value RcChannel(const q318b_rc_channel_t& c) {
    Json::Value j(Json::objectValue);
    j["i"] = Num(c.i);
    j["p41_41_count"] = static_cast<unsigned>(c.p41_41_count);
    j["p41_41"] = Floats(c, offsetof(q318b_rc_channel_t, p41_41), c.P41_41_SIZE());
    j["state"] = Bytes(c.state);
    j["p41_43_count"] = static_cast<unsigned>(c.p41_43_count);
    j["p41_43"] = Bytes(c.p41_43);
    j["fault"] = static_cast<unsigned>(c.fault);
    j["p41_44_count"] = static_cast<unsigned>(c.p41_44_count);
    j["p41_44"] = Bytes(c.p41_44);
    return j;
}

Json::Value DcGroup(const q318b_dc_t& d) {
    Json::Value j(Json::objectValue);
    j["v"] = Num(d.v);
    j["i"] = Num(d.i);
    j["m_count"] = static_cast<unsigned>(d.m_count);
    j["m"] = Floats(d, offsetof(q318b_dc_t, m), d.M_SIZE());
    j["n_count"] = static_cast<unsigned>(d.n_count);
    j["p_count"] = static_cast<unsigned>(d.p_count);
    j["p"] = Floats(d, offsetof(q318b_dc_t, p), d.P_SIZE());
    j["v_alarm"] = static_cast<unsigned>(d.v_alarm);
    j["alert_m_count"] = static_cast<unsigned>(d.alert_m_count);
    j["alert_m"] = Bytes(d.alert_m);
    j["alert_p_count"] = static_cast<unsigned>(d.alert_p_count);
    j["alert_p"] = Bytes(d.alert_p);
    return j;
}

}  // namespace

Json::Value RecordToJson(const q318b_419_Data_t& r) {
    Json::Value j(Json::objectValue);
    j["data_id"] = static_cast<Json::UInt>(r.data_id);
    j["ttime"] = TtimeText(r);

    Json::Value ac(Json::objectValue);
    ac["ia"] = Num(r.ac.ia);
    ac["ib"] = Num(r.ac.ib);
    ac["ic"] = Num(r.ac.ic);
    ac["channel_count"] = static_cast<unsigned>(r.ac.channel_count);
    ac["airlock_count"] = static_cast<unsigned>(r.ac.airlock_count);
    ac["p40_43_count"] = static_cast<unsigned>(r.ac.p40_43_count);
    ac["p40_43"] = Bytes(r.ac.p40_43);
    ac["ia_alarm"] = static_cast<unsigned>(r.ac.ia_alarm);
    ac["ib_alarm"] = static_cast<unsigned>(r.ac.ib_alarm);
    ac["ic_alarm"] = static_cast<unsigned>(r.ac.ic_alarm);
    Json::Value acc(Json::arrayValue);
    for (size_t k = 0; k < RecordAcChannels(r); ++k) acc.append(AcChannel(r.ac.channel[k]));
    ac["channel"] = acc;
    j["ac"] = ac;

    Json::Value rc(Json::objectValue);
    rc["v"] = Num(r.rc.v);
    rc["channel_count"] = static_cast<unsigned>(r.rc.channel_count);
    Json::Value rcc(Json::arrayValue);
    for (size_t k = 0; k < RecordRcChannels(r); ++k) rcc.append(RcChannel(r.rc.channel[k]));
    rc["channel"] = rcc;
    j["rc"] = rc;

    j["dc1"] = DcGroup(r.dc1);
    j["dc2"] = DcGroup(r.dc2);
    return j;
}

size_t RecordAcChannels(const q318b_419_Data_t& r) {
    return std::min<size_t>(r.ac.channel_count, q318b_ac_t::kChannels);
}

size_t RecordRcChannels(const q318b_419_Data_t& r) {
    return std::min<size_t>(r.rc.channel_count, q318b_rc_t::kChannels);
}

bool RecordFromBytes(const void* data, size_t len, q318b_419_Data_t& record) {
    if (data == nullptr || len != sizeof record) return false;
    std::memcpy(static_cast<void*>(&record), data, sizeof record);
    return true;
}

std::string TtimeText(const q318b_419_Data_t& r) {
    const uint8_t* t = r.ttime;
    const unsigned year = t[0] | (t[1] << 8);
    if (year == 0) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", year, t[2], t[3], t[4], t[5],
                  t[6]);
    return buf;
}
