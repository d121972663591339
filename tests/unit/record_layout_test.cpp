// The record's size constants and the fields that share an offset with a
// zero-capacity array, seen through real objects (offsets are also checked
// at compile time in the record header).
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/record.h"

namespace {

// Through char pointers: a reference to a packed float would be misaligned.
#define OFFSET_IN(object, field)                                         \
    static_cast<size_t>(reinterpret_cast<const char*>(&(object).field) - \
                        reinterpret_cast<const char*>(&(object)))

TEST(RecordLayout, SizeConstantsMatchTheInstantiations) {
    struct Row {
        const char* name;
        unsigned got;
        unsigned want;
    } rows[] = {
        {"AIRLOCK_MAX", q318b_ac_t::AIRLOCK_MAX(), 0},
        {"P40_43_SIZE", q318b_ac_t::P40_43_SIZE(), 3},
        {"P40_41_SIZE", q318b_ac_channel_t::P40_41_SIZE(), 0},
        {"p40_44_SIZE", q318b_ac_channel_t::p40_44_SIZE(), 8},
        {"P41_41_SIZE", q318b_rc_channel_t::P41_41_SIZE(), 7},
        {"P41_43_SIZE", q318b_rc_channel_t::P41_43_SIZE(), 6},
        {"P41_44_SIZE", q318b_rc_channel_t::P41_44_SIZE(), 8},
        {"M_SIZE", q318b_dc_t::M_SIZE(), 2},
        {"N_SIZE", q318b_dc_t::N_SIZE(), 0},
        {"P_SIZE", q318b_dc_t::P_SIZE(), 27},
        {"ALERT_M_SIZE", q318b_dc_t::ALERT_M_SIZE(), 10},
        {"ALERT_P_SIZE", q318b_dc_t::ALERT_P_SIZE(), 87},
    };
    for (const auto& r : rows) EXPECT_EQ(r.got, r.want) << r.name;
}

TEST(RecordLayout, PartSizesAndRecordOffsets) {
    q318b_419_Data_t d{};
    EXPECT_EQ(sizeof d, 2704u);
    EXPECT_EQ(sizeof d.ac, 88u);
    EXPECT_EQ(sizeof d.ac.channel[0], 30u);
    EXPECT_EQ(sizeof d.rc.channel[0], 53u);
    EXPECT_EQ(sizeof d.dc1, 227u);
    EXPECT_EQ(OFFSET_IN(d, ac), 8u);
    EXPECT_EQ(OFFSET_IN(d, rc), 96u);
    EXPECT_EQ(OFFSET_IN(d, dc1), 2225u);
    EXPECT_EQ(OFFSET_IN(d, ttime), 2459u);
    EXPECT_EQ(OFFSET_IN(d, dc2), 2470u);
    EXPECT_EQ(OFFSET_IN(d, rc.channel[39]) + sizeof d.rc.channel[39], 2221u);
}

TEST(RecordLayout, ZeroCapacityArraysTakeNoBytes) {
    q318b_419_Data_t d{};
    EXPECT_EQ(OFFSET_IN(d.ac, p40_43_count), OFFSET_IN(d.ac, airlock));
    EXPECT_EQ(OFFSET_IN(d.dc1, p_count), OFFSET_IN(d.dc1, n));
    EXPECT_EQ(OFFSET_IN(d.ac.channel[0], a_alarm), OFFSET_IN(d.ac.channel[0], p40_41));
}

TEST(RecordLayout, MultiByteFieldsAreLittleEndianOnTheWire) {
    q318b_419_Data_t d{};
    d.data_id = 0x04030201u;
    d.dc1.v = 53.5f;  // 0x42560000
    unsigned char raw[sizeof d];
    std::memcpy(raw, &d, sizeof d);
    EXPECT_EQ(raw[0], 0x01);
    EXPECT_EQ(raw[3], 0x04);
    EXPECT_EQ(raw[2225 + 0], 0x00);
    EXPECT_EQ(raw[2225 + 2], 0x56);
    EXPECT_EQ(raw[2225 + 3], 0x42);
}

}  // namespace
