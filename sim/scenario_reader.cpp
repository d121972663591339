#include "sim/scenario_reader.h"

#include <cfloat>
#include <cmath>
#include <cstdio>

namespace sim::scenario_json {

namespace {

// Whole numbers up to here are written out in full in messages.
constexpr double kPlainDigits = 1e15;
constexpr size_t kQuotedChars = 40;

std::string Num(double x) {
    char buf[32];
    if (std::fabs(x) < kPlainDigits && x == std::floor(x))
        std::snprintf(buf, sizeof buf, "%.0f", x);
    else
        std::snprintf(buf, sizeof buf, "%g", x);
    return buf;
}

void Escape(unsigned char c, std::string* out) {
    switch (c) {
        case '\n':
            *out += "\\n";
            return;
        case '\r':
            *out += "\\r";
            return;
        case '\t':
            *out += "\\t";
            return;
        default: {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            *out += buf;
        }
    }
}

}  // namespace

const char* const kValueText = "must be a number (a 32-bit float) or null";

std::string Member(const std::string& path, const std::string& key) {
    if (key.empty()) return path;
    return path.empty() ? key : path + "." + key;
}

std::string Element(const std::string& path, Json::ArrayIndex i) {
    return path + "[" + std::to_string(i) + "]";
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < kQuotedChars; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            out += static_cast<char>(c);
        else if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else
            Escape(c, &out);
    }
    if (text.size() > kQuotedChars) out += "...";
    return out + "\"";
}

std::string OneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            Escape(c, &out);
        else
            out += ch;
    }
    return out;
}

const char* KindOf(const Json::Value& v) {
    switch (v.type()) {
        case Json::nullValue:
            return "null";
        case Json::intValue:
        case Json::uintValue:
        case Json::realValue:
            return "a number";
        case Json::stringValue:
            return "a text";
        case Json::booleanValue:
            return "true or false";
        case Json::arrayValue:
            return "a list";
        case Json::objectValue:
            return "an object";
    }
    return "something else";
}

bool ReadWhole(const Json::Value& x, long lo, long hi, long* out) {
    // isInt64() holds only where asInt64() does not throw: integers of that
    // range and doubles that are whole and inside it.
    if (!x.isInt64()) return false;
    const int64_t v = x.asInt64();
    if (v < lo || v > hi) return false;
    *out = static_cast<long>(v);
    return true;
}

bool ReadNumber(const Json::Value& x, double lo, double hi, double* out) {
    if (!x.isNumeric()) return false;
    const double v = x.asDouble();
    if (!(v >= lo && v <= hi)) return false;  // NaN and infinities fail both
    *out = v;
    return true;
}

bool ReadValue(const Json::Value& x, Value* out) {
    if (x.isNull()) {
        out->reset();
        return true;
    }
    double v = 0;
    if (!ReadNumber(x, -FLT_MAX, FLT_MAX, &v)) return false;
    *out = static_cast<float>(v);
    return true;
}

std::string WholeRange(long lo, long hi) {
    return "must be a whole number from " + Num(static_cast<double>(lo)) + " to " +
           Num(static_cast<double>(hi));
}

std::string NumberRange(double lo, double hi) {
    return "must be a number from " + Num(lo) + " to " + Num(hi);
}

Reader::Reader(const Json::Value& v, std::string path, std::string* error, bool required)
    : v_(v), path_(std::move(path)), error_(error) {
    if (v.isObject() || (v.isNull() && !required)) return;
    Fail("", std::string("must be an object, not ") + KindOf(v));
}

const Json::Value& Reader::Get(const char* key) const {
    static const Json::Value kNull;
    if (!ok_ || !v_.isObject()) return kNull;
    return v_[key];
}

void Reader::Fail(const std::string& key, const std::string& what) {
    FailAt(Member(path_, key), what);
}

void Reader::FailAt(const std::string& path, const std::string& what) {
    if (!ok_) return;
    ok_ = false;
    *error_ = path.empty() ? what : path + ": " + what;
}

void Reader::Float(const char* key, Value* out) {
    const Json::Value& x = Get(key);
    if (!x.isNull() && !ReadValue(x, out)) Fail(key, kValueText);
}

void Reader::Floats(const char* key, std::vector<Value>* out) {
    const Json::Value& x = Get(key);
    if (x.isNull()) return;
    if (!x.isArray() || x.size() > limits::kMaxItems)
        return Fail(key, "must be a list of at most 255 numbers or nulls");
    std::vector<Value> v(x.size());
    for (Json::ArrayIndex i = 0; i < x.size(); ++i)
        if (!ReadValue(x[i], &v[i])) return FailAt(Element(Member(path_, key), i), kValueText);
    *out = std::move(v);
}

bool Reader::ByteAt(const Json::Value& x, const std::string& path, uint8_t* out) {
    long v = 0;
    if (!ReadWhole(x, 0, 255, &v)) {
        FailAt(path, WholeRange(0, 255));
        return false;
    }
    *out = static_cast<uint8_t>(v);
    return true;
}

void Reader::Byte(const char* key, uint8_t* out) {
    const Json::Value& x = Get(key);
    if (!x.isNull()) ByteAt(x, Member(path_, key), out);
}

void Reader::Bytes(const char* key, std::vector<uint8_t>* out) {
    const Json::Value& x = Get(key);
    if (x.isNull()) return;
    if (!x.isArray() || x.size() > limits::kMaxItems)
        return Fail(key, "must be a list of at most 255 bytes (whole numbers from 0 to 255)");
    std::vector<uint8_t> v(x.size());
    for (Json::ArrayIndex i = 0; i < x.size(); ++i)
        if (!ByteAt(x[i], Element(Member(path_, key), i), &v[i])) return;
    *out = std::move(v);
}

void Reader::FixedBytes(const char* key, uint8_t* out, unsigned n) {
    const Json::Value& x = Get(key);
    if (x.isNull()) return;
    if (!x.isArray() || x.size() != n)
        return Fail(
            key, "must be a list of " + std::to_string(n) + " bytes (whole numbers from 0 to 255)");
    for (unsigned i = 0; i < n; ++i)
        if (!ByteAt(x[i], Element(Member(path_, key), i), &out[i])) return;
}

void Reader::Bool(const char* key, bool* out) {
    const Json::Value& x = Get(key);
    if (x.isNull()) return;
    if (!x.isBool()) return Fail(key, std::string("must be true or false, not ") + KindOf(x));
    *out = x.asBool();
}

bool Reader::Whole(const char* key, long lo, long hi, long* out) {
    const Json::Value& x = Get(key);
    if (x.isNull()) return false;
    if (ReadWhole(x, lo, hi, out)) return true;
    Fail(key, WholeRange(lo, hi));
    return false;
}

bool Reader::Number(const char* key, double lo, double hi, double* out) {
    const Json::Value& x = Get(key);
    if (x.isNull()) return false;
    if (ReadNumber(x, lo, hi, out)) return true;
    Fail(key, NumberRange(lo, hi));
    return false;
}

bool Reader::Text(const char* key, size_t min_chars, size_t max_chars, std::string* out) {
    const Json::Value& x = Get(key);
    if (x.isNull()) return false;
    if (x.isString()) {
        std::string t = x.asString();
        if (t.size() >= min_chars && t.size() <= max_chars) {
            *out = std::move(t);
            return true;
        }
    }
    Fail(key, "must be a text of " +
                  (min_chars > 0 ? std::to_string(min_chars) + " to " : "up to ") +
                  std::to_string(max_chars) + " characters");
    return false;
}

}  // namespace sim::scenario_json
