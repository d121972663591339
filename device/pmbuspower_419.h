// Driver for a 48 V power system spoken to with the telecom power protocol:
// device options, the poll chain, reply decoding, value queries, control
// and the operator alarm mapping.
#pragma once

#include <cstdint>

#include "alarms/telecom_mapping.h"
#include "alarms/unicom_mapping.h"
#include "device/uni_data_device.h"
#include "protocol/decoders.h"

// Awaited reply of the poll chain, kept in the host's poll_step_.
enum PollStep : int {
    kStepRoundDone = 10,
    kStepAcAnalog = 100,   // 40 41
    kStepAcStatus = 101,   // 40 43
    kStepAcAlarm = 102,    // 40 44
    kStepRcAnalog = 104,   // 41 41
    kStepRcStatus = 105,   // 41 43
    kStepRcAlarm = 106,    // 41 44
    kStepDcAnalog = 107,   // 42 41
    kStepDcAlarm = 108,    // 42 44
    kStepCtrlRaw = 300,    // control: 41 4E
    kStepCtrlParam = 310,  // control: 42 48 / 42 49
};

template <typename T, int N>
class pmbuspower_419 : public UniDataDevice<T, PMBusProtocol, N> {
  public:
    pmbuspower_419();
    ~pmbuspower_419() override;

    float Get_Value(unsigned int index, const std::string& key) const override;
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_written) override;
    bool Reset() override;
    bool InitSetting(const Json::Value& setting) override;
    bool RefreshStatus() override;
    int process_payload() override;
    void RunCheckThreshold() override;
    // With "snapshot" on: the record's named values (alarms/value_snapshot.h)
    // for the threshold pass; otherwise the snapshot is left as it is.
    void GenJsonData() override;

    virtual int parse42_41(const unsigned char* data, int len);
    virtual int parse42_41_2(const unsigned char* data, int len);
    virtual int parse42_44(const unsigned char* data, int len);
    virtual int parse42_44_2(const unsigned char* data, int len);
    virtual int parse41_41(const unsigned char* data, int len);
    virtual int parse41_43(const unsigned char* data, int len);
    virtual int parse41_44(const unsigned char* data, int len);
    virtual int parse40_44(const unsigned char* data, int len);
    virtual int parse40_43(const unsigned char* data, int len);
    virtual int parse40_41(const unsigned char* data, int len);

    // The options that change reply layouts, as the decoders take them.
    LayoutOptions Layout() const;

    int ctrl_result_ = -1;
    uint8_t group_byte_ = 1;  // settings key "cg"
    bool has_ac = true;
    bool has_dc = false;
    int no_dc_number = -1;
    bool has_a = true;
    bool has_b = true;
    bool has_c = true;
    int dc_i_adjust = 1;
    int ac_line = 1;
    int ac_type = 0;
    int skip_41_41 = 0;
    bool has_tower = false;
    int no_40_arg = 0;
    int no_42_arg = 0;
    uint64_t dc_number_ = 0;
    int open_41_43 = 0;
    // settings key "snapshot": non-zero fills the threshold pass's snapshot
    // from the record; 0 leaves the rule-driven modes without values.
    int snapshot = 0;

  private:
    // Touched only by RunCheckThreshold, which the round's completion runs
    // on the device's own poll.
    UnicomAlarmTexts unicom_alarm_texts_;
    TelecomAlarmTexts telecom_alarm_texts_;
};
