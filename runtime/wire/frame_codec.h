// Framing of the telecom power protocol as it crosses the serial line.
// Every byte travels as two hex characters; only SOI and EOI are raw.
//
//   ~    20   01   40   41   E002    01    FD3C   \r      a command
//   SOI  VER  ADR  CID1 CID2 LENGTH  INFO  CHKSUM EOI
//
//   ~    20   01   40   00   E002    01    FD41   \r      its reply
//   SOI  VER  ADR  CID1 RTN  LENGTH  INFO  CHKSUM EOI
//
// LENGTH: the low 12 bits (LENID) count the INFO characters, the high
// nibble (LCHKSUM) makes the three LENID nibbles plus itself 0 modulo 16.
// CHKSUM: two's complement, modulo 65536, of the sum of every character
// between SOI and CHKSUM, taken as it arrived.
//
// Controllers send "not available" as spaces in place of the hex digits;
// a pair of spaces becomes the byte 0x20, which is also what the vendors
// that send "20" hex-encoded deliver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wire {

// A version and an address are both bytes; distinct types keep them from
// trading places in a call.
struct Version {
    explicit constexpr Version(uint8_t v) : value(v) {}
    uint8_t value;
};
struct Address {
    explicit constexpr Address(uint8_t v) : value(v) {}
    uint8_t value;
};

constexpr char kSoi = '~';
constexpr char kEoi = '\r';
// VER ADR CID1 CID2 LENGTH as text.
constexpr size_t kHeaderChars = 12;
constexpr size_t kChksumChars = 4;
// LENID has 12 bits and counts characters, two per byte.
constexpr size_t kMaxInfoChars = 0xFFE;
constexpr size_t kMaxInfoBytes = kMaxInfoChars / 2;
// Characters between SOI and EOI of the longest frame the line can carry.
constexpr size_t kMaxBodyChars = kHeaderChars + kMaxInfoChars + kChksumChars;

// LENGTH for an INFO of `lenid` characters (lenid < 4096).
uint16_t LengthField(uint16_t lenid);
// CHKSUM over the characters between SOI and CHKSUM.
uint16_t FrameChecksum(std::string_view text);

// Upper-case hex of `n` bytes.
std::string HexText(const uint8_t* data, size_t n);

// A whole frame, SOI to EOI, around INFO that is already text (hex digits,
// or spaces for values that are not available). Returns false, leaving
// `out` alone, when the INFO text is too long or of odd length.
bool EncodeFrameText(Version ver, Address adr, uint8_t cid1, uint8_t cid2,
                     std::string_view info_text, std::string* out);

// The command frame for INFO given as bytes; empty when INFO is longer than
// a frame can carry.
std::string EncodeCommand(Version ver, Address adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                          size_t len);

enum class FrameError {
    kNone,
    kTooShort,        // fewer characters than header and CHKSUM
    kBadHex,          // a character that is neither hex digit nor an allowed space
    kBadLchksum,      // LENGTH's own check nibble does not match LENID
    kLengthMismatch,  // LENID differs from the INFO characters that arrived, or is odd
    kBadChksum,       // CHKSUM does not match the characters
    kWrongAddress,    // a reply from another address
    kReturnCode,      // the controller answered with a non-zero RTN
    kTooLong,         // no EOI within the longest frame the line can carry
    kTruncated,       // a new SOI arrived before the EOI of the frame in progress
    kWrongUnit,       // a reply whose CID1 names another unit than the command's
};
const char* ToString(FrameError e);
constexpr int kFrameErrorKinds = static_cast<int>(FrameError::kWrongUnit) + 1;

// One frame, its fields as bytes. For a reply `cid2` is the RTN.
struct Frame {
    uint8_t ver = 0;
    uint8_t adr = 0;
    uint8_t cid1 = 0;
    uint8_t cid2 = 0;
    std::vector<uint8_t> info;
};

// Checks the characters between SOI and EOI (hex, LCHKSUM, LENID against
// the INFO that arrived, CHKSUM) and converts them. Address and RTN are the
// caller's to judge.
FrameError ParseFrameBody(std::string_view body, Frame* out);

// The reply as process_payload() reads it from reply_frame_: VER, ADR,
// CID1, RTN, LENGTH (most significant byte first, LCHKSUM cleared), INFO.
std::vector<uint8_t> ToReplyFrame(const Frame& f);

// Cuts a byte stream into frame bodies: resynchronises on SOI, collects up
// to EOI across any number of reads, drops what lies between frames (an
// extra EOI, line noise) and gives up on a frame that grows too long.
class FrameAssembler {
  public:
    struct Piece {
        FrameError error = FrameError::kNone;  // kNone, kTooLong or kTruncated
        std::string body;                      // characters between SOI and EOI
    };

    explicit FrameAssembler(size_t max_body_chars = kMaxBodyChars) : max_(max_body_chars) {}

    // Appends one piece per frame that ended (well or badly) within `data`.
    void Feed(const uint8_t* data, size_t n, std::vector<Piece>* out);
    // Forgets a frame in progress; true when there was one.
    bool Drop();
    bool InFrame() const { return in_frame_; }
    // Characters the frame in progress still needs, its EOI included, as
    // far as what came of it tells: the rest of the header until LENGTH is
    // in, then the rest of INFO and the checksum. Zero when no frame is in
    // progress, when only its EOI is missing, or when its LENGTH is no
    // number this assembler would take.
    size_t Awaited() const;
    // Bytes seen outside any frame (EOI and LF after a frame included).
    uint64_t stray_bytes() const { return stray_; }

  private:
    size_t max_;
    bool in_frame_ = false;
    bool overlong_ = false;  // skipping the rest of an over-long frame
    std::string body_;
    uint64_t stray_ = 0;
};

// A checked reply, ready for reply_frame_ when `error` is kNone.
struct Reply {
    FrameError error = FrameError::kNone;
    uint8_t rtn = 0;
    uint8_t adr = 0;
    std::vector<uint8_t> reply_frame;
};

// Turns an assembled piece into a reply for the device at `expected`.
Reply CheckReply(const FrameAssembler::Piece& piece, Address expected);
// The same for the answer to a command of unit `cid1`: a reply carries the
// command's CID1, so one with another is not this command's answer.
Reply CheckReply(const FrameAssembler::Piece& piece, Address expected, uint8_t cid1);

// Reassembles and checks replies for one line.
class ReplyAssembler {
  public:
    explicit ReplyAssembler(size_t max_body_chars = kMaxBodyChars) : frames_(max_body_chars) {}

    void Feed(const uint8_t* data, size_t n, Address expected, std::vector<Reply>* out);
    bool Drop() { return frames_.Drop(); }
    bool InFrame() const { return frames_.InFrame(); }
    uint64_t stray_bytes() const { return frames_.stray_bytes(); }

  private:
    FrameAssembler frames_;
    std::vector<FrameAssembler::Piece> pieces_;
};

}  // namespace wire
