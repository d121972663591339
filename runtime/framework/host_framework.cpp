// Our implementation of the host framework classes. Every service a device
// asks for is passed to the controller that owns the device's port; with no
// controller (a device the host has not initialised) the calls do nothing.
#include <stdexcept>

#include "host/provider.h"
#include "host/qvr_controller.h"
#include "host/qvr_device.h"

Provider::~Provider() = default;
QVRSPDeviceProvider::~QVRSPDeviceProvider() = default;

uint64_t get_ttime(boost::posix_time::ptime t) {
    if (t.is_special()) return 0;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    uint64_t v = 0;
    v |= static_cast<uint64_t>(static_cast<uint16_t>(d.year()));
    v |= static_cast<uint64_t>(d.month().as_number() & 0xFF) << 16;
    v |= static_cast<uint64_t>(d.day().as_number() & 0xFF) << 24;
    v |= static_cast<uint64_t>(tod.hours() & 0xFF) << 32;
    v |= static_cast<uint64_t>(tod.minutes() & 0xFF) << 40;
    v |= static_cast<uint64_t>(tod.seconds() & 0xFF) << 48;
    return v;
}

// ---------------------------------------------------------------- VDeviceInterface

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

float VDeviceInterface::Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
}

bool VDeviceInterface::LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
}

bool VDeviceInterface::LoadFromCache(const unsigned char*, int) {
    return false;
}
unsigned int VDeviceInterface::DataId() const {
    return data_id_;
}
const std::string& VDeviceInterface::DeviceType() const {
    return device_type_;
}

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int&) {
    return 0;
}
void VDeviceInterface::RoundDone() {}
bool VDeviceInterface::UseControllerDb() {
    return use_controller_db_;
}

// ---------------------------------------------------------------- QVRVDevice

QVRVDevice::QVRVDevice() = default;
QVRVDevice::~QVRVDevice() = default;

int QVRVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) {
    return 0;
}
bool QVRVDevice::Reset() {
    return true;
}

bool QVRVDevice::InitV(QVRVDevice* parent, unsigned int data_id, const Json::Value&) {
    data_id_ = data_id;
    if (parent != nullptr) controller_ = parent->controller_;
    return true;
}

bool QVRVDevice::Init(std::weak_ptr<QVRController> controller, unsigned int data_id,
                      const Json::Value&) {
    controller_ = std::move(controller);
    data_id_ = data_id;
    return true;
}

bool QVRVDevice::InitSetting(const Json::Value&) {
    return true;
}
bool QVRVDevice::IsSupportDevice(const std::string& type) const {
    return type == device_type_;
}
std::shared_ptr<QVRVDevice> QVRVDevice::GetChildVDevice(unsigned int) {
    return {};
}
std::vector<std::shared_ptr<QVRVDevice>> QVRVDevice::GetAllChildVDevices() {
    return {};
}

bool QVRVDevice::SendSP(int type, const unsigned char* data, unsigned long len, bool realtime) {
    auto c = Controller();
    return c ? c->Publish(*this, type, data, len, realtime) : false;
}

bool QVRVDevice::SendDelayData(int) {
    return false;
}
bool QVRVDevice::SendDoData(int, char) {
    return false;
}
int QVRVDevice::ReadDi(int) {
    return 0;
}
float QVRVDevice::ReadAi(int) {
    return 0.0f;
}
float QVRVDevice::Get_SP_Value(unsigned int index, const std::string& key) {
    return Get_Value(index, key);
}

bool QVRVDevice::SaveDeviceHistory(const unsigned char* data, size_t len) {
    auto c = Controller();
    return c ? c->SaveHistory(*this, data, len) : false;
}

void QVRVDevice::CheckThreshold(const std::string& alarm_id, const std::string& name,
                                const float& value, int count) {
    if (auto c = Controller()) c->CheckThreshold(*this, alarm_id, name, value, count);
}

void QVRVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                                    const std::string& value_text, const std::string& alarm_text,
                                    bool active, uint16_t ordinal) {
    if (auto c = Controller())
        c->CheckThresholdBool(*this, level, key, alarm_id, value_text, alarm_text, active, ordinal);
}

bool QVRVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& values) {
    auto c = Controller();
    return c ? c->DoBatchCheckThreshold(*this, values) : false;
}

bool QVRVDevice::CheckAOReport(const std::string& key, float value) {
    auto c = Controller();
    return c ? c->CheckAOReport(*this, key, value) : false;
}

// ---------------------------------------------------------------- QVRSPDevice

QVRSPDevice::QVRSPDevice() = default;
QVRSPDevice::~QVRSPDevice() = default;

bool QVRSPDevice::RefreshStatus() {
    auto c = Controller();
    return c ? c->MayPoll(*this) : false;
}

int QVRSPDevice::process(unsigned char*, unsigned long) {
    return 0;
}
bool QVRSPDevice::IsProcessing() {
    return false;
}
bool QVRSPDevice::IsStalled() {
    return false;
}

bool QVRSPDevice::SendData(const unsigned char* data, unsigned long len) {
    auto c = Controller();
    return c ? c->SendData(*this, data, len) : false;
}

bool QVRSPDevice::SendParityData(const unsigned char* data, unsigned long len, EnumParity) {
    return SendData(data, len);
}

bool QVRSPDevice::OpenPort() {
    auto c = Controller();
    return c ? c->OpenPort(*this) : false;
}

bool QVRSPDevice::ClosePort() {
    auto c = Controller();
    return c ? c->ClosePort(*this) : false;
}

// ---------------------------------------------------------------- PMBusProtocol

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& setting) {
    if (auto c = Controller()) c->ApplyProtocolSetting(*this, setting);
    return true;
}

int PMBusProtocol::process(unsigned char*, unsigned long) {
    return 0;
}
int PMBusProtocol::process_error() {
    return 0;
}

bool PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

bool PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const uint8_t* data, int len) {
    if (len < 0 || (len > 0 && data == nullptr)) return false;
    auto c = Controller();
    return c ? c->SendCommand(*this, cid1, cid2, data, static_cast<size_t>(len)) : false;
}

// ---------------------------------------------------------------- QVRController

QVRController::QVRController() = default;
QVRController::~QVRController() = default;

bool QVRController::MayPoll(QVRSPDevice&) {
    return true;
}
bool QVRController::OpenPort(QVRSPDevice&) {
    return true;
}
bool QVRController::ClosePort(QVRSPDevice&) {
    return true;
}
bool QVRController::SendData(QVRSPDevice&, const uint8_t*, size_t) {
    return false;
}
bool QVRController::SendCommand(PMBusProtocol&, uint8_t, uint8_t, const uint8_t*, size_t) {
    return false;
}
void QVRController::ApplyProtocolSetting(PMBusProtocol&, const Json::Value&) {}
bool QVRController::Publish(QVRVDevice&, int, const uint8_t*, size_t, bool) {
    return false;
}
bool QVRController::SaveHistory(QVRVDevice&, const uint8_t*, size_t) {
    return false;
}
void QVRController::CheckThreshold(QVRVDevice&, const std::string&, const std::string&, float,
                                   int) {}
void QVRController::CheckThresholdBool(QVRVDevice&, int, const std::string&, const std::string&,
                                       const std::string&, const std::string&, bool, uint16_t) {}
bool QVRController::DoBatchCheckThreshold(QVRVDevice&, const std::vector<rule_value>&) {
    return false;
}
bool QVRController::CheckAOReport(QVRVDevice&, const std::string&, float) {
    return false;
}
