// Checked reading of scenario JSON, shared by the section and event
// parsers. jsoncpp throws on a member looked up in a value that is not an
// object and on conversions that do not fit (asInt() of 1e10), so every
// value's type and range is checked before it is read. The first problem
// becomes the error: one line naming the member by its JSON path
// ("rectifiers.modules[0].repeat") and what is wrong with it.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/scenario.h"

namespace sim::scenario_json {

// JSON paths: Member("layout", "tower") is "layout.tower", Member("", "baud")
// is "baud"; Element("dc", 1) is "dc[1]".
std::string Member(const std::string& path, const std::string& key);
std::string Element(const std::string& path, Json::ArrayIndex i);

// A text fit to quote in an error: in quotes, anything but printable
// ASCII escaped, cut short.
std::string Quoted(const std::string& text);
// A text fit for a one-line error: control characters escaped.
std::string OneLine(const std::string& text);
// What a value is, for "must be ..., not a list".
const char* KindOf(const Json::Value& v);

// Readers of one value: false when it is absent (null), of the wrong type
// or out of range, leaving *out as it was.
bool ReadWhole(const Json::Value& x, long lo, long hi, long* out);
bool ReadNumber(const Json::Value& x, double lo, double hi, double* out);
// A 32-bit float value, or null for "not available".
bool ReadValue(const Json::Value& x, Value* out);

// The problems as the error texts put them.
std::string WholeRange(long lo, long hi);
std::string NumberRange(double lo, double hi);
extern const char* const kValueText;  // a float or null

// Reads the members of one JSON object, remembering the first problem;
// once there is one, the rest is skipped.
class Reader {
  public:
    // `v` must be an object, or null (the member absent: every read keeps
    // its default) unless `required`.
    Reader(const Json::Value& v, std::string path, std::string* error, bool required = false);

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }
    // The member, or null when it is absent or there is already a problem.
    const Json::Value& Get(const char* key) const;
    bool Has(const char* key) const { return !Get(key).isNull(); }

    void Float(const char* key, Value* out);
    void Floats(const char* key, std::vector<Value>* out);
    void Byte(const char* key, uint8_t* out);
    void Bytes(const char* key, std::vector<uint8_t>* out);
    void FixedBytes(const char* key, uint8_t* out, unsigned n);
    void Bool(const char* key, bool* out);
    // These three: true when the member is there and fits.
    bool Whole(const char* key, long lo, long hi, long* out);
    bool Number(const char* key, double lo, double hi, double* out);
    bool Text(const char* key, size_t min_chars, size_t max_chars, std::string* out);

    // A problem with a member of this object ("" for the object itself).
    void Fail(const std::string& key, const std::string& what);
    // A problem further down, at a path of the caller's making.
    void FailAt(const std::string& path, const std::string& what);
    // Takes over a problem a section parser reported through `error`.
    void Failed() { ok_ = false; }

  private:
    bool ByteAt(const Json::Value& x, const std::string& path, uint8_t* out);

    const Json::Value& v_;
    std::string path_;
    std::string* error_;
    bool ok_ = true;
};

}  // namespace sim::scenario_json
