// A read position over one reply's INFO bytes that checks the bytes left
// before every read and copies with memcpy, so that no layout a controller
// sends can make a decoder read outside its input.
//
// Skips are allowed to run past the end (the decoders compare the position
// with the length where the protocol says so); a read at or beyond the end
// fails instead. The position never goes below the start of the input.
#pragma once

#include <cstdint>
#include <cstring>

class ReadCursor {
  public:
    // `len` may be zero or negative (a reply too short for the offset the
    // caller started from): then nothing can be read.
    ReadCursor(const uint8_t* data, int len)
        : data_(data), limit_(len), avail_(data == nullptr || len < 0 ? 0 : len) {}

    bool U8(uint8_t& out) {
        if (!Has(1)) return false;
        out = data_[pos_];
        pos_ += 1;
        return true;
    }

    // Four raw bytes of a float, in wire order.
    bool Raw4(uint8_t out[4]) {
        if (!Has(4)) return false;
        std::memcpy(out, data_ + pos_, 4);
        pos_ += 4;
        return true;
    }

    // Copies n bytes, or none when fewer are left.
    bool Bytes(uint8_t* out, int64_t n) {
        if (n < 0 || !Has(n)) return false;
        if (n > 0) std::memcpy(out, data_ + pos_, static_cast<size_t>(n));
        pos_ += n;
        return true;
    }

    // Moves by n bytes without reading them; a negative n moves back, but
    // not before the start.
    void Skip(int64_t n) {
        pos_ += n;
        if (pos_ < 0) pos_ = 0;
    }

    int64_t Pos() const { return pos_; }
    // True when the bytes consumed so far exceed the length given.
    bool Overrun() const { return pos_ > limit_; }
    int Length() const { return limit_; }

  private:
    bool Has(int64_t n) const { return pos_ >= 0 && pos_ + n <= avail_; }

    const uint8_t* data_;
    int limit_;
    int64_t avail_;
    int64_t pos_ = 0;
};

// A 4-byte little-endian IEEE-754 single as the wire carries it.
inline float FloatOf(const uint8_t raw[4]) {
    float v;
    std::memcpy(&v, raw, sizeof v);
    return v;
}

// The not-available marker: four equal bytes. The AC and DC replies also
// require the first byte to be non-zero, so that 0.0 stays a value.
inline bool AllEqual(const uint8_t raw[4]) {
    return raw[0] == raw[1] && raw[1] == raw[2] && raw[2] == raw[3];
}
inline bool NotAvailable(const uint8_t raw[4]) {
    return AllEqual(raw) && raw[0] != 0;
}
