// Generic polled device: owns one measurement record of type T, derives
// from the host protocol class P and publishes the record under data type
// number N. Members are defined out of line (device/*.tpp) and the template
// is instantiated once, in device/q318b_419.cpp.
#pragma once

#include <json/value.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "config/threshold_rule.h"
#include "host/qvr_device.h"

template <typename T, typename P, int N>
class UniDataDevice : public P {
  public:
    UniDataDevice();
    ~UniDataDevice() override;

    using P::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    bool InitSetting(const Json::Value& setting) override;

    virtual void RunCheckThreshold();
    virtual void GenJsonData();

    // Evaluates one level table in place (hysteresis in the rules' active
    // flags); `upper` for the Up and Up2 tables.
    void CheckSignalThresholdMap(ThresholdRuleMap& rules, bool upper);
    // True when `value` was reported to the host under `key`; a key without
    // report settings starts from a copy of those of `template_id`.
    using P::CheckAOReport;
    bool CheckAOReport(const std::string& template_id, const std::string& key, float value);

    T data_;
    int b_mode_ = 1;
    std::map<std::string, std::string> mobile_alarm_text_;
    std::map<std::string, std::string> mobile_signal_name_;
    std::map<std::string, std::string> alarm_rules_;
    ThresholdRuleMap up_rules_;
    ThresholdRuleMap up2_rules_;
    ThresholdRuleMap low_rules_;
    ThresholdRuleMap low2_rules_;
    std::mutex json_mutex_;
    Json::Value json_data_;
    std::map<std::string, std::pair<std::string, std::string>> ai_rules_;

  protected:
    // The threshold pass of the operator mode, run by RoundDone after
    // RunCheckThreshold.
    void RunThresholdPass();
    // Loads the "thresholdSetting" entries of the mobile and level modes.
    void LoadThresholdSettings(const Json::Value& setting);
};
