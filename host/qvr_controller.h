// The host object that owns one port and the host services of the devices
// on it. Devices reach it only through the QVRVDevice / QVRSPDevice /
// PMBusProtocol calls; the host runtime supplies the implementation (a
// recorder for tests, a real port and stores for the runner). Every
// operation has a harmless default so that a partial host still links.
#pragma once

#include <json/forwards.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host_types.h"

class QVRVDevice;
class QVRSPDevice;
class PMBusProtocol;

class QVRController {
  public:
    QVRController();
    virtual ~QVRController();

    // Port and protocol.
    virtual bool MayPoll(QVRSPDevice& dev);
    virtual bool OpenPort(QVRSPDevice& dev);
    virtual bool ClosePort(QVRSPDevice& dev);
    virtual bool SendData(QVRSPDevice& dev, const uint8_t* data, size_t len);
    virtual bool SendCommand(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                             size_t len);
    virtual void ApplyProtocolSetting(PMBusProtocol& dev, const Json::Value& setting);

    // Data and alarm services.
    virtual bool Publish(QVRVDevice& dev, int type, const uint8_t* data, size_t len, bool realtime);
    virtual bool SaveHistory(QVRVDevice& dev, const uint8_t* data, size_t len);
    virtual void CheckThreshold(QVRVDevice& dev, const std::string& alarm_id,
                                const std::string& name, float value, int count);
    virtual void CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                                    const std::string& alarm_id, const std::string& value_text,
                                    const std::string& alarm_text, bool active, uint16_t ordinal);
    virtual bool DoBatchCheckThreshold(QVRVDevice& dev, const std::vector<rule_value>& values);
    virtual bool CheckAOReport(QVRVDevice& dev, const std::string& key, float value);
};
