#include "service/api_params.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

// Digits, then optionally a point and more digits; at least one digit in
// all. A length cap keeps the parse cheap whatever a client sends.
bool DecimalText(const std::string& t) {
    if (t.empty() || t.size() > 32) return false;
    size_t i = 0, digits = 0;
    while (i < t.size() && Digit(t[i])) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && Digit(t[i])) ++i, ++digits;
    }
    return i == t.size() && digits > 0;
}

}  // namespace

bool ParseUnixSeconds(const std::string& text, double* out) {
    if (!DecimalText(text)) return false;
    double v = 0;
    // from_chars reads the same text whatever the process's locale is.
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return false;
    if (!std::isfinite(v) || v < 0 || v > kMaxUnixTime) return false;
    *out = v;
    return true;
}

bool ParseLimit(const std::string& text, int64_t* out) {
    if (text.empty() || text.size() > 6) return false;
    int64_t v = 0;
    for (char c : text) {
        if (!Digit(c)) return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > kMaxLimit) return false;
    *out = v;
    return true;
}

bool ValidQueryKey(const std::string& key) {
    if (key.empty() || key.size() > 64) return false;
    const auto* s = reinterpret_cast<const unsigned char*>(key.data());
    const size_t n = key.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return false;
            ++i;
            continue;
        }
        size_t len = 0;
        unsigned long cp = 0, min = 0;
        if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        // C1 controls.
        if (cp >= 0x80 && cp <= 0x9F) return false;
        i += len;
    }
    return true;
}

bool ParseListParams(const std::multimap<std::string, std::string>& params, unsigned allowed,
                     RowFilter* out, ParamError* err) {
    RowFilter f;
    f.limit = kDefaultLimit;
    const auto fail = [&](const std::string& name, const std::string& why) {
        err->parameter = name;
        err->message = name + ": " + why;
        return false;
    };
    std::string taken = (allowed & kParamDataId) ? "data_id" : "";
    if (allowed & kParamTimes)
        taken += std::string(taken.empty() ? "" : ", ") + "since, until, limit";
    for (auto it = params.begin(); it != params.end(); it = params.upper_bound(it->first)) {
        const std::string& name = it->first;
        const bool times = name == "since" || name == "until" || name == "limit";
        if ((name == "data_id" && (allowed & kParamDataId)) || (times && (allowed & kParamTimes))) {
            if (params.count(name) > 1) return fail(name, "given more than once");
        } else {
            // The name is the client's own text; it is only echoed when it
            // is one a client could have meant.
            const std::string shown = ValidQueryKey(name) ? name : "parameter";
            return fail(shown, taken.empty() ? "this resource takes no parameters"
                                             : "not a parameter here (takes " + taken + ")");
        }
        const std::string& value = it->second;
        if (value.empty()) return fail(name, "empty");
        if (name == "data_id") {
            unsigned id = 0;
            if (!ParseDataId(value, &id)) return fail(name, "not a device data_id");
            f.data_id = id;
        } else if (name == "limit") {
            if (!ParseLimit(value, &f.limit))
                return fail(name, "not a whole number from 1 to " + std::to_string(kMaxLimit));
        } else {
            double v = 0;
            if (!ParseUnixSeconds(value, &v))
                return fail(name, "not a number of Unix seconds from 0 to 253402300799");
            if (name == "since")
                f.since = v;
            else
                f.until = v;
        }
    }
    if (f.until && *f.until < f.since) return fail("until", "before since");
    *out = f;
    return true;
}

bool ParseDataId(const std::string& text, unsigned int* out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > std::numeric_limits<unsigned int>::max()) return false;
    *out = static_cast<unsigned int>(v);
    return true;
}
