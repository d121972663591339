// The plug-in's one exported entry point.
#include <memory>
#include <vector>

#include "device/q318b_419.h"
#include "plugin/providers.h"

q318b_419Provider::q318b_419Provider() = default;
q318b_419Provider::~q318b_419Provider() = default;

QVRSPDevice* q318b_419Provider::create() const {
    return new q318b_419();
}

#if defined(__clang__)
// The host resolves this symbol by name and calls it as a C++ function; C
// linkage only keeps the name unmangled.
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<Provider> provider = std::make_shared<q318b_419Provider>();
    providers.push_back(std::move(provider));
    return providers;
}
