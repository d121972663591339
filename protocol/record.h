// The 2704-byte measurement record that the device publishes, stores and
// restores. The host keeps it as raw bytes, so the layout is an external
// format: packed, little-endian, every offset fixed (checked below).
//
// Zero-capacity arrays are GNU zero-length arrays: they take no bytes, and
// the field after one starts where it would start. Nothing indexes them.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record is little-endian and is copied to and from the wire as is");

#pragma pack(push, 1)

template <uint8_t P40_41_N, uint8_t P40_44_N>
struct tele_c_pmbuspower_ac_channel {
    static unsigned char P40_41_SIZE() { return P40_41_N; }
    static unsigned char p40_44_SIZE() { return P40_44_N; }

    float a;
    float b;
    float c;
    float f;
    uint8_t p40_41_count;
    float p40_41[P40_41_N];
    uint8_t a_alarm;
    uint8_t b_alarm;
    uint8_t c_alarm;
    uint8_t f_alarm;
    uint8_t p40_44_count;
    uint8_t p40_44[P40_44_N];
};

template <uint8_t AIRLOCK_N, uint8_t P40_43_N>
struct tele_c_pmbuspower_ac {
    static unsigned char AIRLOCK_MAX() { return AIRLOCK_N; }
    static unsigned char P40_43_SIZE() { return P40_43_N; }
    static constexpr int kChannels = 2;

    float ia;
    float ib;
    float ic;
    uint8_t channel_count;
    uint8_t airlock_count;
    uint8_t airlock[AIRLOCK_N];
    uint8_t p40_43_count;
    uint8_t p40_43[P40_43_N];
    uint8_t ia_alarm;
    uint8_t ib_alarm;
    uint8_t ic_alarm;
    uint8_t reserved[7];
    tele_c_pmbuspower_ac_channel<0, 8> channel[kChannels];
};

template <uint8_t P41_41_N, uint8_t P41_43_N, uint8_t P41_44_N>
struct tele_c_pmbuspower_rc_channel {
    static unsigned char P41_41_SIZE() { return P41_41_N; }
    static unsigned char P41_43_SIZE() { return P41_43_N; }
    static unsigned char P41_44_SIZE() { return P41_44_N; }

    float i;
    uint8_t p41_41_count;
    float p41_41[P41_41_N];
    uint8_t state[3];
    uint8_t p41_43_count;
    uint8_t p41_43[P41_43_N];
    uint8_t fault;
    uint8_t p41_44_count;
    uint8_t p41_44[P41_44_N];
};

template <uint8_t M_N, uint8_t N_N, uint8_t P_N, uint8_t ALERT_M_N, uint8_t ALERT_P_N>
struct tele_c_pmbuspower_dc {
    static unsigned char M_SIZE() { return M_N; }
    static unsigned char N_SIZE() { return N_N; }
    static unsigned char P_SIZE() { return P_N; }
    static unsigned char ALERT_M_SIZE() { return ALERT_M_N; }
    static unsigned char ALERT_P_SIZE() { return ALERT_P_N; }

    float v;
    float i;
    uint8_t m_count;
    float m[M_N];
    uint8_t n_count;
    float n[N_N];
    uint8_t p_count;
    float p[P_N];
    uint8_t v_alarm;
    uint8_t alert_m_count;
    uint8_t alert_m[ALERT_M_N];
    uint8_t alert_p_count;
    uint8_t alert_p[ALERT_P_N];
};

using q318b_ac_t = tele_c_pmbuspower_ac<0, 3>;
using q318b_ac_channel_t = tele_c_pmbuspower_ac_channel<0, 8>;
using q318b_rc_channel_t = tele_c_pmbuspower_rc_channel<7, 6, 8>;
using q318b_dc_t = tele_c_pmbuspower_dc<2, 0, 27, 10, 87>;

struct q318b_rc_t {
    static constexpr int kChannels = 40;

    float v;
    uint8_t channel_count;
    q318b_rc_channel_t channel[kChannels];
};

struct q318b_419_Data_t {
    uint32_t data_id;
    uint8_t reserved0[4];
    q318b_ac_t ac;
    q318b_rc_t rc;
    uint8_t reserved1[4];
    q318b_dc_t dc1;
    uint8_t reserved2[7];
    uint8_t ttime[7];
    uint8_t reserved3[4];
    q318b_dc_t dc2;
    uint8_t reserved4[7];
};

#pragma pack(pop)

// Sizes and offsets that the host, stored files and the decoders rely on.
static_assert(sizeof(q318b_ac_channel_t) == 30, "AC input channel");
static_assert(offsetof(q318b_ac_channel_t, p40_41_count) == 16);
static_assert(offsetof(q318b_ac_channel_t, p40_41) == 17);
static_assert(offsetof(q318b_ac_channel_t, a_alarm) == 17, "shares its offset with p40_41");
static_assert(offsetof(q318b_ac_channel_t, f_alarm) == 20);
static_assert(offsetof(q318b_ac_channel_t, p40_44_count) == 21);
static_assert(offsetof(q318b_ac_channel_t, p40_44) == 22);

static_assert(sizeof(q318b_ac_t) == 88, "AC part");
static_assert(offsetof(q318b_ac_t, channel_count) == 12);
static_assert(offsetof(q318b_ac_t, airlock_count) == 13);
static_assert(offsetof(q318b_ac_t, airlock) == 14);
static_assert(offsetof(q318b_ac_t, p40_43_count) == 14, "shares its offset with airlock");
static_assert(offsetof(q318b_ac_t, p40_43) == 15);
static_assert(offsetof(q318b_ac_t, ia_alarm) == 18);
static_assert(offsetof(q318b_ac_t, ic_alarm) == 20);
static_assert(offsetof(q318b_ac_t, reserved) == 21);
static_assert(offsetof(q318b_ac_t, channel) == 28);

static_assert(sizeof(q318b_rc_channel_t) == 53, "rectifier module");
static_assert(offsetof(q318b_rc_channel_t, p41_41_count) == 4);
static_assert(offsetof(q318b_rc_channel_t, p41_41) == 5);
static_assert(offsetof(q318b_rc_channel_t, state) == 33);
static_assert(offsetof(q318b_rc_channel_t, p41_43_count) == 36);
static_assert(offsetof(q318b_rc_channel_t, p41_43) == 37);
static_assert(offsetof(q318b_rc_channel_t, fault) == 43);
static_assert(offsetof(q318b_rc_channel_t, p41_44_count) == 44);
static_assert(offsetof(q318b_rc_channel_t, p41_44) == 45);

static_assert(sizeof(q318b_rc_t) == 2125, "rectifier part");
static_assert(offsetof(q318b_rc_t, channel_count) == 4);
static_assert(offsetof(q318b_rc_t, channel) == 5);

static_assert(sizeof(q318b_dc_t) == 227, "DC group");
static_assert(offsetof(q318b_dc_t, m_count) == 8);
static_assert(offsetof(q318b_dc_t, m) == 9);
static_assert(offsetof(q318b_dc_t, n_count) == 17);
static_assert(offsetof(q318b_dc_t, n) == 18);
static_assert(offsetof(q318b_dc_t, p_count) == 18, "shares its offset with n");
static_assert(offsetof(q318b_dc_t, p) == 19);
static_assert(offsetof(q318b_dc_t, v_alarm) == 127);
static_assert(offsetof(q318b_dc_t, alert_m_count) == 128);
static_assert(offsetof(q318b_dc_t, alert_m) == 129);
static_assert(offsetof(q318b_dc_t, alert_p_count) == 139);
static_assert(offsetof(q318b_dc_t, alert_p) == 140);

static_assert(sizeof(q318b_419_Data_t) == 2704, "measurement record");
static_assert(offsetof(q318b_419_Data_t, ac) == 8);
static_assert(offsetof(q318b_419_Data_t, rc) == 96);
static_assert(offsetof(q318b_419_Data_t, dc1) == 2225);
static_assert(offsetof(q318b_419_Data_t, ttime) == 2459);
static_assert(offsetof(q318b_419_Data_t, dc2) == 2470);

// The record's type code towards the host.
constexpr int kQ318bDataType = 5535;
constexpr size_t kQ318bRecordSize = sizeof(q318b_419_Data_t);
