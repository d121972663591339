// The query parameters of the API's list endpoints, read strictly: a
// parameter an endpoint does not take, one given twice, or a value that is
// not exactly what the parameter allows is refused with the parameter's
// name, rather than guessed at (a typo'd "limt" silently giving the default
// page would look like missing rows).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "runtime/site/history_db.h"

inline constexpr int64_t kDefaultLimit = 1000;
inline constexpr int64_t kMaxLimit = 10000;
// 9999-12-31 23:59:59 UTC: later than any stored row, small enough that
// every value up to it is an exact number of milliseconds in a double.
inline constexpr double kMaxUnixTime = 253402300799.0;

// Which parameters an endpoint takes.
enum ParamSet : unsigned {
    kParamDataId = 1,
    kParamTimes = 2,  // since, until, limit
};

struct ParamError {
    std::string parameter;
    std::string message;  // starts with the parameter's name
};

// `params` as httplib hands them over (already percent-decoded). Fills
// `out` (data_id, since, until, limit; the rest default) or, false, `err`.
bool ParseListParams(const std::multimap<std::string, std::string>& params, unsigned allowed,
                     RowFilter* out, ParamError* err);

// Unix seconds: decimal digits with an optional fraction ("12", "12.5"),
// no sign, exponent, space or other text, from 0 to kMaxUnixTime.
bool ParseUnixSeconds(const std::string& text, double* out);
// A data_id as it appears in a path: decimal digits only, 1 to 10 of them,
// within unsigned int. False otherwise.
bool ParseDataId(const std::string& text, unsigned int* out);
// A whole number from 1 to kMaxLimit, decimal digits only.
bool ParseLimit(const std::string& text, int64_t* out);
// A value-query key as a path segment may carry it: 1 to 64 bytes of
// valid UTF-8 without control characters, so that it can be handed to the
// device and written back into the answer as it came.
bool ValidQueryKey(const std::string& key);
