// Rectifier replies (41 41, 41 43, 41 44) on hand-built INFO bytes. These
// decoders get the whole INFO field, DATAFLAG included.
#include <functional>

#include "protocol/decoders.h"
#include "tests/unit/decoder_test_util.h"

namespace {

const Bytes kV = {0xCD, 0xCC, 0x56, 0x42};       // 53.7
const Bytes kI1 = {0x33, 0x33, 0x2B, 0x41};      // 10.7
const Bytes kI2 = {0xCD, 0xCC, 0x34, 0x41};      // 11.3
const Bytes kTemp = {0xCD, 0xCC, 0x0E, 0x42};    // 35.7
const Bytes kU1 = {0x9A, 0x99, 0xD9, 0x3F};      // 1.7
const Bytes kU2 = {0x33, 0x33, 0x13, 0x40};      // 2.3
const Bytes kU3 = {0x9A, 0x99, 0x79, 0x40};      // 3.9
const Bytes kSpaces = {0x20, 0x20, 0x20, 0x20};  // not available
const Bytes kZero = {0x00, 0x00, 0x00, 0x00};

using Decoder = int (*)(q318b_rc_t&, const LayoutOptions&, const uint8_t*, int);

struct Case {
    const char* name;
    LayoutOptions opt;
    int modules_before;  // rc.channel_count left by an earlier analog reply
    Bytes in;
    int len;  // -1: the whole input
    int want;
    std::function<void(const q318b_rc_t&)> check;
    std::vector<std::string> printed;
};

LayoutOptions Opt(bool tower, int skip = 0) {
    LayoutOptions o;
    o.has_tower = tower;
    o.skip_41_41 = skip;
    return o;
}

Bytes Repeat(const Bytes& b, int n) {
    Bytes out;
    for (int k = 0; k < n; ++k) out.insert(out.end(), b.begin(), b.end());
    return out;
}

void RunCase(const Case& c, Decoder decode) {
    SCOPED_TRACE(c.name);
    q318b_rc_t rc;
    std::memset(static_cast<void*>(&rc), 0x5A, sizeof rc);
    rc.channel_count = static_cast<uint8_t>(c.modules_before);
    const int len = c.len == -1 ? static_cast<int>(c.in.size()) : c.len;
    std::vector<uint8_t> in(c.in.begin(), c.in.begin() + (len > 0 ? len : 0));
    int got = 0;
    const std::string out =
        Printed([&] { got = decode(rc, c.opt, in.empty() ? nullptr : in.data(), len); });
    EXPECT_EQ(got, c.want);
    if (c.check) c.check(rc);
    for (const auto& line : c.printed) EXPECT_NE(out.find(line), std::string::npos) << line;
}

bool Untouched(float f) {
    uint8_t raw[4];
    std::memcpy(raw, &f, 4);
    return raw[0] == 0x5A && raw[1] == 0x5A && raw[2] == 0x5A && raw[3] == 0x5A;
}

TEST(Decode41_41, Layouts) {
    const Bytes two_modules = Cat({{0x11},  // DATAFLAG
                                   kV,      // output voltage
                                   {0x02},  // N
                                   kI1,
                                   {0x00},  // module 1: current, P = 0
                                   kI2,
                                   {0x00}});  // module 2
    const Case cases[] = {
        {"two modules without user values: 16 bytes",
         {},
         0,
         two_modules,
         -1,
         16,
         [](const q318b_rc_t& rc) {
             EXPECT_FLOAT_EQ(Val(rc.v), 53.7f);
             EXPECT_EQ(rc.channel_count, 2);
             EXPECT_FLOAT_EQ(Val(rc.channel[0].i), 10.7f);
             EXPECT_FLOAT_EQ(Val(rc.channel[1].i), 11.3f);
             EXPECT_EQ(rc.channel[1].p41_41_count, 0);
             EXPECT_EQ(rc.channel[2].p41_41_count, 0x5A);
         },
         {"parse 41_41 channel is 2\n", "41_41_count:0\n"}},
        {"one byte short: -1 after the second module's current",
         {},
         0,
         two_modules,
         15,
         -1,
         [](const q318b_rc_t& rc) {
             EXPECT_FLOAT_EQ(Val(rc.channel[1].i), 11.3f);
             EXPECT_EQ(rc.channel[1].p41_41_count, 0x5A);
         },
         {}},
        {"not-available and zero user values both store 0",
         {},
         0,
         Cat({{0x11},
              kV,
              {0x01},
              kI1,
              {0x02},  // P = 2
              kSpaces,
              kZero}),
         -1,
         19,
         [](const q318b_rc_t& rc) {
             EXPECT_EQ(rc.channel[0].p41_41_count, 2);
             EXPECT_FLOAT_EQ(Val(rc.channel[0].p41_41[0]), 0.0f);
             EXPECT_FLOAT_EQ(Val(rc.channel[0].p41_41[1]), 0.0f);
             EXPECT_TRUE(Untouched(rc.channel[0].p41_41[2]));
         },
         {}},
        {"tower value first, user values after it",
         Opt(true),
         0,
         Cat({{0x11},
              kV,
              {0x01},
              kI1,
              {0x01},
              kTemp,  // T = 1
              {0x02},
              kU1,
              kSpaces}),  // P = 2, second not available
         -1,
         24,
         [](const q318b_rc_t& rc) {
             EXPECT_FLOAT_EQ(Val(rc.channel[0].p41_41[0]), 35.7f);
             EXPECT_FLOAT_EQ(Val(rc.channel[0].p41_41[1]), 1.7f);
             EXPECT_FLOAT_EQ(Val(rc.channel[0].p41_41[2]), 0.0f);
             EXPECT_EQ(rc.channel[0].p41_41_count, 2);
         },
         {"41 41 tower_count:1 temp:35.700001 p41_41:cd cc e 42\n", "41_41_count:2\n"}},
        {"three tower values: later places kept, values past the array dropped",
         Opt(true),
         0,
         Cat({{0x11},
              kV,
              {0x01},
              kI1,
              {0x03},
              kTemp,
              kU3,
              kU3,  // T = 3: only the first is stored
              {0x06},
              kU1,
              kU2,
              kU1,
              kU2,
              kU1,
              kU2}),  // P = 6: places 3 .. 8
         -1,
         1 + 4 + 1 + 4 + 13 + 25,
         [](const q318b_rc_t& rc) {
             const auto& ch = rc.channel[0];
             EXPECT_FLOAT_EQ(Val(ch.p41_41[0]), 35.7f);
             EXPECT_TRUE(Untouched(ch.p41_41[1]));
             EXPECT_TRUE(Untouched(ch.p41_41[2]));
             EXPECT_FLOAT_EQ(Val(ch.p41_41[3]), 1.7f);
             EXPECT_FLOAT_EQ(Val(ch.p41_41[6]), 2.3f);
             EXPECT_EQ(ch.state[0], 0x5A) << "nothing written past p41_41";
         },
         {}},
        {"skip bytes after every module, also after an over-long user block",
         Opt(false, 2),
         0,
         Cat({{0x11},
              kV,
              {0x02},
              kI1,
              {0x00},
              {0xE1, 0xE2},  // module 1, two skip bytes
              kI2,
              {0x09},
              Repeat(kU1, 9),
              {0xE3, 0xE4}}),  // module 2: P = 9
         -1,
         6 + 7 + 43,
         [](const q318b_rc_t& rc) {
             EXPECT_FLOAT_EQ(Val(rc.channel[1].i), 11.3f);
             EXPECT_EQ(rc.channel[1].p41_41_count, 9);
             EXPECT_TRUE(Untouched(rc.channel[1].p41_41[0]));
         },
         {"41_41_count:9\n"}},
        {"skip bytes past the end: -1",
         Opt(false, 3),
         0,
         Cat({{0x11}, kV, {0x01}, kI1, {0x00}, {0xE1, 0xE2}}),
         -1,
         -1,
         nullptr,
         {}},
        {"41 modules: the last consumed, not stored",
         {},
         0,
         Cat({{0x11}, kV, {0x29}, Repeat(Cat({kI1, {0x00}}), 40), kI2, {0x00}}),
         -1,
         6 + 41 * 5,
         [](const q318b_rc_t& rc) {
             EXPECT_EQ(rc.channel_count, 41);
             EXPECT_FLOAT_EQ(Val(rc.channel[39].i), 10.7f);
         },
         {"parse 41_41 channel is 41\n"}},
        {"a negative skip never moves before the start",
         Opt(false, -100),
         0,
         Cat({{0x11}, kZero, {0x02}, kI1, {0x00}}),
         -1,
         0,  // module 2 is read again from byte 0 and skips back to it
         [](const q318b_rc_t& rc) {
             uint8_t raw[4];
             std::memcpy(raw, &rc.channel[1], 4);
             EXPECT_EQ((Bytes{raw, raw + 4}), (Bytes{0x11, 0x00, 0x00, 0x00}));
             EXPECT_EQ(rc.channel[1].p41_41_count, 0);
         },
         {}},
        {"empty input",
         {},
         0,
         {},
         0,
         -1,
         [](const q318b_rc_t& rc) { EXPECT_TRUE(Untouched(rc.v)); },
         {}},
    };
    for (const auto& c : cases) RunCase(c, Decode41_41);
}

TEST(Decode41_43, Layouts) {
    const Case cases[] = {
        {"walks the modules of the analog reply, not its own count",
         {},
         3,
         {0x11,                                // DATAFLAG
          0x05,                                // the reply's module count: not used
          0xA1, 0xA2, 0xA3, 0x01, 0xC1,        // module 1: states, P = 1
          0xB1, 0xB2, 0xB3, 0x00,              // module 2
          0xD1, 0xD2, 0xD3, 0x02, 0xE1, 0xE2,  // module 3
          0xF7, 0xF8},                         // trailing: not read
         -1,
         17,
         [](const q318b_rc_t& rc) {
             EXPECT_EQ((Bytes{rc.channel[0].state, rc.channel[0].state + 3}),
                       (Bytes{0xA1, 0xA2, 0xA3}));
             EXPECT_EQ(rc.channel[0].p41_43_count, 1);
             EXPECT_EQ(rc.channel[0].p41_43[0], 0xC1);
             EXPECT_EQ(rc.channel[1].state[2], 0xB3);
             EXPECT_EQ(rc.channel[2].p41_43_count, 2);
             EXPECT_EQ(rc.channel[2].p41_43[1], 0xE2);
             EXPECT_EQ(rc.channel[3].state[0], 0x5A);
             EXPECT_EQ(rc.channel_count, 3);
         },
         {}},
        {"tower bytes skipped",
         Opt(true),
         1,
         {0x11, 0x01, 0xA1, 0xA2, 0xA3, 0x02, 0xD1, 0xD2,  // T = 2
          0x01, 0xC1},
         -1,
         10,
         [](const q318b_rc_t& rc) { EXPECT_EQ(rc.channel[0].p41_43[0], 0xC1); },
         {}},
        {"seven user bytes: counted, skipped",
         {},
         1,
         {0x11, 0x01, 0xA1, 0xA2, 0xA3, 0x07, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7},
         -1,
         13,
         [](const q318b_rc_t& rc) {
             EXPECT_EQ(rc.channel[0].p41_43_count, 7);
             EXPECT_EQ(rc.channel[0].p41_43[0], 0x5A);
         },
         {}},
        {"cut short",
         {},
         2,
         {0x11, 0x02, 0xA1, 0xA2, 0xA3, 0x00, 0xB1},
         -1,
         -1,
         [](const q318b_rc_t& rc) { EXPECT_EQ(rc.channel[1].state[0], 0xB1); },
         {}},
    };
    for (const auto& c : cases) RunCase(c, Decode41_43);
}

TEST(Decode41_44, Layouts) {
    const Case cases[] = {
        {"fault and user bytes",
         {},
         2,
         {0x11, 0x02, 0xF1, 0x02, 0xC1, 0xC2,  // module 1: fault, P = 2
          0x00, 0x00},                         // module 2: no fault
         -1,
         8,
         [](const q318b_rc_t& rc) {
             EXPECT_EQ(rc.channel[0].fault, 0xF1);
             EXPECT_EQ(rc.channel[0].p41_44_count, 2);
             EXPECT_EQ((Bytes{rc.channel[0].p41_44, rc.channel[0].p41_44 + 3}),
                       (Bytes{0xC1, 0xC2, 0x5A}));
             EXPECT_EQ(rc.channel[1].fault, 0x00);
         },
         {}},
        {"tower bytes come first",
         Opt(true),
         1,
         {0x11, 0x01, 0xF1, 0x02, 0xD1, 0xD2,  // T = 2
          0x03, 0xC1, 0xC2, 0xC3},             // P = 3
         -1,
         10,
         [](const q318b_rc_t& rc) {
             const auto& ch = rc.channel[0];
             EXPECT_EQ(ch.p41_44_count, 3);
             EXPECT_EQ((Bytes{ch.p41_44, ch.p41_44 + 6}),
                       (Bytes{0xD1, 0xD2, 0xC1, 0xC2, 0xC3, 0x5A}));
         },
         {}},
        {"tower and user bytes beyond eight places are dropped",
         Opt(true),
         2,
         {0x11, 0x02, 0xF1, 0x05, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5,  // T = 5
          0x05, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5,                    // P = 5: the last two dropped
          0xF2, 0x00, 0x00},                                     // module 2
         -1,
         18,
         [](const q318b_rc_t& rc) {
             const auto& ch = rc.channel[0];
             EXPECT_EQ(ch.p41_44_count, 5);
             EXPECT_EQ((Bytes{ch.p41_44, ch.p41_44 + 8}),
                       (Bytes{0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xC1, 0xC2, 0xC3}));
             EXPECT_TRUE(Untouched(rc.channel[1].i)) << "next module's current untouched";
             EXPECT_EQ(rc.channel[1].fault, 0xF2);
         },
         {}},
        {"nine user bytes: counted, skipped",
         {},
         1,
         {0x11, 0x01, 0xF1, 0x09, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9},
         -1,
         13,
         [](const q318b_rc_t& rc) {
             EXPECT_EQ(rc.channel[0].p41_44_count, 9);
             EXPECT_EQ(rc.channel[0].p41_44[0], 0x5A);
         },
         {}},
        {"cut short",
         {},
         1,
         {0x11, 0x01, 0xF1, 0x02, 0xC1},
         -1,
         -1,
         [](const q318b_rc_t& rc) { EXPECT_EQ(rc.channel[0].p41_44[0], 0xC1); },
         {}},
    };
    for (const auto& c : cases) RunCase(c, Decode41_44);
}

}  // namespace
