// Frame codec: encoding, checking and reassembly of telecom power frames.
// Every expected frame below was worked out by hand (character sums in the
// comments), not produced by the encoder under test.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "runtime/wire/frame_codec.h"

using namespace wire;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

// Feeds `text` in one read and returns the replies for address 1.
std::vector<Reply> FeedAll(ReplyAssembler& a, const std::string& text, uint8_t adr = 1) {
    std::vector<Reply> out;
    a.Feed(reinterpret_cast<const uint8_t*>(text.data()), text.size(), Address(adr), &out);
    return out;
}

}  // namespace

TEST(CodecChecksum, HandWorkedVectors) {
    struct Case {
        const char* text;
        uint16_t chksum;
    } cases[] = {
        // '2'+'0'+'0'+'1'+'4'+'0'+'4'+'1'+'E'+'0'+'0'+'2'+'0'+'1' = 708 = 0x02C4
        {"20014041E00201", 0xFD3C},
        // 50+48+48+49+52+49+52+49+48+48+48+48 = 589 = 0x024D
        {"200141410000", 0xFDB3},
        // eight spaces count as 8 * 0x20 = 256 on top of "20014000" (391)
        {"20014000        ", 0xFD79},
        // nothing at all sums to 0, whose complement modulo 65536 is 0
        {"", 0x0000},
    };
    for (const auto& c : cases) EXPECT_EQ(FrameChecksum(c.text), c.chksum) << c.text;
}

TEST(CodecChecksum, LengthFieldVectors) {
    struct Case {
        uint16_t lenid;
        uint16_t length;
    } cases[] = {
        {0x000, 0x0000},  // nibble sum 0
        {0x002, 0xE002},  // 2 + 14 = 16
        {0x012, 0xD012},  // 1 + 2 = 3, 3 + 13 = 16
        {0x00E, 0x200E},  // 14 + 2 = 16
        {0xFFF, 0x3FFF},  // 45 = 2 * 16 + 13, 13 + 3 = 16
        {0x528, 0x1528},  // 5 + 2 + 8 = 15, 15 + 1 = 16
    };
    for (const auto& c : cases) EXPECT_EQ(LengthField(c.lenid), c.length) << c.lenid;
}

TEST(CodecEncode, CommandsOfThePollChainAndControl) {
    struct Case {
        uint8_t adr, cid1, cid2;
        std::vector<uint8_t> info;
        const char* frame;
    } cases[] = {
        {1, 0x40, 0x41, {0x01}, "~20014041E00201FD3C\r"},
        {1, 0x41, 0x41, {}, "~200141410000FDB3\r"},
        {1, 0x42, 0x44, {0xFF}, "~20014244E002FFFD0C\r"},
        {1, 0x42, 0x48, {0xF2, 0x00, 0x00, 0x56, 0x42}, "~20014248600AF200005642FB8B\r"},
        {1, 0x41, 0x45, {0x20, 0x03}, "~20014145C0042003FCD3\r"},
        {0x0A, 0x41, 0x4E, {1, 2, 3, 4, 5, 6, 7}, "~200A414E200E01020304050607FABC\r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeCommand(Version(0x20), Address(c.adr), c.cid1, c.cid2, c.info.data(),
                                c.info.size()),
                  c.frame);
    }
}

TEST(CodecEncode, RefusesInfoThatLengthCannotCarry) {
    std::vector<uint8_t> info(kMaxInfoBytes + 1, 0x11);
    EXPECT_EQ(EncodeCommand(Version(0x20), Address(1), 0x41, 0x41, info.data(), info.size()), "");
    info.pop_back();
    const std::string f =
        EncodeCommand(Version(0x20), Address(1), 0x41, 0x41, info.data(), info.size());
    ASSERT_FALSE(f.empty());
    Frame back;
    ASSERT_EQ(ParseFrameBody(std::string_view(f).substr(1, f.size() - 2), &back),
              FrameError::kNone);
    EXPECT_EQ(back.info, info);
    std::string out = "unchanged";
    EXPECT_FALSE(EncodeFrameText(Version(0x20), Address(1), 0x41, 0x41, "ABC", &out));
    EXPECT_EQ(out, "unchanged");
}

TEST(CodecEncode, RoundTripThroughTheReassembler) {
    std::mt19937 rng(1234);
    for (size_t len : {0u, 1u, 2u, 7u, 30u, 255u, 256u, 1326u, 2047u}) {
        std::vector<uint8_t> info(len);
        for (auto& b : info) b = static_cast<uint8_t>(rng());
        const uint8_t cid1 = static_cast<uint8_t>(0x40 + len % 3);
        // A reply is a frame whose CID2 is the RTN; 0 lets it through.
        const std::string text =
            EncodeCommand(Version(0x21), Address(0x33), cid1, 0x00, info.data(), info.size());
        ReplyAssembler a;
        auto replies = FeedAll(a, text, 0x33);
        ASSERT_EQ(replies.size(), 1u) << len;
        ASSERT_EQ(replies[0].error, FrameError::kNone) << len;
        const auto& rf = replies[0].reply_frame;
        ASSERT_EQ(rf.size(), 6 + len);
        EXPECT_EQ(rf[0], 0x21);
        EXPECT_EQ(rf[1], 0x33);
        EXPECT_EQ(rf[2], cid1);
        EXPECT_EQ(rf[3], 0x00);
        EXPECT_EQ(rf[4] << 8 | rf[5], static_cast<int>(len * 2)) << "LCHKSUM cleared";
        EXPECT_EQ(std::vector<uint8_t>(rf.begin() + 6, rf.end()), info);
    }
}

// One frame per reply type, typed out with its spaces for values that are
// not available, and the reply_frame_ bytes each must give.
TEST(CodecDecode, HandWrittenRepliesOfEveryType) {
    struct Case {
        const char* name;
        const char* text;
        std::vector<uint8_t> frame;
    } cases[] = {
        {"40 41",
         // DATAFLAG 00, M 01, a 230.0, b spaces, c "20202020", f 50.0, P 00,
         // ia 10.5, ib spaces, ic 0.0
         "~20014000F03E000100006643        20202020000048420000002841        00000000F2AE\r",
         {0x20, 0x01, 0x40, 0x00, 0x00, 0x3E, 0x00, 0x01, 0x00, 0x00, 0x66, 0x43, 0x20,
          0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x48, 0x42, 0x00, 0x00,
          0x00, 0x28, 0x41, 0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x00, 0x00}},
        {"40 43",
         // DATAFLAG, S 00, P 02, status 01 02
         "~20014000600A0000020102FBBD\r",
         {0x20, 0x01, 0x40, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x01, 0x02}},
        {"40 44",
         // DATAFLAG, M 01, alarms A B C F 00 01 02 03, F 02 fuses 04 05,
         // P 01 user 06, current alarms 07 08 09
         "~20014000301C0001000102030204050106070809F831\r",
         {0x20, 0x01, 0x40, 0x00, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x01,
          0x02, 0x03, 0x02, 0x04, 0x05, 0x01, 0x06, 0x07, 0x08, 0x09}},
        {"41 41",
         // DATAFLAG, v 53.5, N 02, module 1: i 12.0, P 01, user spaces;
         // module 2: i 13.0, P 00
         "~2001410060280000005642020000404101        0000504100F681\r",
         {0x20, 0x01, 0x41, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x56, 0x42, 0x02, 0x00,
          0x00, 0x40, 0x41, 0x01, 0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x50, 0x41, 0x00}},
        {"41 43",
         // DATAFLAG, N 02, module 1: 00 01 02 P 00; module 2: 01 02 03 P 01 E1
         "~20014100901600020001020001020301E1F966\r",
         {0x20, 0x01, 0x41, 0x00, 0x00, 0x16, 0x00, 0x02, 0x00, 0x01, 0x02, 0x00, 0x01, 0x02, 0x03,
          0x01, 0xE1}},
        {"41 44",
         // DATAFLAG, N 02, module 1: fault 00 P 00; module 2: fault 03 P 01 E0
         "~20014100200E000200000301E0FAE6\r",
         {0x20, 0x01, 0x41, 0x00, 0x00, 0x0E, 0x00, 0x02, 0x00, 0x00, 0x03, 0x01, 0xE0}},
        {"42 41",
         // DATAFLAG, D 01, v 53.5, i 25.0, M 01 -2.5, N 00, P 02 spaces 1.0
         "~20014200B0320001000056420000C84101000020C00002        0000803FF455\r",
         {0x20, 0x01, 0x42, 0x00, 0x00, 0x32, 0x00, 0x01, 0x00, 0x00, 0x56,
          0x42, 0x00, 0x00, 0xC8, 0x41, 0x01, 0x00, 0x00, 0x20, 0xC0, 0x00,
          0x02, 0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x80, 0x3F}},
        {"42 44",
         // DATAFLAG, D 01, v_alarm 00, F 02 fuses 03 04, P 01 user 05
         "~20014200F0100001000203040105FA90\r",
         {0x20, 0x01, 0x42, 0x00, 0x00, 0x10, 0x00, 0x01, 0x00, 0x02, 0x03, 0x04, 0x01, 0x05}},
        {"control", "~200141000000FDB8\r", {0x20, 0x01, 0x41, 0x00, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        ReplyAssembler a;
        auto r = FeedAll(a, c.text);
        ASSERT_EQ(r.size(), 1u) << c.name;
        EXPECT_EQ(r[0].error, FrameError::kNone) << c.name << ": " << ToString(r[0].error);
        EXPECT_EQ(r[0].reply_frame, c.frame) << c.name;
    }
}

namespace {

// A valid reply: 41 44 with two modules. Body offsets: VER 0, ADR 2, CID1 4,
// RTN 6, LENGTH 8, INFO 12..25, CHKSUM 26.
const std::string kGood = "~20014100200E000200000301E0FAE6\r";

// Replaces the CHKSUM so that only the intended field is wrong.
std::string Resum(std::string f) {
    const size_t ck = f.size() - 5;
    char buf[5];
    std::snprintf(buf, sizeof buf, "%04X", FrameChecksum(std::string_view(f).substr(1, ck - 1)));
    f.replace(ck, 4, buf);
    return f;
}

std::string Put(std::string f, size_t body_at, const std::string& s) {
    f.replace(1 + body_at, s.size(), s);
    return f;
}

}  // namespace

TEST(CodecDamage, EveryCorruptedFieldIsRejected) {
    struct Case {
        const char* what;
        std::string text;
        FrameError error;
    } cases[] = {
        {"VER not hex", Resum(Put(kGood, 0, "2G")), FrameError::kBadHex},
        {"ADR as spaces", Resum(Put(kGood, 2, "  ")), FrameError::kBadHex},
        {"CID1 not hex", Resum(Put(kGood, 4, "4x")), FrameError::kBadHex},
        {"LENGTH not hex", Resum(Put(kGood, 8, "2Z")), FrameError::kBadHex},
        {"INFO not hex", Resum(Put(kGood, 12, "0Q")), FrameError::kBadHex},
        {"INFO half a space", Resum(Put(kGood, 14, " 2")), FrameError::kBadHex},
        {"CHKSUM not hex", Put(kGood, 26, "FAEG"), FrameError::kBadHex},
        {"LCHKSUM nibble", Resum(Put(kGood, 8, "3")), FrameError::kBadLchksum},
        // LENID 0x010 with its own LCHKSUM: says 16 characters, 14 came
        {"LENID longer than INFO", Resum(Put(kGood, 8, "F010")), FrameError::kLengthMismatch},
        // LENID 0x00C, LCHKSUM 4: says 12 characters, 14 came
        {"LENID shorter than INFO", Resum(Put(kGood, 8, "400C")), FrameError::kLengthMismatch},
        {"CHKSUM off by one", Put(kGood, 26, "FAE7"), FrameError::kBadChksum},
        {"INFO digit changed", Put(kGood, 12, "01"), FrameError::kBadChksum},
        {"RTN changed, CHKSUM kept", Put(kGood, 6, "02"), FrameError::kBadChksum},
        {"foreign address", Resum(Put(kGood, 2, "02")), FrameError::kWrongAddress},
        {"RTN 2", Resum(Put(kGood, 6, "02")), FrameError::kReturnCode},
        {"RTN 0x80", Resum(Put(kGood, 6, "80")), FrameError::kReturnCode},
        {"too short", "~20014100\r", FrameError::kTooShort},
    };
    for (const auto& c : cases) {
        ReplyAssembler a;
        auto r = FeedAll(a, c.text);
        ASSERT_EQ(r.size(), 1u) << c.what;
        EXPECT_EQ(r[0].error, c.error) << c.what << ": got " << ToString(r[0].error);
        EXPECT_TRUE(r[0].reply_frame.empty()) << c.what;
    }
    // The same frame untouched passes, so each case fails for its one field.
    ReplyAssembler a;
    auto r = FeedAll(a, kGood);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].error, FrameError::kNone);
}

TEST(CodecDamage, ReturnCodeIsReported) {
    ReplyAssembler a;
    auto r = FeedAll(a, Resum(Put(kGood, 6, "02")));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].rtn, 2);
}

TEST(CodecDamage, LowerCaseHexIsAcceptedWithItsOwnSum) {
    // "E0" typed as "e0": a different character, so the sum is the
    // lower-case one's.
    ReplyAssembler a;
    auto r = FeedAll(a, Resum(Put(kGood, 24, "e0")));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].error, FrameError::kNone);
    EXPECT_EQ(r[0].reply_frame.back(), 0xE0);
}

TEST(CodecStream, TruncatedFrameThenGoodOne) {
    ReplyAssembler a;
    const std::string cut = kGood.substr(0, 17);
    auto r = FeedAll(a, cut + kGood);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].error, FrameError::kTruncated);
    EXPECT_EQ(r[1].error, FrameError::kNone);
}

TEST(CodecStream, OverLongFrameIsCutAndTheLineRecovers) {
    ReplyAssembler a(64);
    std::string junk = "~" + std::string(200, '0');
    auto r = FeedAll(a, junk + "\r" + kGood);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].error, FrameError::kTooLong);
    EXPECT_EQ(r[1].error, FrameError::kNone);
    // A frame with no EOI at all is reported once, not once per byte.
    ReplyAssembler b(64);
    r = FeedAll(b, junk + junk.substr(1) + kGood);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].error, FrameError::kTooLong);
    EXPECT_EQ(r[1].error, FrameError::kNone);
}

TEST(CodecStream, SplitAtEveryPositionAndMergedWithNoise) {
    const std::string stream = "\xFF\x00garbage" + kGood + "\r\n" + "noise" + kGood + kGood;
    const std::vector<uint8_t> bytes = Bytes(std::string(stream.data(), stream.size()));
    for (size_t cut1 = 0; cut1 <= bytes.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= bytes.size(); cut2 += 7) {
            ReplyAssembler a;
            std::vector<Reply> out;
            a.Feed(bytes.data(), cut1, Address(1), &out);
            a.Feed(bytes.data() + cut1, cut2 - cut1, Address(1), &out);
            a.Feed(bytes.data() + cut2, bytes.size() - cut2, Address(1), &out);
            ASSERT_EQ(out.size(), 3u) << cut1 << "/" << cut2;
            for (const auto& r : out) {
                ASSERT_EQ(r.error, FrameError::kNone) << cut1 << "/" << cut2;
                EXPECT_EQ(r.reply_frame.size(), 6u + 7u);
            }
            EXPECT_FALSE(a.InFrame());
        }
    }
}

TEST(CodecStream, ByteByByteDribble) {
    ReplyAssembler a;
    std::vector<Reply> out;
    const std::string two = kGood + "\r" + kGood;
    for (char c : two) {
        const uint8_t b = static_cast<uint8_t>(c);
        a.Feed(&b, 1, Address(1), &out);
    }
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].reply_frame, out[1].reply_frame);
    EXPECT_EQ(a.stray_bytes(), 1u) << "the extra EOI";
}

TEST(CodecStream, DropForgetsAPartialFrame) {
    ReplyAssembler a;
    auto r = FeedAll(a, kGood.substr(0, 10));
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(a.InFrame());
    EXPECT_TRUE(a.Drop());
    EXPECT_FALSE(a.InFrame());
    // The rest of the old frame is noise now; the next frame is whole.
    r = FeedAll(a, kGood.substr(10) + kGood);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].error, FrameError::kNone);
}
