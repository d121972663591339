#include "runtime/framework/recording_controller.h"

#include <cstdio>
#include <sstream>

#include "host/qvr_device.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

std::string Num(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
    return buf;
}

HostCall Base(HostCall::Kind kind, const QVRVDevice& dev) {
    HostCall c;
    c.kind = kind;
    c.data_id = dev.DataId();
    return c;
}

}  // namespace

std::string ToText(const HostCall& c) {
    std::ostringstream os;
    switch (c.kind) {
        case HostCall::Kind::kOpenPort:
            os << "open-port";
            break;
        case HostCall::Kind::kClosePort:
            os << "close-port";
            break;
        case HostCall::Kind::kSendData:
            os << "send-data [" << Hex(c.bytes) << "]";
            break;
        case HostCall::Kind::kCommand: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%02X %02X", c.cid1, c.cid2);
            os << "command " << buf << " [" << Hex(c.bytes) << "]";
            break;
        }
        case HostCall::Kind::kProtocolSetting:
            os << "protocol-setting";
            break;
        case HostCall::Kind::kPublish:
            os << "publish type=" << c.type << " len=" << c.bytes.size()
               << " realtime=" << (c.realtime ? 1 : 0);
            break;
        case HostCall::Kind::kHistory:
            os << "history len=" << c.bytes.size();
            break;
        case HostCall::Kind::kThreshold:
            os << "threshold id=" << c.alarm_id << " name=\"" << c.value_text
               << "\" value=" << Num(c.value) << " count=" << c.level;
            break;
        case HostCall::Kind::kThresholdBool:
            os << "alarm level=" << c.level << " key=" << c.key << " id=" << c.alarm_id
               << " value=\"" << c.value_text << "\" text=\"" << c.alarm_text
               << "\" active=" << (c.active ? 1 : 0) << " ordinal=" << c.ordinal;
            break;
        case HostCall::Kind::kBatchCheck:
            os << "batch-check count=" << c.count;
            break;
        case HostCall::Kind::kAOReport:
            os << "ao-report key=" << c.key << " value=" << Num(c.value);
            break;
    }
    return os.str();
}

bool RecordingController::MayPoll(QVRSPDevice&) {
    return may_poll;
}

bool RecordingController::OpenPort(QVRSPDevice& dev) {
    calls.push_back(Base(HostCall::Kind::kOpenPort, dev));
    return true;
}

bool RecordingController::ClosePort(QVRSPDevice& dev) {
    calls.push_back(Base(HostCall::Kind::kClosePort, dev));
    return true;
}

bool RecordingController::SendData(QVRSPDevice& dev, const uint8_t* data, size_t len) {
    HostCall c = Base(HostCall::Kind::kSendData, dev);
    if (data != nullptr) c.bytes.assign(data, data + len);
    calls.push_back(std::move(c));
    return true;
}

bool RecordingController::SendCommand(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2,
                                      const uint8_t* info, size_t len) {
    HostCall c = Base(HostCall::Kind::kCommand, dev);
    c.cid1 = cid1;
    c.cid2 = cid2;
    if (info != nullptr) c.bytes.assign(info, info + len);
    calls.push_back(std::move(c));
    return true;
}

void RecordingController::ApplyProtocolSetting(PMBusProtocol& dev, const Json::Value&) {
    calls.push_back(Base(HostCall::Kind::kProtocolSetting, dev));
}

bool RecordingController::Publish(QVRVDevice& dev, int type, const uint8_t* data, size_t len,
                                  bool realtime) {
    HostCall c = Base(HostCall::Kind::kPublish, dev);
    c.type = type;
    c.realtime = realtime;
    if (data != nullptr) c.bytes.assign(data, data + len);
    calls.push_back(std::move(c));
    return true;
}

bool RecordingController::SaveHistory(QVRVDevice& dev, const uint8_t* data, size_t len) {
    HostCall c = Base(HostCall::Kind::kHistory, dev);
    if (data != nullptr) c.bytes.assign(data, data + len);
    calls.push_back(std::move(c));
    return true;
}

void RecordingController::CheckThreshold(QVRVDevice& dev, const std::string& alarm_id,
                                         const std::string& name, float value, int count) {
    HostCall c = Base(HostCall::Kind::kThreshold, dev);
    c.alarm_id = alarm_id;
    c.value_text = name;
    c.value = value;
    c.level = count;
    calls.push_back(std::move(c));
}

void RecordingController::CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                                             const std::string& alarm_id,
                                             const std::string& value_text,
                                             const std::string& alarm_text, bool active,
                                             uint16_t ordinal) {
    HostCall c = Base(HostCall::Kind::kThresholdBool, dev);
    c.level = level;
    c.key = key;
    c.alarm_id = alarm_id;
    c.value_text = value_text;
    c.alarm_text = alarm_text;
    c.active = active;
    c.ordinal = ordinal;
    calls.push_back(std::move(c));
}

bool RecordingController::DoBatchCheckThreshold(QVRVDevice& dev,
                                                const std::vector<rule_value>& values) {
    HostCall c = Base(HostCall::Kind::kBatchCheck, dev);
    c.count = values.size();
    calls.push_back(std::move(c));
    return batch_result;
}

bool RecordingController::CheckAOReport(QVRVDevice& dev, const std::string& key, float value) {
    HostCall c = Base(HostCall::Kind::kAOReport, dev);
    c.key = key;
    c.value = value;
    calls.push_back(std::move(c));
    return true;
}

std::vector<HostCall> RecordingController::Of(HostCall::Kind kind) const {
    std::vector<HostCall> out;
    for (const auto& c : calls)
        if (c.kind == kind) out.push_back(c);
    return out;
}
