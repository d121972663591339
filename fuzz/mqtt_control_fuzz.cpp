// Any bytes as an MQTT control message and as the topic it came on. A
// request that is taken carried the token and a payload the device sends
// as its command; a refusal is one line that never repeats the token; a
// topic names a device only as <prefix>/<data_id>/control/set.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/mqtt_topics.h"
// Compiled in here so the fuzzer's coverage instrumentation sees it; the
// rest of the service comes from its library.
#include "service/mqtt_topics.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

const std::string kToken = "fuzz-Token-7";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool allow_raw = size > 0 && (data[0] & 1) != 0;
    const MqttControlCheck c = CheckMqttControl(text, kToken, allow_raw, true);
    if (c.ok) {
        Require(text.find(kToken) != std::string::npos);
        const int code = c.request.code;
        Require(code == 310 || code == 320 || (code == 300 && allow_raw));
        if (code == 300) Require(c.request.payload.size() == 7);
    } else {
        Require(!c.error.empty() && c.error.find('\n') == std::string::npos);
        Require(c.error.find(kToken) == std::string::npos);
    }
    unsigned id = 0;
    if (MqttControlTopicId("q318b/east", text, &id)) {
        Require(text.rfind("q318b/east/", 0) == 0);
        Require(text.size() > 12 && text.compare(text.size() - 12, 12, "/control/set") == 0);
    }
    return 0;
}
