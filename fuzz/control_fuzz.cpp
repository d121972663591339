// Any bytes as a control request: the raw command (300), the JSON
// parameter request (310), the rectifier command text (320) and a status
// call, on the model chosen by the first byte. The JSON
// library's type errors are expected outcomes; crashes are not.
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "device/q318b_419.h"
#include "runtime/framework/recording_controller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kModels[] = {"q318b_419", "hvp22_419", "r604k_419", "tgx41d_419",
                                          "other"};
    auto host = std::make_shared<RecordingController>();
    q318b_419 dev;
    dev.Init(host, 7, Json::Value());
    if (size == 0) return 0;
    dev.device_type_ = kModels[data[0] % 5];

    // the rest is the request, in a buffer of exact size so that a read
    // past in_len is caught
    const std::vector<uint8_t> in(data + 1, data + size);
    const void* p = in.empty() ? nullptr : in.data();
    const int len = static_cast<int>(in.size());
    for (int code : {300, 310, 320, 0}) {
        int status = 0;
        int written = 0;
        try {
            dev.DeviceIoControl(code, p, len, &status, sizeof status, written);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
