// The factory of this plug-in.
#pragma once

#include "host/provider.h"

class q318b_419Provider : public QVRSPDeviceProvider {
  public:
    q318b_419Provider();
    ~q318b_419Provider() override;
    QVRSPDevice* create() const override;
};
