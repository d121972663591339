// Any bytes as a rule file and as a settings text, through InitSetting.
// Errors of the JSON and INI readers are expected outcomes (the host sees
// them as exceptions); crashes, leaks and undefined behaviour are not.
#include <json/reader.h>
#include <json/value.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <string>

#include "device/q318b_419.h"
#include "runtime/framework/recording_controller.h"

namespace {

void InitQuietly(q318b_419& dev, const Json::Value& setting) {
    try {
        dev.InitSetting(setting);
    } catch (const std::exception&) {
        // reader and type errors leave InitSetting by design
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The rule file search is relative: work in a private directory.
    char tmpl[] = "/tmp/q318b_settings_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0 || mkdir("ini", 0700) != 0) std::abort();
    // The device's diagnostics would drown the fuzzer's own output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream rules("ini/q318b_419.ini", std::ios::binary | std::ios::trunc);
        rules << text;
    }

    auto host = std::make_shared<RecordingController>();
    q318b_419 dev;
    dev.Init(host, 7, Json::Value());

    // the bytes as the rule file of each mode
    for (int mode : {1, 3, 5, 2}) {
        Json::Value setting;
        setting["appSetting"]["b_mode"] = mode;
        InitQuietly(dev, setting);
    }

    // the bytes as the settings text (the rule file stays the same)
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value setting;
    std::string errors;
    if (reader->parse(text.data(), text.data() + text.size(), &setting, &errors)) {
        InitQuietly(dev, setting);
        // and with the rule file gone, so the entries are reached in any case
        std::remove("ini/q318b_419.ini");
        InitQuietly(dev, setting);
    }
    return 0;
}
