// Reply decoders of the telecom power protocol, as pure functions over the
// measurement record: each takes the layout options, the input bytes and
// their count, and returns the bytes it consumed (or -1, see each decoder).
// None reads past `len`, whatever the bytes say.
#pragma once

#include <cstdint>

#include "protocol/record.h"

struct LayoutOptions {
    bool has_tower = false;
    int skip_41_41 = 0;
    int dc_i_adjust = 1;
    // Model "lfcq93_k408n27_419": variations of the 40 41 and 40 44 layouts.
    bool lfcq93 = false;
};

// AC distribution (input starts after DATAFLAG and the optional group byte).
int Decode40_41(q318b_ac_t& ac, const LayoutOptions& opt, const uint8_t* data, int len);
int Decode40_43(q318b_ac_t& ac, const LayoutOptions& opt, const uint8_t* data, int len);
int Decode40_44(q318b_ac_t& ac, const LayoutOptions& opt, const uint8_t* data, int len);

// Rectifiers (input is the whole INFO field, DATAFLAG included).
int Decode41_41(q318b_rc_t& rc, const LayoutOptions& opt, const uint8_t* data, int len);
int Decode41_43(q318b_rc_t& rc, const LayoutOptions& opt, const uint8_t* data, int len);
int Decode41_44(q318b_rc_t& rc, const LayoutOptions& opt, const uint8_t* data, int len);

// One DC distribution group block.
int Decode42_41(q318b_dc_t& dc, const LayoutOptions& opt, const uint8_t* data, int len);
int Decode42_44(q318b_dc_t& dc, const LayoutOptions& opt, const uint8_t* data, int len);
