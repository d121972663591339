// AC distribution replies (40 41, 40 43, 40 44) on hand-built INFO bytes.
// The input starts after the DATAFLAG, as the sequencer hands it over.
#include <functional>

#include "protocol/decoders.h"
#include "tests/unit/decoder_test_util.h"

namespace {

// Floats as they travel, least significant byte first.
const Bytes kA1 = {0x33, 0xB3, 0x5C, 0x43};      // 220.7
const Bytes kB1 = {0xCD, 0x4C, 0x5D, 0x43};      // 221.3
const Bytes kC1 = {0x66, 0xE6, 0x5E, 0x43};      // 222.9
const Bytes kF1 = {0x66, 0x66, 0x48, 0x42};      // 50.1
const Bytes kA2 = {0x33, 0xB3, 0x66, 0x43};      // 230.7
const Bytes kB2 = {0xCD, 0x4C, 0x67, 0x43};      // 231.3
const Bytes kC2 = {0x66, 0xE6, 0x68, 0x43};      // 232.9
const Bytes kF2 = {0x9A, 0x99, 0x47, 0x42};      // 49.9
const Bytes kIa = {0x33, 0x33, 0x2B, 0x41};      // 10.7
const Bytes kIb = {0xCD, 0xCC, 0x34, 0x41};      // 11.3
const Bytes kIc = {0x66, 0x66, 0x4E, 0x41};      // 12.9
const Bytes kUser = {0x9A, 0x99, 0xD9, 0x3F};    // 1.7
const Bytes kSpaces = {0x20, 0x20, 0x20, 0x20};  // not available
const Bytes kZero = {0x00, 0x00, 0x00, 0x00};    // a real 0.0

q318b_ac_t Prefilled() {
    q318b_ac_t ac;
    std::memset(static_cast<void*>(&ac), 0x5A, sizeof ac);
    return ac;
}

struct Case {
    const char* name;
    LayoutOptions opt;
    Bytes in;
    int len;  // -1: the whole input; other negative values as given
    int want;
    std::function<void(const q318b_ac_t&)> check;
    std::vector<std::string> printed;      // lines that must appear
    std::vector<std::string> not_printed;  // texts that must not
};

LayoutOptions Tower() {
    LayoutOptions o;
    o.has_tower = true;
    return o;
}
LayoutOptions Lfcq93() {
    LayoutOptions o;
    o.lfcq93 = true;
    return o;
}

void RunCase(const Case& c, int (*decode)(q318b_ac_t&, const LayoutOptions&, const uint8_t*, int)) {
    SCOPED_TRACE(c.name);
    q318b_ac_t ac = Prefilled();
    // An exact-size heap copy, so that a read past the end shows under ASan.
    const int len = c.len == -1 ? static_cast<int>(c.in.size()) : c.len;
    std::vector<uint8_t> in(c.in.begin(), c.in.begin() + (len > 0 ? len : 0));
    int got = 0;
    const std::string out =
        Printed([&] { got = decode(ac, c.opt, in.empty() ? nullptr : in.data(), len); });
    EXPECT_EQ(got, c.want);
    if (c.check) c.check(ac);
    for (const auto& line : c.printed) EXPECT_NE(out.find(line), std::string::npos) << line;
    for (const auto& text : c.not_printed) EXPECT_EQ(out.find(text), std::string::npos) << text;
}

TEST(Decode40_41, Layouts) {
    const Bytes one_input = Cat({{0x01},  // M: one AC input
                                 kA1,
                                 kB1,
                                 kC1,
                                 kF1,
                                 {0x00},  // P: no user values
                                 kIa,
                                 kIb,
                                 kIc});
    const Case cases[] = {
        {"one input, no user values: 1 + 16 + 1 + 12 bytes",
         {},
         one_input,
         -1,
         30,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel_count, 1);
             EXPECT_FLOAT_EQ(Val(ac.channel[0].a), 220.7f);
             EXPECT_FLOAT_EQ(Val(ac.channel[0].b), 221.3f);
             EXPECT_FLOAT_EQ(Val(ac.channel[0].c), 222.9f);
             EXPECT_FLOAT_EQ(Val(ac.channel[0].f), 50.1f);
             EXPECT_EQ(ac.channel[0].p40_41_count, 0);
             EXPECT_FLOAT_EQ(Val(ac.ia), 10.7f);
             EXPECT_FLOAT_EQ(Val(ac.ib), 11.3f);
             EXPECT_FLOAT_EQ(Val(ac.ic), 12.9f);
             EXPECT_EQ(ac.channel[1].a_alarm, 0x5A) << "second input untouched";
         },
         {"parse40_41 channel_count is 1\n", "a 33 b3 5c 43\n", "parse40_41 acChannel.a is 220.7\n",
          "ia is 10.700000\n"},
         {"tower_count", "acChannel.p40_41_count"}},
        {"not-available markers and a real zero",
         {},
         Cat({{0x01},
              kZero,    // A: 0.0 is a value
              kSpaces,  // B: not available -> 0
              kC1,
              kF1,
              {0x00},
              kSpaces,  // ia: not available -> -0.1
              kZero,    // ib: 0.0
              kSpaces}),
         -1,
         30,
         [](const q318b_ac_t& ac) {
             EXPECT_FLOAT_EQ(Val(ac.channel[0].a), 0.0f);
             EXPECT_FLOAT_EQ(Val(ac.channel[0].b), 0.0f);
             EXPECT_FLOAT_EQ(Val(ac.channel[0].c), 222.9f);
             EXPECT_FLOAT_EQ(Val(ac.ia), -0.1f);
             EXPECT_FLOAT_EQ(Val(ac.ib), 0.0f);
             EXPECT_FLOAT_EQ(Val(ac.ic), -0.1f);
         },
         {"a 0 0 0 0\n"},
         {"ia is"}},
        {"two user values are counted, printed and skipped",
         {},
         Cat({{0x01},
              kA1,
              kB1,
              kC1,
              kF1,
              {0x02},  // P = 2
              kUser,
              kUser,
              kIa,
              kIb,
              kIc}),
         -1,
         38,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel[0].p40_41_count, 2);
             EXPECT_FLOAT_EQ(Val(ac.ia), 10.7f);
         },
         {"acChannel.p40_41_count 2\n"},
         {}},
        {"tower block of three values skipped per input",
         Tower(),
         Cat({{0x01},
              kA1,
              kB1,
              kC1,
              kF1,
              {0x03},  // T = 3
              kUser,
              kUser,
              kUser,
              {0x00},  // P
              kIa,
              kIb,
              kIc}),
         -1,
         43,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel[0].p40_41_count, 0);
             EXPECT_FLOAT_EQ(Val(ac.ic), 12.9f);
         },
         {"tower_count is 3\n"},
         {}},
        {"a third input is consumed, not stored",
         {},
         Cat({{0x03},  // M = 3
              kA1,
              kB1,
              kC1,
              kF1,
              {0x00},  // input 1
              kA2,
              kB2,
              kC2,
              kF2,
              {0x00},  // input 2
              kUser,
              kUser,
              kUser,
              kUser,
              {0x00},  // input 3
              kIa,
              kIb,
              kIc}),
         -1,
         1 + 3 * 17 + 12,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel_count, 3);
             EXPECT_FLOAT_EQ(Val(ac.channel[0].a), 220.7f);
             EXPECT_FLOAT_EQ(Val(ac.channel[1].a), 230.7f);
             EXPECT_FLOAT_EQ(Val(ac.channel[1].f), 49.9f);
             EXPECT_FLOAT_EQ(Val(ac.ia), 10.7f);
             EXPECT_FLOAT_EQ(Val(ac.ic), 12.9f);
         },
         {"parse40_41 acChannel.a is 1.7\n"},
         {}},
        {"lfcq93 model: ignored byte and one printed float",
         Lfcq93(),
         Cat({{0x01},
              kA1,
              kB1,
              kC1,
              kF1,
              {0x07},   // ignored
              kSpaces,  // printed as is
              kIa,
              kIb,
              kIc}),
         -1,
         34,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel[0].p40_41_count, 1);
             EXPECT_FLOAT_EQ(Val(ac.ia), 10.7f);
         },
         {"parse40_41 1:0.000000\n"},
         {"acChannel.p40_41_count"}},
        {"cut in the last current: -1, earlier fields kept",
         {},
         one_input,
         29,
         -1,
         [](const q318b_ac_t& ac) {
             EXPECT_FLOAT_EQ(Val(ac.channel[0].a), 220.7f);
             EXPECT_FLOAT_EQ(Val(ac.ib), 11.3f);
             EXPECT_EQ(std::memcmp(&ac.ic, "\x5A\x5A\x5A\x5A", 4), 0);
         },
         {},
         {}},
        {"user values announced past the end",
         {},
         Cat({{0x01}, kA1, kB1, kC1, kF1, {0x05}, kUser}),
         -1,
         -1,
         nullptr,
         {"acChannel.p40_41_count 5\n"},
         {}},
        {"empty input",
         {},
         {},
         0,
         -1,
         [](const q318b_ac_t& ac) { EXPECT_EQ(ac.channel_count, 0x5A); },
         {},
         {}},
        {"negative length",
         {},
         one_input,
         -3,
         -1,
         [](const q318b_ac_t& ac) { EXPECT_EQ(ac.channel_count, 0x5A); },
         {},
         {}},
    };
    for (const auto& c : cases) RunCase(c, Decode40_41);
}

TEST(Decode40_43, Layouts) {
    const Case cases[] = {
        {"three status bytes",
         {},
         {0x00,               // S: no switch states
          0x03,               // P = 3
          0xA1, 0xB2, 0xC3},  // status bytes
         -1,
         5,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.airlock_count, 0);
             EXPECT_EQ(ac.p40_43_count, 3);
             EXPECT_EQ(ac.p40_43[0], 0xA1);
             EXPECT_EQ(ac.p40_43[1], 0xB2);
             EXPECT_EQ(ac.p40_43[2], 0xC3);
         },
         {},
         {}},
        {"a switch-state byte rejects the reply",
         {},
         {0x01,  // S = 1: no room
          0x03, 0xA1, 0xB2, 0xC3},
         -1,
         -1,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.airlock_count, 1);
             EXPECT_EQ(ac.p40_43_count, 0x5A);
             EXPECT_EQ(ac.p40_43[0], 0x5A);
         },
         {},
         {}},
        {"four status bytes are skipped",
         {},
         {0x00, 0x04, 0xA1, 0xB2, 0xC3, 0xD4},
         -1,
         6,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.p40_43_count, 4);
             EXPECT_EQ(ac.p40_43[0], 0x5A);
         },
         {},
         {}},
        {"tower bytes skipped",
         Tower(),
         {0x00, 0x02, 0xE1, 0xE2,  // T = 2 and its bytes
          0x01, 0xD4},             // P = 1
         -1,
         6,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.p40_43_count, 1);
             EXPECT_EQ(ac.p40_43[0], 0xD4);
         },
         {},
         {}},
        {"status bytes cut short",
         {},
         {0x00, 0x03, 0xA1},
         -1,
         -1,
         [](const q318b_ac_t& ac) { EXPECT_EQ(ac.p40_43_count, 3); },
         {},
         {}},
    };
    for (const auto& c : cases) RunCase(c, Decode40_43);
}

TEST(Decode40_44, Layouts) {
    const Case cases[] = {
        {"plain: fuse bytes consumed, user bytes stored",
         {},
         {0x01,                    // M
          0xA1, 0xA2, 0xA3, 0xA4,  // a, b, c, f alarms
          0x02, 0xF1, 0xF2,        // fuses: dropped
          0x03, 0xC1, 0xC2, 0xC3,  // P = 3
          0xB1, 0xB2, 0xB3},       // ia, ib, ic alarms
         -1,
         15,
         [](const q318b_ac_t& ac) {
             const auto& ch = ac.channel[0];
             EXPECT_EQ(ch.a_alarm, 0xA1);
             EXPECT_EQ(ch.b_alarm, 0xA2);
             EXPECT_EQ(ch.c_alarm, 0xA3);
             EXPECT_EQ(ch.f_alarm, 0xA4);
             EXPECT_EQ(ch.p40_44_count, 3);
             EXPECT_EQ((Bytes{ch.p40_44, ch.p40_44 + 4}), (Bytes{0xC1, 0xC2, 0xC3, 0x5A}));
             EXPECT_EQ(ac.ia_alarm, 0xB1);
             EXPECT_EQ(ac.ib_alarm, 0xB2);
             EXPECT_EQ(ac.ic_alarm, 0xB3);
             EXPECT_EQ(ac.channel_count, 0x5A) << "set by the analog reply only";
         },
         {"channel is 1\n"},
         {"overflow"}},
        {"lfcq93: fuses first, final byte after the user bytes",
         Lfcq93(),
         {0x01, 0xA1, 0xA2, 0xA3, 0xA4, 0x02, 0xF1, 0xF2,  // fuses, stored
          0x03, 0xC1, 0xC2, 0xC3,                          // user bytes
          0xB1, 0xB2, 0xB3, 0xE9},                         // the model's extra byte
         -1,
         16,
         [](const q318b_ac_t& ac) {
             const auto& ch = ac.channel[0];
             EXPECT_EQ(ch.p40_44_count, 3);
             EXPECT_EQ((Bytes{ch.p40_44, ch.p40_44 + 7}),
                       (Bytes{0xF1, 0xF2, 0xC1, 0xC2, 0xC3, 0xE9, 0x5A}));
         },
         {},
         {}},
        {"tower bytes before the user bytes",
         Tower(),
         {0x01, 0xA1, 0xA2, 0xA3, 0xA4, 0x01, 0xF1,  // fuse
          0x02, 0xD1, 0xD2,                          // T = 2
          0x02, 0xC1, 0xC2,                          // P = 2
          0xB1, 0xB2, 0xB3},
         -1,
         16,
         [](const q318b_ac_t& ac) {
             const auto& ch = ac.channel[0];
             EXPECT_EQ(ch.p40_44_count, 2);
             EXPECT_EQ((Bytes{ch.p40_44, ch.p40_44 + 5}), (Bytes{0xD1, 0xD2, 0xC1, 0xC2, 0x5A}));
         },
         {},
         {}},
        {"three inputs: the third consumed",
         {},
         {0x03, 0xA1, 0xA2, 0xA3, 0xA4, 0x00, 0x01, 0xC1,  // input 1
          0xA5, 0xA6, 0xA7, 0xA8, 0x00, 0x01, 0xC2,        // input 2
          0xA9, 0xAA, 0xAB, 0xAC, 0x00, 0x01, 0xC3,        // input 3
          0xB1, 0xB2, 0xB3},
         -1,
         25,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel[0].a_alarm, 0xA1);
             EXPECT_EQ(ac.channel[0].p40_44[0], 0xC1);
             EXPECT_EQ(ac.channel[1].f_alarm, 0xA8);
             EXPECT_EQ(ac.channel[1].p40_44[0], 0xC2);
             EXPECT_EQ(ac.ia_alarm, 0xB1);
             EXPECT_EQ(ac.ic_alarm, 0xB3);
         },
         {"channel is 3\n"},
         {}},
        {"nine user bytes: counted, skipped",
         {},
         {0x01, 0xA1, 0xA2, 0xA3, 0xA4, 0x00, 0x09, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8,
          0xC9, 0xB1, 0xB2, 0xB3},
         -1,
         19,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel[0].p40_44_count, 9);
             EXPECT_EQ(ac.channel[0].p40_44[0], 0x5A);
             EXPECT_EQ(ac.ib_alarm, 0xB2);
         },
         {},
         {}},
        {"lfcq93 with more fuse and tower bytes than places",
         [] {
             LayoutOptions o;
             o.lfcq93 = true;
             o.has_tower = true;
             return o;
         }(),
         {0x01, 0xA1, 0xA2, 0xA3, 0xA4, 0x06, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6,  // six fuses
          0x03, 0xD1, 0xD2, 0xD3,  // three tower bytes: one too many
          0x01, 0xC1,              // one user byte: no room
          0xB1, 0xB2, 0xB3, 0xE9},
         -1,
         22,
         [](const q318b_ac_t& ac) {
             const auto& ch = ac.channel[0];
             EXPECT_EQ(ch.p40_44_count, 1);
             EXPECT_EQ((Bytes{ch.p40_44, ch.p40_44 + 8}),
                       (Bytes{0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xD1, 0xD2}));
             uint8_t next[4];
             std::memcpy(next, &ac.channel[1].a, 4);
             EXPECT_EQ((Bytes{next, next + 4}), (Bytes{0x5A, 0x5A, 0x5A, 0x5A}))
                 << "nothing written past p40_44";
         },
         {},
         {}},
        {"overrun: message and a non-negative count",
         {},
         {0x01, 0xA1, 0xA2, 0xA3, 0xA4, 0x00, 0x05, 0xC1},
         -1,
         8,
         [](const q318b_ac_t& ac) {
             EXPECT_EQ(ac.channel[0].p40_44_count, 5);
             EXPECT_EQ(ac.channel[0].p40_44[0], 0xC1);
             EXPECT_EQ(ac.ia_alarm, 0x5A);
         },
         {"PMBusPowerAC:ProcotolError read 40_44 read overflow\n"},
         {}},
        {"empty input",
         {},
         {},
         0,
         0,
         nullptr,
         {"PMBusPowerAC:ProcotolError read 40_44 read overflow\n"},
         {"channel is"}},
    };
    for (const auto& c : cases) RunCase(c, Decode40_44);
}

}  // namespace
