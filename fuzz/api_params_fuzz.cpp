// Any bytes as the query of an API list request: split into parameters the
// way a client could send them, through the strict parser. A refusal names
// a parameter; a filter that is taken lies inside the documented ranges.
// The value-query key check gets the same bytes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "service/api_params.h"
// Compiled in here so the fuzzer's coverage instrumentation sees them.
#include "service/api_params.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

bool ValidUtf8NoControls(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return false;
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // "name=value&name=value", the first byte choosing what the endpoint takes.
    const unsigned allowed = size > 0 ? static_cast<unsigned>(data[0]) & 3u : 3u;
    std::multimap<std::string, std::string> params;
    size_t start = size > 0 ? 1 : 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (eq == std::string::npos)
            params.emplace(pair, "");
        else
            params.emplace(pair.substr(0, eq), pair.substr(eq + 1));
        start = end + 1;
    }
    RowFilter f;
    ParamError err;
    if (ParseListParams(params, allowed, &f, &err)) {
        Require(f.limit >= 1 && f.limit <= kMaxLimit);
        Require(std::isfinite(f.since) && f.since >= 0 && f.since <= kMaxUnixTime);
        if (f.until)
            Require(std::isfinite(*f.until) && f.since <= *f.until && *f.until <= kMaxUnixTime);
    } else {
        Require(!err.parameter.empty());
        Require(err.message.rfind(err.parameter, 0) == 0);
    }
    double t = -1;
    if (ParseUnixSeconds(text, &t)) Require(std::isfinite(t) && t >= 0 && t <= kMaxUnixTime);
    int64_t limit = 0;
    if (ParseLimit(text, &limit)) Require(limit >= 1 && limit <= kMaxLimit);
    if (ValidQueryKey(text))
        Require(!text.empty() && text.size() <= 64 && ValidUtf8NoControls(text));
    return 0;
}
