// The reply as the host hands it to process_payload(): VER, ADR, CID1, RTN,
// LENGTH (most significant byte first, LCHKSUM cleared, so the value is the
// INFO length in hex characters), then the INFO bytes from offset 6.
#pragma once

#include <cstdint>
#include <vector>

std::vector<uint8_t> BuildReplyFrame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn,
                                     const std::vector<uint8_t>& info);
