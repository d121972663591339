// Loads a device plug-in and keeps it loaded for as long as the handle
// lives. Destroy every provider and device of the plug-in before the handle.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/provider.h"

class PluginError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PluginHandle {
  public:
    // Throws PluginError naming the path and the loader's reason.
    explicit PluginHandle(const std::string& path);
    ~PluginHandle();
    PluginHandle(const PluginHandle&) = delete;
    PluginHandle& operator=(const PluginHandle&) = delete;

    std::vector<std::shared_ptr<Provider>> GetProviders() const;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    void* handle_ = nullptr;
    GetProvidersFn get_providers_ = nullptr;
};
