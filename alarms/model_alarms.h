// The q318b_419 controller's own alarms, carried in the extra alarm bytes of
// its AC input (40 44) and rectifier (41 44) replies. They are reported for
// every operator, each call with the next running ordinal.
#pragma once

#include <cstdint>

#include "alarms/alarm_sink.h"
#include "protocol/record.h"

// `ordinal` is the host's running alarm ordinal: each call passes its
// current value and then advances it (16 bits, wrapping).
void RunModelAlarms(const q318b_419_Data_t& d, bool has_ac, uint16_t& ordinal, AlarmSink& host);
