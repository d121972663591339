// Device classes of the host monitoring framework. The plug-in builds
// against these declarations; their out-of-line members live in the host
// process (our stand-in: runtime/) and are resolved when the plug-in loads.
//
// The order of the virtual operations is the host's vtable layout and must
// not change: the first block down to the destructor belongs to
// VDeviceInterface, the rest is appended level by level.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host_types.h"

class QVRController;
class QVRVDevice;
class QVRSPDevice;
class PMBusProtocol;

class VDeviceInterface {
  public:
    VDeviceInterface();

    // Always refuses with "数据未就绪"; devices override it.
    virtual float Get_Value(unsigned int index, const std::string& key) const;
    virtual bool LoadFromCache(const std::string& data);
    virtual bool LoadFromCache(const unsigned char* data, int len);
    virtual unsigned int DataId() const;
    virtual const std::string& DeviceType() const;
    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_written);
    virtual void RoundDone();
    virtual bool UseControllerDb();
    virtual ~VDeviceInterface();

    // Host state shared with devices. Public because the host runtime,
    // like the real framework, drives it directly.
    unsigned int data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
    bool data_ready_ = false;
    boost::posix_time::ptime last_data_time_;  // not_a_date_time until a round completes
};

class QVRVDevice : public VDeviceInterface {
  public:
    QVRVDevice();
    ~QVRVDevice() override;

    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_written) override;

    virtual bool Reset();
    virtual bool InitV(QVRVDevice* parent, unsigned int data_id, const Json::Value& setting);
    virtual bool Init(std::weak_ptr<QVRController> controller, unsigned int data_id,
                      const Json::Value& setting);
    virtual bool InitSetting(const Json::Value& setting);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<QVRVDevice> GetChildVDevice(unsigned int data_id);
    virtual std::vector<std::shared_ptr<QVRVDevice>> GetAllChildVDevices();
    virtual bool SendSP(int type, const unsigned char* data, unsigned long len, bool realtime);
    virtual bool SendDelayData(int delay);
    virtual bool SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& key);

    // Host services reached by devices (not virtual in the framework).
    bool SaveDeviceHistory(const unsigned char* data, size_t len);
    void CheckThreshold(const std::string& alarm_id, const std::string& name, const float& value,
                        int count);
    void CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                            const std::string& value_text, const std::string& alarm_text,
                            bool active, uint16_t ordinal);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& values);
    bool CheckAOReport(const std::string& key, float value);

    // The controller that owns this device's port and host services; empty
    // for a device that the host has not initialised yet.
    std::shared_ptr<QVRController> Controller() const { return controller_.lock(); }

    std::weak_ptr<QVRController> controller_;
    uint16_t alarm_seq_ = 1;
    std::vector<rule_value> rule_values_;
    bool threshold_changed_ = false;
    std::map<std::string, int> alarm_level_;
    std::map<std::string, float> alarm_threshold_;
    std::map<std::string, BAOSetting> ao_report_settings_;
};

class QVRSPDevice : public QVRVDevice {
  public:
    QVRSPDevice();
    ~QVRSPDevice() override;

    virtual bool RefreshStatus();
    virtual int process(unsigned char* data, unsigned long len);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual bool SendData(const unsigned char* data, unsigned long len);
    virtual bool SendParityData(const unsigned char* data, unsigned long len, EnumParity parity);
    virtual bool OpenPort();
    virtual bool ClosePort();

    int serial_cmd_ = 0;
    bool port_flag_ = false;
    int baud_rate_ = 9600;
};

class PMBusProtocol : public QVRSPDevice {
  public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    bool InitSetting(const Json::Value& setting) override;
    int process(unsigned char* data, unsigned long len) override;
    virtual int process_payload() = 0;
    virtual int process_error();

    // Sends one command frame to this device's address; its reply reaches
    // process_payload() through reply_frame_.
    bool write_pmbus_cmd(uint8_t cid1, uint8_t cid2);
    bool write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const uint8_t* data, int len);

    uint8_t protocol_ver_ = 0x20;
    uint8_t address_ = 1;
    int poll_step_ = 0;
    // The reply as bytes: VER, ADR, CID1, RTN, LENGTH (two bytes, most
    // significant first, LCHKSUM cleared: the INFO length in characters),
    // then the INFO bytes from offset 6.
    std::vector<uint8_t> reply_frame_;
};
