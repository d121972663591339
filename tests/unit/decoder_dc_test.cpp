// DC distribution group blocks (42 41, 42 44) on hand-built bytes. The
// input is one group block, as the sequencer hands it over.
#include <functional>

#include "protocol/decoders.h"
#include "tests/unit/decoder_test_util.h"

namespace {

const Bytes kV = {0xCD, 0xCC, 0x56, 0x42};       // 53.7
const Bytes kI = {0x66, 0x66, 0xCA, 0x41};       // 25.3
const Bytes kM1 = {0x9A, 0x99, 0xD9, 0x3F};      // 1.7
const Bytes kM2 = {0x33, 0x33, 0x13, 0x40};      // 2.3
const Bytes kP1 = {0x9A, 0x99, 0x79, 0x40};      // 3.9
const Bytes kSpaces = {0x20, 0x20, 0x20, 0x20};  // not available
const Bytes kZero = {0x00, 0x00, 0x00, 0x00};

using Decoder = int (*)(q318b_dc_t&, const LayoutOptions&, const uint8_t*, int);

struct Case {
    const char* name;
    int dc_i_adjust;
    Bytes in;
    int want;
    std::function<void(const q318b_dc_t&)> check;
    std::vector<std::string> printed;
};

bool Untouched(float f) {
    uint8_t raw[4];
    std::memcpy(raw, &f, 4);
    return raw[0] == 0x5A && raw[1] == 0x5A && raw[2] == 0x5A && raw[3] == 0x5A;
}

void RunCase(const Case& c, Decoder decode) {
    SCOPED_TRACE(c.name);
    q318b_dc_t dc;
    std::memset(static_cast<void*>(&dc), 0x5A, sizeof dc);
    LayoutOptions opt;
    opt.dc_i_adjust = c.dc_i_adjust;
    std::vector<uint8_t> in(c.in);
    int got = 0;
    const std::string out = Printed([&] {
        got = decode(dc, opt, in.empty() ? nullptr : in.data(), static_cast<int>(in.size()));
    });
    EXPECT_EQ(got, c.want);
    if (c.check) c.check(dc);
    for (const auto& line : c.printed) EXPECT_NE(out.find(line), std::string::npos) << line;
}

TEST(Decode42_41, Layouts) {
    const Case cases[] = {
        {"two battery currents, one user value: 23 bytes",
         1,
         Cat({kV,
              kI,
              {0x02},
              kM1,
              kM2,     // M = 2
              {0x00},  // N = 0
              {0x01},
              kP1}),  // P = 1
         23,
         [](const q318b_dc_t& dc) {
             EXPECT_FLOAT_EQ(Val(dc.v), 53.7f);
             EXPECT_FLOAT_EQ(Val(dc.i), 25.3f);
             EXPECT_EQ(dc.m_count, 2);
             EXPECT_FLOAT_EQ(Val(dc.m[0]), 1.7f);
             EXPECT_FLOAT_EQ(Val(dc.m[1]), 2.3f);
             EXPECT_EQ(dc.n_count, 0);
             EXPECT_EQ(dc.p_count, 1);
             EXPECT_FLOAT_EQ(Val(dc.p[0]), 3.9f);
             EXPECT_TRUE(Untouched(dc.p[1]));
         },
         {"parse42_41 53.700001 25.299999\n"}},
        {"load current scaled by dc_i_adjust",
         -1,
         Cat({kV, kI, {0x00}, {0x00}, {0x00}}),
         11,
         [](const q318b_dc_t& dc) { EXPECT_FLOAT_EQ(Val(dc.i), -25.3f); },
         {"parse42_41 53.700001 -25.299999\n"}},
        {"not-available user value -0.1, zero stays 0",
         1,
         Cat({kV, kI, {0x00}, {0x00}, {0x02}, kSpaces, kZero}),
         19,
         [](const q318b_dc_t& dc) {
             EXPECT_FLOAT_EQ(Val(dc.p[0]), -0.1f);
             EXPECT_FLOAT_EQ(Val(dc.p[1]), 0.0f);
         },
         {}},
        {"too many battery and branch currents are skipped",
         1,
         Cat({kV,
              kI,
              {0x03},
              kM1,
              kM1,
              kM1,  // M = 3: no room
              {0x02},
              kM2,
              kM2,  // N = 2: never stored
              {0x01},
              kP1}),
         4 + 4 + 13 + 9 + 5,
         [](const q318b_dc_t& dc) {
             EXPECT_EQ(dc.m_count, 3);
             EXPECT_TRUE(Untouched(dc.m[0]));
             EXPECT_EQ(dc.n_count, 2);
             EXPECT_FLOAT_EQ(Val(dc.p[0]), 3.9f);
         },
         {}},
        {"28 user values: the whole input counts as taken",
         1,
         Cat({kV, kI, {0x00}, {0x00}, {0x1C}, kP1, kP1}),
         19,
         [](const q318b_dc_t& dc) {
             EXPECT_EQ(dc.p_count, 28);
             EXPECT_TRUE(Untouched(dc.p[0]));
         },
         {}},
        {"cut in a user value: -1, earlier fields kept",
         1,
         Cat({kV, kI, {0x00}, {0x00}, {0x02}, kP1, {0x9A, 0x99}}),
         -1,
         [](const q318b_dc_t& dc) {
             EXPECT_FLOAT_EQ(Val(dc.i), 25.3f);
             EXPECT_FLOAT_EQ(Val(dc.p[0]), 3.9f);
             EXPECT_TRUE(Untouched(dc.p[1]));
         },
         {}},
        {"empty input", 1, {}, -1, [](const q318b_dc_t& dc) { EXPECT_TRUE(Untouched(dc.v)); }, {}},
    };
    for (const auto& c : cases) RunCase(c, Decode42_41);
}

TEST(Decode42_44, Layouts) {
    Bytes many_user = {0xA1, 0x00, 0x5A};  // P = 90
    for (int k = 0; k < 90; ++k) many_user.push_back(static_cast<uint8_t>(k));
    const Case cases[] = {
        {"voltage alarm, fuses and user bytes",
         1,
         {0xA1,                     // DC voltage alarm
          0x02, 0xF1, 0xF2,         // F = 2
          0x03, 0xC1, 0xC2, 0xC3},  // P = 3
         8,
         [](const q318b_dc_t& dc) {
             EXPECT_EQ(dc.v_alarm, 0xA1);
             EXPECT_EQ(dc.alert_m_count, 2);
             EXPECT_EQ((Bytes{dc.alert_m, dc.alert_m + 3}), (Bytes{0xF1, 0xF2, 0x5A}));
             EXPECT_EQ(dc.alert_p_count, 3);
             EXPECT_EQ((Bytes{dc.alert_p, dc.alert_p + 4}), (Bytes{0xC1, 0xC2, 0xC3, 0x5A}));
         },
         {}},
        {"twelve fuses: ten kept, the user count read after all twelve",
         1,
         {0xA1, 0x0C, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0x01,
          0xC1},
         16,
         [](const q318b_dc_t& dc) {
             EXPECT_EQ(dc.alert_m_count, 12);
             EXPECT_EQ(dc.alert_m[9], 0xFA);
             EXPECT_EQ(dc.alert_p_count, 1);
             EXPECT_EQ(dc.alert_p[0], 0xC1);
         },
         {}},
        {"ninety user bytes: 87 kept",
         1,
         many_user,
         93,
         [](const q318b_dc_t& dc) {
             EXPECT_EQ(dc.alert_p_count, 90);
             EXPECT_EQ(dc.alert_p[0], 0);
             EXPECT_EQ(dc.alert_p[86], 86);
         },
         {}},
        {"cut in the fuse bytes",
         1,
         {0xA1, 0x03, 0xF1},
         -1,
         [](const q318b_dc_t& dc) {
             EXPECT_EQ(dc.alert_m_count, 3);
             EXPECT_EQ(dc.alert_p_count, 0x5A);
         },
         {}},
        {"empty input", 1, {}, -1, [](const q318b_dc_t& dc) { EXPECT_EQ(dc.v_alarm, 0x5A); }, {}},
    };
    for (const auto& c : cases) RunCase(c, Decode42_44);
}

}  // namespace
