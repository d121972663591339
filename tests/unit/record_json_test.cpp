#include "runtime/site/record_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

TEST(RecordJson, NamesEveryPartWithItsValues) {
    q318b_419_Data_t r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.data_id = 77;
    r.ac.channel_count = 1;
    r.ac.channel[0].a = 230.5f;
    r.ac.channel[1].p40_44[7] = 0xE2;
    r.rc.channel_count = 3;
    r.rc.channel[2].fault = 1;
    r.rc.channel[39].i = 12.25f;
    const float user = 1.5f;
    std::memcpy(reinterpret_cast<char*>(&r.dc2) + offsetof(q318b_dc_t, p) + 26 * 4, &user, 4);
    r.dc1.alert_m[9] = 3;
    const uint8_t ttime[7] = {0xEA, 0x07, 12, 9, 5, 46, 51};  // 2026-12-09 05:46:51
    std::memcpy(r.ttime, ttime, 7);

    Json::Value j = RecordToJson(r);
    EXPECT_EQ(j["data_id"].asUInt(), 77u);
    EXPECT_EQ(j["ttime"].asString(), "2026-12-09 05:46:51");
    EXPECT_EQ(j["ac"]["channel_count"].asUInt(), 1u);
    EXPECT_DOUBLE_EQ(j["ac"]["channel"][0]["a"].asDouble(), 230.5);
    EXPECT_EQ(j["ac"]["channel"][1]["p40_44"][7].asUInt(), 0xE2u);
    EXPECT_EQ(j["rc"]["channel"].size(), 40u);
    EXPECT_EQ(j["rc"]["channel"][2]["fault"].asUInt(), 1u);
    EXPECT_DOUBLE_EQ(j["rc"]["channel"][39]["i"].asDouble(), 12.25);
    EXPECT_EQ(j["dc2"]["p"].size(), 27u);
    EXPECT_DOUBLE_EQ(j["dc2"]["p"][26].asDouble(), 1.5);
    EXPECT_EQ(j["dc1"]["alert_m"][9].asUInt(), 3u);
}

TEST(RecordJson, NonFiniteValuesBecomeNullAndAnUnsetTimeIsEmpty) {
    q318b_419_Data_t r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.dc1.v = std::numeric_limits<float>::quiet_NaN();
    r.dc1.i = std::numeric_limits<float>::infinity();
    Json::Value j = RecordToJson(r);
    EXPECT_TRUE(j["dc1"]["v"].isNull());
    EXPECT_TRUE(j["dc1"]["i"].isNull());
    EXPECT_EQ(j["ttime"].asString(), "");
}

TEST(RecordJson, OnlyAWholeRecordIsAccepted) {
    q318b_419_Data_t r{};
    std::string bytes(2704, '\x01');
    EXPECT_TRUE(RecordFromBytes(bytes.data(), bytes.size(), r));
    EXPECT_EQ(r.data_id, 0x01010101u);
    EXPECT_FALSE(RecordFromBytes(bytes.data(), 2703, r));
    EXPECT_FALSE(RecordFromBytes(bytes.data(), 2705, r));
    EXPECT_FALSE(RecordFromBytes(nullptr, 2704, r));
}

}  // namespace
