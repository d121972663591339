#include "runtime/site/record_json_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "runtime/site/record_json.h"

namespace {

// Members are written in the order jsoncpp's object keeps them (byte-wise
// by name), since the text must be the tree's; the unit test compares the
// two for every field.

template <size_t N>
void Lit(std::string& out, const char (&text)[N]) {
    out.append(text, N - 1);
}

// Float fields are read by value or copied out byte-wise: a reference or a
// float pointer into the packed record could be misaligned.
void Float(float v, std::string& out) {
    AppendJsonDouble(static_cast<double>(v), out);
}

void Uint(unsigned v, std::string& out) {
    AppendJsonUnsigned(v, out);
}

template <size_t N>
void Bytes(const uint8_t (&a)[N], std::string& out) {
    out += '[';
    for (size_t i = 0; i < N; ++i) {
        if (i > 0) out += ',';
        Uint(a[i], out);
    }
    out += ']';
}

template <typename S>
void Floats(const S& s, size_t offset, size_t n, std::string& out) {
    const char* base = reinterpret_cast<const char*>(&s) + offset;
    out += '[';
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) out += ',';
        float v;
        std::memcpy(&v, base + i * sizeof v, sizeof v);
        Float(v, out);
    }
    out += ']';
}

void AcChannel(const q318b_ac_channel_t& c, std::string& out) {
    Lit(out, "{\"a\":");
    Float(c.a, out);
    Lit(out, ",\"a_alarm\":");
    Uint(c.a_alarm, out);
    Lit(out, ",\"b\":");
    Float(c.b, out);
    Lit(out, ",\"b_alarm\":");
    Uint(c.b_alarm, out);
    Lit(out, ",\"c\":");
    Float(c.c, out);
    Lit(out, ",\"c_alarm\":");
    Uint(c.c_alarm, out);
    Lit(out, ",\"f\":");
    Float(c.f, out);
    Lit(out, ",\"f_alarm\":");
    Uint(c.f_alarm, out);
    Lit(out, ",\"p40_41_count\":");
    Uint(c.p40_41_count, out);
    Lit(out, ",\"p40_44\":");
    Bytes(c.p40_44, out);
    Lit(out, ",\"p40_44_count\":");
    Uint(c.p40_44_count, out);
    out += '}';
}

void RcChannel(const q318b_rc_channel_t& c, std::string& out) {
    Lit(out, "{\"fault\":");
    Uint(c.fault, out);
    Lit(out, ",\"i\":");
    Float(c.i, out);
    Lit(out, ",\"p41_41\":");
    Floats(c, offsetof(q318b_rc_channel_t, p41_41), c.P41_41_SIZE(), out);
    Lit(out, ",\"p41_41_count\":");
    Uint(c.p41_41_count, out);
    Lit(out, ",\"p41_43\":");
    Bytes(c.p41_43, out);
    Lit(out, ",\"p41_43_count\":");
    Uint(c.p41_43_count, out);
    Lit(out, ",\"p41_44\":");
    Bytes(c.p41_44, out);
    Lit(out, ",\"p41_44_count\":");
    Uint(c.p41_44_count, out);
    Lit(out, ",\"state\":");
    Bytes(c.state, out);
    out += '}';
}

void DcGroup(const q318b_dc_t& d, std::string& out) {
    Lit(out, "{\"alert_m\":");
    Bytes(d.alert_m, out);
    Lit(out, ",\"alert_m_count\":");
    Uint(d.alert_m_count, out);
    Lit(out, ",\"alert_p\":");
    Bytes(d.alert_p, out);
    Lit(out, ",\"alert_p_count\":");
    Uint(d.alert_p_count, out);
    Lit(out, ",\"i\":");
    Float(d.i, out);
    Lit(out, ",\"m\":");
    Floats(d, offsetof(q318b_dc_t, m), d.M_SIZE(), out);
    Lit(out, ",\"m_count\":");
    Uint(d.m_count, out);
    Lit(out, ",\"n_count\":");
    Uint(d.n_count, out);
    Lit(out, ",\"p\":");
    Floats(d, offsetof(q318b_dc_t, p), d.P_SIZE(), out);
    Lit(out, ",\"p_count\":");
    Uint(d.p_count, out);
    Lit(out, ",\"v\":");
    Float(d.v, out);
    Lit(out, ",\"v_alarm\":");
    Uint(d.v_alarm, out);
    out += '}';
}

void Ttime(const q318b_419_Data_t& r, std::string& out) {
    // Digits, dashes, blanks and colons only: nothing to escape.
    const uint8_t* t = r.ttime;
    const unsigned year = t[0] | (t[1] << 8);
    out += '"';
    if (year != 0) {
        const auto two = [&out](unsigned v) {
            if (v < 10) out += '0';
            AppendJsonUnsigned(v, out);
        };
        if (year < 1000) out.append(year < 10 ? "000" : year < 100 ? "00" : "0");
        AppendJsonUnsigned(year, out);
        out += '-';
        two(t[2]);
        out += '-';
        two(t[3]);
        out += ' ';
        two(t[4]);
        out += ':';
        two(t[5]);
        out += ':';
        two(t[6]);
    }
    out += '"';
}

}  // namespace

void AppendJsonDouble(double v, std::string& out) {
    if (!std::isfinite(v)) {
        Lit(out, "null");
        return;
    }
    // jsoncpp prints "%.17g" and marks a result that reads as an integer
    // with ".0"; to_chars with the same precision is printf's "%.17g" in
    // the C locale, without printf's cost.
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 17);
    const std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
    out.append(text);
    if (text.find_first_of(".e") == std::string_view::npos) Lit(out, ".0");
}

void AppendJsonUnsigned(uint64_t v, std::string& out) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<size_t>(res.ptr - buf));
}

void AppendJsonInt(int64_t v, std::string& out) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<size_t>(res.ptr - buf));
}

void AppendJsonString(std::string_view s, std::string& out) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char ch : s) {
        switch (ch) {
            case '"':
                Lit(out, "\\\"");
                break;
            case '\\':
                Lit(out, "\\\\");
                break;
            case '\b':
                Lit(out, "\\b");
                break;
            case '\f':
                Lit(out, "\\f");
                break;
            case '\n':
                Lit(out, "\\n");
                break;
            case '\r':
                Lit(out, "\\r");
                break;
            case '\t':
                Lit(out, "\\t");
                break;
            default: {
                const auto u = static_cast<unsigned char>(ch);
                if (u < 0x20) {
                    Lit(out, "\\u00");
                    out += kHex[u >> 4];
                    out += kHex[u & 15];
                } else {
                    out += ch;
                }
            }
        }
    }
    out += '"';
}

void AppendRecordJson(const q318b_419_Data_t& r, std::string& out) {
    Lit(out, "{\"ac\":{\"airlock_count\":");
    Uint(r.ac.airlock_count, out);
    Lit(out, ",\"channel\":[");
    const size_t ac_n = RecordAcChannels(r);
    for (size_t k = 0; k < ac_n; ++k) {
        if (k > 0) out += ',';
        AcChannel(r.ac.channel[k], out);
    }
    Lit(out, "],\"channel_count\":");
    Uint(r.ac.channel_count, out);
    Lit(out, ",\"ia\":");
    Float(r.ac.ia, out);
    Lit(out, ",\"ia_alarm\":");
    Uint(r.ac.ia_alarm, out);
    Lit(out, ",\"ib\":");
    Float(r.ac.ib, out);
    Lit(out, ",\"ib_alarm\":");
    Uint(r.ac.ib_alarm, out);
    Lit(out, ",\"ic\":");
    Float(r.ac.ic, out);
    Lit(out, ",\"ic_alarm\":");
    Uint(r.ac.ic_alarm, out);
    Lit(out, ",\"p40_43\":");
    Bytes(r.ac.p40_43, out);
    Lit(out, ",\"p40_43_count\":");
    Uint(r.ac.p40_43_count, out);
    Lit(out, "},\"data_id\":");
    AppendJsonUnsigned(r.data_id, out);
    Lit(out, ",\"dc1\":");
    DcGroup(r.dc1, out);
    Lit(out, ",\"dc2\":");
    DcGroup(r.dc2, out);
    Lit(out, ",\"rc\":{\"channel\":[");
    const size_t rc_n = RecordRcChannels(r);
    for (size_t k = 0; k < rc_n; ++k) {
        if (k > 0) out += ',';
        RcChannel(r.rc.channel[k], out);
    }
    Lit(out, "],\"channel_count\":");
    Uint(r.rc.channel_count, out);
    Lit(out, ",\"v\":");
    Float(r.rc.v, out);
    Lit(out, "},\"ttime\":");
    Ttime(r, out);
    out += '}';
}
