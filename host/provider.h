// Factory classes through which the host obtains devices from a plug-in.
#pragma once

#include <memory>
#include <vector>

class QVRSPDevice;

class Provider {
  public:
    virtual ~Provider();
};

class QVRSPDeviceProvider : public Provider {
  public:
    ~QVRSPDeviceProvider() override;
    // The caller owns the new device and deletes it through its virtual
    // destructor.
    virtual QVRSPDevice* create() const = 0;
};

// The plug-in's exported entry point, looked up by this name.
constexpr const char* kGetProvidersSymbol = "get_providers";
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
