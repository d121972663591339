// The measurement record as JSON with every field named, for the runner's
// event stream, the HTTP API, MQTT and the record decoder. Reserved bytes
// are left out. The AC inputs (ac.channel) and the rectifier modules
// (rc.channel) stop at the record's counts, clamped to what the record
// holds, as the table and the metrics show them; every count is shown as
// the controller sent it, and every other array at its full capacity.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/record.h"

Json::Value RecordToJson(const q318b_419_Data_t& record);

// How many AC inputs and modules the JSON shows: the count, clamped to the
// record's capacity.
size_t RecordAcChannels(const q318b_419_Data_t& record);
size_t RecordRcChannels(const q318b_419_Data_t& record);

// Copies a 2704-byte block into a record; false for any other length.
bool RecordFromBytes(const void* data, size_t len, q318b_419_Data_t& record);

// "YYYY-MM-DD hh:mm:ss" from the record's ttime bytes; empty when unset.
std::string TtimeText(const q318b_419_Data_t& record);
