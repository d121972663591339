// The named values that rule files and level thresholds refer to, taken
// from the measurement record for the threshold pass (sites that turn on
// the "snapshot" option; examples/README.md lists every name).
//
// A value the controller did not have is left out rather than given a
// stand-in number, so that a rule on it is skipped instead of comparing
// the stand-in with its threshold.
#pragma once

#include <json/value.h>

#include "alarms/alarm_sink.h"
#include "protocol/record.h"

// Whether a record value is a reading: finite, not the -0.1 the AC current
// decoder puts for "not available" (`has_substitute`), and not the
// controller's own marker (four equal non-zero bytes) copied as it came.
bool SnapshotReading(float v, bool has_substitute);

// A JSON object of the record's values: AC inputs and phase currents when
// `opt.has_ac`, the rectifiers always, the DC groups when `opt.has_dc` (the
// second only when `opt.dc_number` says there are two). Counts stop at the
// record's capacity.
Json::Value ValueSnapshot(const q318b_419_Data_t& r, const AlarmSiteOptions& opt);
