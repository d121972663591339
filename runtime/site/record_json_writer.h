// The measurement record's JSON text written straight into a caller's
// buffer, for the lines that carry a record every round (the runner's
// --json stream). The text is the one RecordToJson's tree gives when
// written on one line as the runner writes its JSON (jsoncpp's
// StreamWriter, no indentation): the same members in the same order, the
// same channels, numbers spelt alike. Building that tree costs a few
// thousand allocations per large record; this costs none once the buffer
// has grown to a record's size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/record.h"

// Appends the record's JSON object to `out`.
void AppendRecordJson(const q318b_419_Data_t& record, std::string& out);

// Pieces of the same spelling, for lines that wrap a record in more members.
// A double as jsoncpp writes it with 17 significant digits; null when it is
// not finite.
void AppendJsonDouble(double v, std::string& out);
void AppendJsonUnsigned(uint64_t v, std::string& out);
void AppendJsonInt(int64_t v, std::string& out);
// A quoted string with the escapes jsoncpp's writer uses when it emits
// UTF-8 as it is.
void AppendJsonString(std::string_view s, std::string& out);
