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
    r.ac.channel_count = 2;
    r.ac.channel[0].a = 230.5f;
    r.ac.channel[1].p40_44[7] = 0xE2;
    r.rc.channel_count = 40;
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
    EXPECT_EQ(j["ac"]["channel_count"].asUInt(), 2u);
    EXPECT_DOUBLE_EQ(j["ac"]["channel"][0]["a"].asDouble(), 230.5);
    EXPECT_EQ(j["ac"]["channel"][1]["p40_44"][7].asUInt(), 0xE2u);
    EXPECT_EQ(j["rc"]["channel"].size(), 40u);
    EXPECT_EQ(j["rc"]["channel"][2]["fault"].asUInt(), 1u);
    EXPECT_DOUBLE_EQ(j["rc"]["channel"][39]["i"].asDouble(), 12.25);
    EXPECT_EQ(j["dc2"]["p"].size(), 27u);
    EXPECT_DOUBLE_EQ(j["dc2"]["p"][26].asDouble(), 1.5);
    EXPECT_EQ(j["dc1"]["alert_m"][9].asUInt(), 3u);
}

// The channels stop at the counts; a count past the capacity shows as many
// as the record holds, and the counts themselves as they were sent.
TEST(RecordJson, ChannelsStopAtTheCountsTheRecordGives) {
    const struct {
        uint8_t ac, rc;
        unsigned ac_shown, rc_shown;
    } cases[] = {{0, 0, 0, 0}, {1, 3, 1, 3}, {2, 40, 2, 40}, {3, 41, 2, 40}, {255, 255, 2, 40}};
    for (const auto& c : cases) {
        q318b_419_Data_t r;
        std::memset(static_cast<void*>(&r), 0, sizeof r);
        r.ac.channel_count = c.ac;
        r.rc.channel_count = c.rc;
        for (auto& m : r.rc.channel) m.fault = 9;
        const Json::Value j = RecordToJson(r);
        EXPECT_EQ(j["ac"]["channel"].size(), c.ac_shown) << unsigned(c.ac);
        EXPECT_EQ(j["rc"]["channel"].size(), c.rc_shown) << unsigned(c.rc);
        EXPECT_EQ(j["ac"]["channel_count"].asUInt(), c.ac);
        EXPECT_EQ(j["rc"]["channel_count"].asUInt(), c.rc);
        for (const auto& m : j["rc"]["channel"]) EXPECT_EQ(m["fault"].asUInt(), 9u);
    }
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
