// Reply decoders of the telecom power protocol (YD/T 1363 style framing).
//
// A reply on the wire, every byte as two upper-case hex characters:
//
//   ~   20  01  40  00  E00A  01 01 ...        xxxx  CR
//   SOI VER ADR CID1 RTN LENGTH INFO            CHKSUM EOI
//
// The host checks the frame and hands the INFO bytes over already turned
// back into bytes; INFO byte 0 is the DATAFLAG. The AC and DC decoders get
// the bytes after the DATAFLAG (and the group byte / DC group count, which
// the sequencer skips); the rectifier decoders get the whole INFO field.
//
// Floats are IEEE-754 singles, least significant byte first. A value the
// controller does not have arrives as four equal bytes (ASCII spaces, 0x20,
// in practice).
#include "protocol/decoders.h"

#include <cstdio>
#include <iostream>

#include "protocol/read_cursor.h"

namespace {

constexpr float kAbsent = -0.1f;  // "no value" in fields that readers test

int ConsumedOrReject(const ReadCursor& in) {
    return in.Overrun() ? -1 : static_cast<int>(in.Pos());
}

// Reads a float; `absent` replaces a not-available marker.
bool ReadValue(ReadCursor& in, float absent, float& out) {
    uint8_t raw[4];
    if (!in.Raw4(raw)) return false;
    out = NotAvailable(raw) ? absent : FloatOf(raw);
    return true;
}

// The record slot of channel `i`, or `scratch` for a channel beyond the
// record's capacity: its bytes are still read, so the rest of the reply
// stays in step, but nothing of it is kept.
template <typename Channel, int N>
Channel& SlotOr(Channel (&channels)[N], int i, Channel& scratch) {
    return i < N ? channels[i] : scratch;
}

}  // namespace

// ------------------------------------------------------------------ 40 41

int Decode40_41(q318b_ac_t& ac, const LayoutOptions& opt, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    uint8_t inputs;
    if (!in.U8(inputs)) return -1;
    ac.channel_count = inputs;
    std::cout << "parse40_41 channel_count is " << static_cast<int>(inputs) << "\n";

    for (int i = 0; i < inputs; ++i) {
        q318b_ac_channel_t scratch;
        q318b_ac_channel_t& ch = SlotOr(ac.channel, i, scratch);

        uint8_t raw[4];
        if (!in.Raw4(raw)) return -1;
        ch.a = NotAvailable(raw) ? 0.0f : FloatOf(raw);
        std::printf("a %x %x %x %x\n", raw[0], raw[1], raw[2], raw[3]);
        std::cout << "parse40_41 acChannel.a is " << ch.a << "\n";
        float v;
        if (!ReadValue(in, 0.0f, v)) return -1;
        ch.b = v;
        if (!ReadValue(in, 0.0f, v)) return -1;
        ch.c = v;
        if (!ReadValue(in, 0.0f, v)) return -1;
        ch.f = v;

        if (opt.has_tower) {
            uint8_t towers;
            if (!in.U8(towers)) return -1;
            std::printf("tower_count is %d\n", towers);
            in.Skip(4 * int64_t{towers});
        }

        uint8_t user;
        if (!in.U8(user)) return -1;
        if (opt.lfcq93) {
            // This model sends one fixed value here, whatever the byte says.
            ch.p40_41_count = 1;
            if (!in.Raw4(raw)) return -1;
            std::printf("parse40_41 1:%f\n", static_cast<double>(FloatOf(raw)));
        } else {
            ch.p40_41_count = user;
            if (user > q318b_ac_channel_t::P40_41_SIZE()) {
                std::cout << "acChannel.p40_41_count " << static_cast<int>(user) << "\n";
                in.Skip(4 * int64_t{user});
            }
        }
    }

    uint8_t raw[4];
    if (!in.Raw4(raw)) return -1;
    const bool ia_present = !NotAvailable(raw);
    ac.ia = ia_present ? FloatOf(raw) : kAbsent;
    if (ia_present) std::printf("ia is %f\n", static_cast<double>(ac.ia));
    float v;
    if (!ReadValue(in, kAbsent, v)) return -1;
    ac.ib = v;
    if (!ReadValue(in, kAbsent, v)) return -1;
    ac.ic = v;
    return ConsumedOrReject(in);
}

// ------------------------------------------------------------------ 40 43

int Decode40_43(q318b_ac_t& ac, const LayoutOptions& opt, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    uint8_t switches;
    if (!in.U8(switches)) return -1;
    ac.airlock_count = switches;
    if (switches > q318b_ac_t::AIRLOCK_MAX()) return -1;

    if (opt.has_tower) {
        uint8_t towers;
        if (!in.U8(towers)) return -1;
        in.Skip(towers);
    }

    uint8_t user;
    if (!in.U8(user)) return -1;
    ac.p40_43_count = user;
    if (user > q318b_ac_t::P40_43_SIZE()) {
        // Kept as the controller's count of what it sent; nothing is read.
        in.Skip(user);
        return static_cast<int>(in.Pos());
    }
    if (!in.Bytes(ac.p40_43, user)) return -1;
    return ConsumedOrReject(in);
}

// ------------------------------------------------------------------ 40 44

namespace {

// Appends alarm bytes to one input's p40_44 while there is room; the rest
// are consumed and dropped.
struct AlarmSink {
    uint8_t* dst;  // null for an input beyond the record's two
    int next = 0;
    int stored = 0;

    void Put(uint8_t b) {
        if (dst != nullptr && next < q318b_ac_channel_t::p40_44_SIZE()) {
            dst[next] = b;
            ++stored;
        }
        ++next;
    }
};

bool ReadInto(ReadCursor& in, AlarmSink& sink, int n) {
    for (int k = 0; k < n; ++k) {
        uint8_t b;
        if (!in.U8(b)) return false;
        sink.Put(b);
    }
    return true;
}

int AcAlarmOverflow(const ReadCursor& in) {
    std::cout << "PMBusPowerAC:ProcotolError read 40_44 read overflow\n";
    const int64_t pos = in.Pos();
    const int len = in.Length() < 0 ? 0 : in.Length();
    return static_cast<int>(pos < len ? pos : len);
}

}  // namespace

int Decode40_44(q318b_ac_t& ac, const LayoutOptions& opt, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    uint8_t inputs;
    if (!in.U8(inputs)) return AcAlarmOverflow(in);
    std::cout << "channel is " << static_cast<int>(inputs) << "\n";

    int last_prefix = 0;  // fuse and tower bytes stored for the last input
    for (int i = 0; i < inputs; ++i) {
        q318b_ac_channel_t scratch;
        const bool kept = i < q318b_ac_t::kChannels;
        q318b_ac_channel_t& ch = SlotOr(ac.channel, i, scratch);

        if (!in.U8(ch.a_alarm) || !in.U8(ch.b_alarm) || !in.U8(ch.c_alarm) || !in.U8(ch.f_alarm))
            return AcAlarmOverflow(in);

        AlarmSink sink{kept ? ch.p40_44 : nullptr};
        AlarmSink drop{nullptr};
        uint8_t fuses;
        if (!in.U8(fuses)) return AcAlarmOverflow(in);
        if (!ReadInto(in, opt.lfcq93 ? sink : drop, fuses)) return AcAlarmOverflow(in);
        if (opt.has_tower) {
            uint8_t towers;
            if (!in.U8(towers)) return AcAlarmOverflow(in);
            if (!ReadInto(in, sink, towers)) return AcAlarmOverflow(in);
        }
        last_prefix = sink.stored;

        uint8_t user;
        if (!in.U8(user)) return AcAlarmOverflow(in);
        ch.p40_44_count = user;
        if (user <= q318b_ac_channel_t::p40_44_SIZE()) {
            if (!ReadInto(in, sink, user)) return AcAlarmOverflow(in);
        } else {
            in.Skip(user);
        }
    }

    if (!in.U8(ac.ia_alarm) || !in.U8(ac.ib_alarm) || !in.U8(ac.ic_alarm))
        return AcAlarmOverflow(in);
    if (opt.lfcq93) {
        uint8_t extra;
        if (!in.U8(extra)) return AcAlarmOverflow(in);
        q318b_ac_channel_t& first = ac.channel[0];
        const int at = first.p40_44_count + last_prefix;
        if (at < q318b_ac_channel_t::p40_44_SIZE()) first.p40_44[at] = extra;
    }
    if (in.Overrun()) return AcAlarmOverflow(in);
    return static_cast<int>(in.Pos());
}

// ------------------------------------------------------------------ 41 41

int Decode41_41(q318b_rc_t& rc, const LayoutOptions& opt, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    in.Skip(1);  // DATAFLAG
    uint8_t raw[4];
    if (!in.Raw4(raw)) return -1;
    rc.v = FloatOf(raw);
    uint8_t modules;
    if (!in.U8(modules)) return -1;
    rc.channel_count = modules;
    std::printf("parse 41_41 channel is %d\n", modules);

    for (int j = 0; j < modules; ++j) {
        q318b_rc_channel_t scratch;
        q318b_rc_channel_t& ch = SlotOr(rc.channel, j, scratch);

        if (!in.Raw4(raw)) return -1;
        ch.i = FloatOf(raw);

        int towers = 0;
        if (opt.has_tower) {
            uint8_t t;
            if (!in.U8(t)) return -1;
            towers = t;
            if (towers >= 1) {
                if (!in.Raw4(raw)) return -1;
                ch.p41_41[0] = FloatOf(raw);
                std::printf("41 41 tower_count:%d temp:%f p41_41:%x %x %x %x\n", towers,
                            static_cast<double>(FloatOf(raw)), raw[0], raw[1], raw[2], raw[3]);
                in.Skip(4 * int64_t{towers - 1});
            }
        }

        uint8_t user;
        if (!in.U8(user)) return -1;
        ch.p41_41_count = user;
        std::printf("41_41_count:%d\n", user);
        if (user <= q318b_rc_channel_t::P41_41_SIZE()) {
            for (int k = 0; k < user; ++k) {
                if (!in.Raw4(raw)) return -1;
                const int at = towers + k;
                if (at < q318b_rc_channel_t::P41_41_SIZE())
                    ch.p41_41[at] = AllEqual(raw) ? 0.0f : FloatOf(raw);
            }
            in.Skip(opt.skip_41_41);
            if (in.Overrun()) return -1;
        } else {
            in.Skip(4 * int64_t{user});
            in.Skip(opt.skip_41_41);
        }
    }
    return ConsumedOrReject(in);
}

// ------------------------------------------------------------------ 41 43

int Decode41_43(q318b_rc_t& rc, const LayoutOptions& opt, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    in.Skip(2);  // DATAFLAG, the reply's own module count
    // The analog reply alone says how many modules there are.
    for (int j = 0; j < rc.channel_count; ++j) {
        q318b_rc_channel_t scratch;
        q318b_rc_channel_t& ch = SlotOr(rc.channel, j, scratch);
        if (!in.U8(ch.state[0]) || !in.U8(ch.state[1]) || !in.U8(ch.state[2])) return -1;
        if (opt.has_tower) {
            uint8_t towers;
            if (!in.U8(towers)) return -1;
            in.Skip(towers);
        }
        uint8_t user;
        if (!in.U8(user)) return -1;
        ch.p41_43_count = user;
        if (user <= q318b_rc_channel_t::P41_43_SIZE()) {
            if (!in.Bytes(ch.p41_43, user)) return -1;
        } else {
            in.Skip(user);
        }
    }
    return ConsumedOrReject(in);
}

// ------------------------------------------------------------------ 41 44

int Decode41_44(q318b_rc_t& rc, const LayoutOptions& opt, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    in.Skip(2);  // DATAFLAG, the reply's own module count
    for (int j = 0; j < rc.channel_count; ++j) {
        q318b_rc_channel_t scratch;
        q318b_rc_channel_t& ch = SlotOr(rc.channel, j, scratch);
        if (!in.U8(ch.fault)) return -1;

        // Tower bytes first, then the user-defined ones, in one array.
        int next = 0;
        auto put = [&ch, &next](uint8_t b) {
            if (next < q318b_rc_channel_t::P41_44_SIZE()) ch.p41_44[next] = b;
            ++next;
        };
        uint8_t b;
        if (opt.has_tower) {
            uint8_t towers;
            if (!in.U8(towers)) return -1;
            for (int k = 0; k < towers; ++k) {
                if (!in.U8(b)) return -1;
                put(b);
            }
        }
        uint8_t user;
        if (!in.U8(user)) return -1;
        ch.p41_44_count = user;
        if (user <= q318b_rc_channel_t::P41_44_SIZE()) {
            for (int k = 0; k < user; ++k) {
                if (!in.U8(b)) return -1;
                put(b);
            }
        } else {
            in.Skip(user);
        }
    }
    return ConsumedOrReject(in);
}

// ------------------------------------------------------------------ 42 41

int Decode42_41(q318b_dc_t& dc, const LayoutOptions& opt, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    uint8_t raw[4];
    if (!in.Raw4(raw)) return -1;
    dc.v = FloatOf(raw);
    if (!in.Raw4(raw)) return -1;
    dc.i = FloatOf(raw) * static_cast<float>(opt.dc_i_adjust);
    std::printf("parse42_41 %f %f\n", static_cast<double>(dc.v), static_cast<double>(dc.i));

    uint8_t batteries;
    if (!in.U8(batteries)) return -1;
    dc.m_count = batteries;
    if (batteries <= q318b_dc_t::M_SIZE()) {
        for (int k = 0; k < batteries; ++k) {
            if (!in.Raw4(raw)) return -1;
            dc.m[k] = FloatOf(raw);
        }
    } else {
        in.Skip(4 * int64_t{batteries});
    }

    uint8_t branches;
    if (!in.U8(branches)) return -1;
    dc.n_count = branches;
    in.Skip(4 * int64_t{branches});  // no room for branch currents

    uint8_t user;
    if (!in.U8(user)) return -1;
    dc.p_count = user;
    // Past this many values the rest of the reply cannot be placed; the
    // whole input counts as taken.
    if (user > q318b_dc_t::P_SIZE()) return len;
    for (int k = 0; k < user; ++k) {
        float v;
        if (!ReadValue(in, kAbsent, v)) return -1;
        dc.p[k] = v;
    }
    return ConsumedOrReject(in);
}

// ------------------------------------------------------------------ 42 44

int Decode42_44(q318b_dc_t& dc, const LayoutOptions&, const uint8_t* data, int len) {
    ReadCursor in(data, len);
    if (!in.U8(dc.v_alarm)) return -1;

    // Both counts are kept as received; the arrays take what fits.
    uint8_t fuses;
    if (!in.U8(fuses)) return -1;
    dc.alert_m_count = fuses;
    for (int k = 0; k < fuses; ++k) {
        uint8_t b;
        if (!in.U8(b)) return -1;
        if (k < q318b_dc_t::ALERT_M_SIZE()) dc.alert_m[k] = b;
    }

    uint8_t user;
    if (!in.U8(user)) return -1;
    dc.alert_p_count = user;
    for (int k = 0; k < user; ++k) {
        uint8_t b;
        if (!in.U8(b)) return -1;
        if (k < q318b_dc_t::ALERT_P_SIZE()) dc.alert_p[k] = b;
    }
    return ConsumedOrReject(in);
}
