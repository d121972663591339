#include "service/control_request.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

// The DC parameters a 310 request may set, by signal identifier.
const char* const kParamSignals[] = {"4196A3101001", "150600370010", "4196A3201001",
                                     "150600410010"};
// The rectifier commands of code 320 that carry no number.
const char* const kFixedRectifierCommands[] = {"419500600001", "419500601001", "419500602001"};

bool IsDigits(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// A piece of the client's request as a refusal quotes it: refusals are
// logged and answered as one line, so nothing in them may break a line or
// carry a terminal's control codes, and a long value is cut.
std::string Quoted(const std::string& given) {
    constexpr size_t kMax = 40;
    std::string out = "\"";
    for (size_t i = 0; i < given.size() && i < kMax; ++i) {
        const unsigned char c = static_cast<unsigned char>(given[i]);
        out += c < 0x20 || c >= 0x7F ? '?' : static_cast<char>(c);
    }
    if (given.size() > kMax) out += "...";
    return out + "\"";
}

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

// A whole number in [lo, hi]. isInt64 first: asLargestInt throws for an
// integer above the int64 range, which a client may well send.
bool WholeIn(const Json::Value& v, Json::LargestInt lo, Json::LargestInt hi) {
    return v.isIntegral() && v.isInt64() && v.asLargestInt() >= lo && v.asLargestInt() <= hi;
}

bool RawPayload(const Json::Value& p, std::vector<uint8_t>* out, std::string* error) {
    out->clear();
    if (p.isArray()) {
        for (Json::ArrayIndex i = 0; i < p.size(); ++i) {
            const Json::Value& b = p[i];
            if (!WholeIn(b, 0, 255))
                return Fail(error, "payload[" + std::to_string(i) + "] must be a byte (0 to 255)");
            out->push_back(static_cast<uint8_t>(b.asLargestInt()));
        }
    } else if (p.isString()) {
        std::string hex;
        for (char c : p.asString())
            if (c != ' ' && c != ':') hex += c;
        if (hex.size() % 2 != 0) return Fail(error, "payload: odd number of hex digits");
        for (size_t i = 0; i < hex.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
                return Fail(error, "payload: " + Quoted(hex.substr(i, 2)) + " is not a hex byte");
            out->push_back(
                static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        }
    } else {
        return Fail(error, "payload of code 300 must be hex text or an array of bytes");
    }
    if (out->size() != 7)
        return Fail(error, "payload of code 300 must be exactly 7 bytes, not " +
                               std::to_string(out->size()));
    return true;
}

bool ParamPayload(const Json::Value& given, std::vector<uint8_t>* out, std::string* error) {
    Json::Value p = given;
    if (given.isString()) {
        // The device's own form: the request as JSON text.
        Json::CharReaderBuilder b;
        b["stackLimit"] = 20;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        const std::string text = given.asString();
        std::string errs;
        p = Json::Value();
        bool parsed = false;
        try {
            parsed = r->parse(text.data(), text.data() + text.size(), &p, &errs);
        } catch (const Json::Exception&) {
            parsed = false;
        }
        if (!parsed) return Fail(error, "payload of code 310 is text that is not JSON");
    }
    if (!p.isObject())
        return Fail(error, "payload of code 310 must be an object with signal_id and SetValue");
    const Json::Value& signal = p["signal_id"];
    if (!signal.isString()) return Fail(error, "payload.signal_id must be text");
    bool known = false;
    for (const char* s : kParamSignals) known = known || signal.asString() == s;
    if (!known)
        return Fail(error,
                    "payload.signal_id " + Quoted(signal.asString()) + " is no DC parameter");
    const Json::Value& v = p["SetValue"];
    std::string value;
    if (v.isString()) {
        value = v.asString();
        const char* begin = value.c_str();
        char* end = nullptr;
        const double d = std::strtod(begin, &end);
        if (value.empty() || end != begin + value.size() || !std::isfinite(d))
            return Fail(error, "payload.SetValue " + Quoted(value) + " is not a number");
    } else if (v.isNumeric() && std::isfinite(v.asDouble())) {
        // Sent on as text: the device reads the value from its text form.
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        value = Json::writeString(w, v);
    } else {
        return Fail(error, "payload.SetValue must be a number or its text");
    }
    Json::Value req(Json::objectValue);
    req["signal_id"] = signal.asString();
    req["SetValue"] = value;
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    const std::string text = Json::writeString(w, req);
    out->assign(text.begin(), text.end());
    return true;
}

bool RectifierPayload(const Json::Value& p, std::vector<uint8_t>* out, std::string* error) {
    if (!p.isString()) return Fail(error, "payload of code 320 must be a command identifier");
    const std::string t = p.asString();
    bool ok = false;
    for (const char* s : kFixedRectifierCommands) ok = ok || t == s;
    const std::string prefix = t.substr(0, 9);
    if ((prefix == "419500201" || prefix == "419500200") && t.size() <= 12 && IsDigits(t.substr(9)))
        ok = true;
    if (!ok) return Fail(error, "payload " + Quoted(t) + " is no rectifier command");
    out->assign(t.begin(), t.end());
    return true;
}

}  // namespace

bool ParseControlRequest(const Json::Value& body, ControlRequest* out, std::string* error) {
    if (!body.isObject()) return Fail(error, "the request must be a JSON object");
    const Json::Value& code = body["code"];
    if (!WholeIn(code, 0, 1000000)) return Fail(error, "code must be 300, 310 or 320");
    const Json::LargestInt c = code.asLargestInt();
    if (!body.isMember("payload")) return Fail(error, "missing member payload");
    const Json::Value& p = body["payload"];
    ControlRequest r;
    r.code = static_cast<int>(c);
    bool ok = false;
    if (c == 300)
        ok = RawPayload(p, &r.payload, error);
    else if (c == 310)
        ok = ParamPayload(p, &r.payload, error);
    else if (c == 320)
        ok = RectifierPayload(p, &r.payload, error);
    else
        return Fail(error, "code must be 300, 310 or 320, not " + std::to_string(c));
    if (!ok) return false;
    *out = std::move(r);
    return true;
}

bool ParseControlRequestText(const std::string& text, ControlRequest* out, std::string* error) {
    if (text.size() > kMaxControlBody)
        return Fail(error,
                    "the request is longer than " + std::to_string(kMaxControlBody) + " bytes");
    Json::CharReaderBuilder b;
    b["stackLimit"] = 20;
    b["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value body;
    std::string errs;
    try {
        if (!r->parse(text.data(), text.data() + text.size(), &body, &errs))
            return Fail(error, "the request is not JSON");
    } catch (const Json::Exception&) {
        return Fail(error, "the request is not JSON");
    }
    return ParseControlRequest(body, out, error);
}
