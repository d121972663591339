#include "runtime/wire/frame_codec.h"

namespace wire {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Two hex digits at `p` as a byte; -1 when either is not a hex digit.
int HexByte(const char* p) {
    const int hi = HexValue(p[0]);
    const int lo = HexValue(p[1]);
    if (hi < 0 || lo < 0) return -1;
    return hi << 4 | lo;
}

void AppendHex(std::string& s, uint8_t b) {
    s += kHexDigits[b >> 4];
    s += kHexDigits[b & 0x0F];
}

void AppendHex16(std::string& s, uint16_t v) {
    AppendHex(s, static_cast<uint8_t>(v >> 8));
    AppendHex(s, static_cast<uint8_t>(v & 0xFF));
}

}  // namespace

uint16_t LengthField(uint16_t lenid) {
    lenid &= 0x0FFF;
    const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    const unsigned lchksum = (16 - sum % 16) % 16;
    return static_cast<uint16_t>(lchksum << 12 | lenid);
}

uint16_t FrameChecksum(std::string_view text) {
    uint32_t sum = 0;
    for (char c : text) sum += static_cast<unsigned char>(c);
    return static_cast<uint16_t>(0x10000u - (sum & 0xFFFFu));
}

std::string HexText(const uint8_t* data, size_t n) {
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) AppendHex(s, data[i]);
    return s;
}

bool EncodeFrameText(Version ver, Address adr, uint8_t cid1, uint8_t cid2,
                     std::string_view info_text, std::string* out) {
    if (info_text.size() > kMaxInfoChars || info_text.size() % 2 != 0) return false;
    std::string s;
    s.reserve(2 + kHeaderChars + info_text.size() + kChksumChars);
    s += kSoi;
    AppendHex(s, ver.value);
    AppendHex(s, adr.value);
    AppendHex(s, cid1);
    AppendHex(s, cid2);
    AppendHex16(s, LengthField(static_cast<uint16_t>(info_text.size())));
    s.append(info_text.data(), info_text.size());
    AppendHex16(s, FrameChecksum(std::string_view(s).substr(1)));
    s += kEoi;
    *out = std::move(s);
    return true;
}

std::string EncodeCommand(Version ver, Address adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                          size_t len) {
    if (len > kMaxInfoBytes || (len > 0 && info == nullptr)) return {};
    std::string out;
    EncodeFrameText(ver, adr, cid1, cid2, HexText(info, len), &out);
    return out;
}

const char* ToString(FrameError e) {
    switch (e) {
        case FrameError::kNone:
            return "ok";
        case FrameError::kTooShort:
            return "too short";
        case FrameError::kBadHex:
            return "bad hex";
        case FrameError::kBadLchksum:
            return "bad LCHKSUM";
        case FrameError::kLengthMismatch:
            return "LENID does not match INFO";
        case FrameError::kBadChksum:
            return "bad CHKSUM";
        case FrameError::kWrongAddress:
            return "foreign address";
        case FrameError::kReturnCode:
            return "error return code";
        case FrameError::kTooLong:
            return "over-long frame";
        case FrameError::kTruncated:
            return "truncated frame";
        case FrameError::kWrongUnit:
            return "another unit's reply";
    }
    return "?";
}

FrameError ParseFrameBody(std::string_view body, Frame* out) {
    if (body.size() < kHeaderChars + kChksumChars) return FrameError::kTooShort;
    const char* p = body.data();
    int head[6];
    for (int i = 0; i < 6; ++i) {
        head[i] = HexByte(p + 2 * i);
        if (head[i] < 0) return FrameError::kBadHex;
    }
    const size_t ck_at = body.size() - kChksumChars;
    const int ck_hi = HexByte(p + ck_at);
    const int ck_lo = HexByte(p + ck_at + 2);
    if (ck_hi < 0 || ck_lo < 0) return FrameError::kBadHex;

    const uint16_t length = static_cast<uint16_t>(head[4] << 8 | head[5]);
    const uint16_t lenid = length & 0x0FFF;
    if (LengthField(lenid) != length) return FrameError::kBadLchksum;
    // LENID is checked against what arrived, never used to reach beyond it.
    const size_t info_chars = ck_at - kHeaderChars;
    if (lenid != info_chars || info_chars % 2 != 0) return FrameError::kLengthMismatch;

    const uint16_t chksum = static_cast<uint16_t>(ck_hi << 8 | ck_lo);
    if (FrameChecksum(body.substr(0, ck_at)) != chksum) return FrameError::kBadChksum;

    Frame f;
    f.ver = static_cast<uint8_t>(head[0]);
    f.adr = static_cast<uint8_t>(head[1]);
    f.cid1 = static_cast<uint8_t>(head[2]);
    f.cid2 = static_cast<uint8_t>(head[3]);
    f.info.reserve(info_chars / 2);
    for (size_t i = kHeaderChars; i < ck_at; i += 2) {
        if (p[i] == ' ' && p[i + 1] == ' ') {
            f.info.push_back(0x20);
            continue;
        }
        const int b = HexByte(p + i);
        if (b < 0) return FrameError::kBadHex;
        f.info.push_back(static_cast<uint8_t>(b));
    }
    *out = std::move(f);
    return FrameError::kNone;
}

std::vector<uint8_t> ToReplyFrame(const Frame& f) {
    const size_t n = f.info.size();
    const uint16_t lenid = static_cast<uint16_t>(n * 2);
    std::vector<uint8_t> frame(6 + n);
    frame[0] = f.ver;
    frame[1] = f.adr;
    frame[2] = f.cid1;
    frame[3] = f.cid2;
    frame[4] = static_cast<uint8_t>(lenid >> 8);
    frame[5] = static_cast<uint8_t>(lenid & 0xFF);
    for (size_t i = 0; i < n; ++i) frame[6 + i] = f.info[i];
    return frame;
}

void FrameAssembler::Feed(const uint8_t* data, size_t n, std::vector<Piece>* out) {
    for (size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == kSoi) {
            if (in_frame_ && !overlong_) out->push_back({FrameError::kTruncated, body_});
            in_frame_ = true;
            overlong_ = false;
            body_.clear();
            continue;
        }
        if (!in_frame_) {
            ++stray_;
            continue;
        }
        if (c == kEoi) {
            if (!overlong_) out->push_back({FrameError::kNone, body_});
            in_frame_ = false;
            overlong_ = false;
            body_.clear();
            continue;
        }
        if (overlong_) continue;
        if (body_.size() >= max_) {
            out->push_back({FrameError::kTooLong, std::string()});
            overlong_ = true;
            body_.clear();
            continue;
        }
        body_ += c;
    }
}

size_t FrameAssembler::Awaited() const {
    if (!in_frame_ || overlong_) return 0;
    if (body_.size() < kHeaderChars) return kHeaderChars - body_.size() + kChksumChars + 1;
    // LENGTH is the header's last four characters: LCHKSUM and LENID.
    unsigned length = 0;
    for (size_t i = kHeaderChars - 4; i < kHeaderChars; ++i) {
        const char c = body_[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else
            return 0;
        length = length << 4 | d;
    }
    const size_t whole = kHeaderChars + (length & 0x0FFF) + kChksumChars;
    if (whole > max_ || body_.size() >= whole) return 0;
    return whole - body_.size() + 1;
}

bool FrameAssembler::Drop() {
    const bool had = in_frame_ && !overlong_;
    in_frame_ = false;
    overlong_ = false;
    body_.clear();
    return had;
}

namespace {

// `cid1` below zero: any unit.
Reply Check(const FrameAssembler::Piece& piece, Address expected, int cid1) {
    Reply r;
    if (piece.error != FrameError::kNone) {
        r.error = piece.error;
        return r;
    }
    Frame f;
    r.error = ParseFrameBody(piece.body, &f);
    if (r.error != FrameError::kNone) return r;
    r.adr = f.adr;
    r.rtn = f.cid2;
    if (f.adr != expected.value) {
        r.error = FrameError::kWrongAddress;
        return r;
    }
    if (cid1 >= 0 && f.cid1 != cid1) {
        r.error = FrameError::kWrongUnit;
        return r;
    }
    if (f.cid2 != 0) {
        r.error = FrameError::kReturnCode;
        return r;
    }
    r.reply_frame = ToReplyFrame(f);
    return r;
}

}  // namespace

Reply CheckReply(const FrameAssembler::Piece& piece, Address expected) {
    return Check(piece, expected, -1);
}

Reply CheckReply(const FrameAssembler::Piece& piece, Address expected, uint8_t cid1) {
    return Check(piece, expected, cid1);
}

void ReplyAssembler::Feed(const uint8_t* data, size_t n, Address expected,
                          std::vector<Reply>* out) {
    pieces_.clear();
    frames_.Feed(data, n, &pieces_);
    for (const auto& p : pieces_) out->push_back(CheckReply(p, expected));
}

}  // namespace wire
