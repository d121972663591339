// Any bytes as the body of a control request from an outside client. A
// refusal is one line; a request that is taken is one the device sends as
// its command: code 300 with 7 bytes, 310 with a known DC parameter and a
// finite number, 320 with a rectifier command identifier.
#include <json/reader.h>
#include <json/value.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "service/control_request.h"
// Compiled in here so the fuzzer's coverage instrumentation sees it.
#include "service/control_request.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

bool Digits(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void CheckTaken(const ControlRequest& r) {
    const std::string text(r.payload.begin(), r.payload.end());
    if (r.code == 300) {
        Require(r.payload.size() == 7);
    } else if (r.code == 310) {
        Json::Value v;
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> reader(b.newCharReader());
        std::string errs;
        Require(reader->parse(text.data(), text.data() + text.size(), &v, &errs));
        const std::string id = v["signal_id"].asString();
        Require(id == "4196A3101001" || id == "150600370010" || id == "4196A3201001" ||
                id == "150600410010");
        char* end = nullptr;
        const std::string value = v["SetValue"].asString();
        const double d = std::strtod(value.c_str(), &end);
        Require(!value.empty() && *end == '\0' && std::isfinite(d));
    } else {
        Require(r.code == 320);
        const bool numbered =
            (text.rfind("419500201", 0) == 0 || text.rfind("419500200", 0) == 0) &&
            text.size() <= 12 && Digits(text.substr(9));
        Require(numbered || text == "419500600001" || text == "419500601001" ||
                text == "419500602001");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    ControlRequest r;
    std::string err;
    if (ParseControlRequestText(body, &r, &err)) {
        CheckTaken(r);
    } else {
        Require(!err.empty() && err.find('\n') == std::string::npos);
    }
    return 0;
}
