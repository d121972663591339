#include "runtime/framework/plugin_loader.h"

#include <dlfcn.h>

PluginHandle::PluginHandle(const std::string& path) : path_(path) {
    // RTLD_NOW: an unresolved host symbol should fail here, not mid-poll.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw PluginError("cannot load plug-in " + path + ": " + (why ? why : "unknown error"));
    }
    void* sym = dlsym(handle_, kGetProvidersSymbol);
    if (sym == nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
        throw PluginError("plug-in " + path + " does not export " + kGetProvidersSymbol);
    }
    get_providers_ = reinterpret_cast<GetProvidersFn>(sym);
}

PluginHandle::~PluginHandle() {
    if (handle_ != nullptr) dlclose(handle_);
}

std::vector<std::shared_ptr<Provider>> PluginHandle::GetProviders() const {
    return get_providers_();
}
