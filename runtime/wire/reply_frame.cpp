#include "runtime/wire/reply_frame.h"

#include <cstddef>

std::vector<uint8_t> BuildReplyFrame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn,
                                     const std::vector<uint8_t>& info) {
    // LENID has 12 bits; a longer INFO cannot be framed and is cut.
    const size_t n = info.size() > 0x7FF ? 0x7FF : info.size();
    const uint16_t lenid = static_cast<uint16_t>(n * 2);
    std::vector<uint8_t> frame(6 + n);
    frame[0] = ver;
    frame[1] = adr;
    frame[2] = cid1;
    frame[3] = rtn;
    frame[4] = static_cast<uint8_t>(lenid >> 8);
    frame[5] = static_cast<uint8_t>(lenid & 0xFF);
    for (size_t i = 0; i < n; ++i) frame[6 + i] = info[i];
    return frame;
}
