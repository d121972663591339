// A controller that records every host call its devices make, in order, so
// that tests, golden files and benchmarks can look at exactly what a device
// asked of the host. It answers like an idle host: polls allowed, commands
// accepted, no alarm changes reported by the batch check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/qvr_controller.h"

struct HostCall {
    enum class Kind {
        kOpenPort,
        kClosePort,
        kSendData,
        kCommand,
        kProtocolSetting,
        kPublish,
        kHistory,
        kThreshold,
        kThresholdBool,
        kBatchCheck,
        kAOReport,
    };

    Kind kind = Kind::kCommand;
    unsigned int data_id = 0;
    uint8_t cid1 = 0;
    uint8_t cid2 = 0;
    std::vector<uint8_t> bytes;  // command INFO, published or stored record, raw data
    int type = 0;                // publish: data type
    bool realtime = false;       // publish
    int level = 0;               // threshold-bool: level; threshold: count
    std::string key;
    std::string alarm_id;
    std::string value_text;  // threshold: name
    std::string alarm_text;
    bool active = false;
    uint16_t ordinal = 0;
    float value = 0.0f;
    size_t count = 0;  // batch check: number of rule values
};

// One readable line per call, stable across runs (used by golden files).
std::string ToText(const HostCall& call);

class RecordingController : public QVRController {
  public:
    bool MayPoll(QVRSPDevice& dev) override;
    bool OpenPort(QVRSPDevice& dev) override;
    bool ClosePort(QVRSPDevice& dev) override;
    bool SendData(QVRSPDevice& dev, const uint8_t* data, size_t len) override;
    bool SendCommand(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                     size_t len) override;
    void ApplyProtocolSetting(PMBusProtocol& dev, const Json::Value& setting) override;
    bool Publish(QVRVDevice& dev, int type, const uint8_t* data, size_t len,
                 bool realtime) override;
    bool SaveHistory(QVRVDevice& dev, const uint8_t* data, size_t len) override;
    void CheckThreshold(QVRVDevice& dev, const std::string& alarm_id, const std::string& name,
                        float value, int count) override;
    void CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                            const std::string& alarm_id, const std::string& value_text,
                            const std::string& alarm_text, bool active, uint16_t ordinal) override;
    bool DoBatchCheckThreshold(QVRVDevice& dev, const std::vector<rule_value>& values) override;
    bool CheckAOReport(QVRVDevice& dev, const std::string& key, float value) override;

    // The calls of one kind, in order.
    std::vector<HostCall> Of(HostCall::Kind kind) const;
    void Clear() { calls.clear(); }

    std::vector<HostCall> calls;
    bool may_poll = true;       // answer of MayPoll
    bool batch_result = false;  // answer of DoBatchCheckThreshold
};
