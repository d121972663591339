#include "protocol/decoders.h"

// Placeholders: every decoder rejects its input until the reply layouts are
// implemented, so that nothing half-decoded reaches the record.
int Decode40_41(q318b_ac_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
int Decode40_43(q318b_ac_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
int Decode40_44(q318b_ac_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
int Decode41_41(q318b_rc_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
int Decode41_43(q318b_rc_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
int Decode41_44(q318b_rc_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
int Decode42_41(q318b_dc_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
int Decode42_44(q318b_dc_t&, const LayoutOptions&, const uint8_t*, int) { return -1; }
