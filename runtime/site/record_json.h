// The measurement record as JSON with every field named, for the runner's
// event stream and the record decoder. Reserved bytes are left out; arrays
// are shown at their full capacity, and each count as the controller sent
// it, so a reader sees exactly what the record holds.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/record.h"

Json::Value RecordToJson(const q318b_419_Data_t& record);

// Copies a 2704-byte block into a record; false for any other length.
bool RecordFromBytes(const void* data, size_t len, q318b_419_Data_t& record);

// "YYYY-MM-DD hh:mm:ss" from the record's ttime bytes; empty when unset.
std::string TtimeText(const q318b_419_Data_t& record);
