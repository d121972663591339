// Threshold pass, level rules, analog reports and the operator alarm mapping.
// The mappings themselves live in alarms/ as plain functions over the record;
// this file binds them to the device and the host.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>

#include "alarms/alarm_sink.h"
#include "alarms/model_alarms.h"
#include "alarms/telecom_mapping.h"
#include "alarms/threshold_rules.h"
#include "alarms/unicom_mapping.h"
#include "alarms/value_snapshot.h"
#include "alarms/value_text.h"
#include "device/pmbuspower_419.h"

// Forwards the mappings' calls to the device's host; analog reports go
// through the device's own report decision.
template <typename D>
class DeviceAlarmSink final : public AlarmSink {
  public:
    explicit DeviceAlarmSink(D& dev) : dev_(dev) {}

    void CheckThreshold(const std::string& alarm_id, const std::string& name,
                        const float& value) override {
        dev_.QVRVDevice::CheckThreshold(alarm_id, name, value, 1);
    }
    void CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                            const std::string& value_text, const std::string& alarm_text,
                            bool active, uint16_t ordinal) override {
        dev_.QVRVDevice::CheckThresholdBool(level, key, alarm_id, value_text, alarm_text, active,
                                            ordinal);
    }
    void CheckAOReport(const std::string& template_id, const std::string& key,
                       float value) override {
        dev_.CheckAOReport(template_id, key, value);
    }

  private:
    D& dev_;
};

template <typename D>
AlarmSiteOptions SiteOptionsOf(const D& dev) {
    AlarmSiteOptions opt;
    opt.has_ac = dev.has_ac;
    opt.has_dc = dev.has_dc;
    opt.has_a = dev.has_a;
    opt.has_b = dev.has_b;
    opt.has_c = dev.has_c;
    opt.ac_line = dev.ac_line;
    opt.ac_type = dev.ac_type;
    opt.open_41_43 = dev.open_41_43;
    opt.dc_number = dev.dc_number_;
    return opt;
}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::RunCheckThreshold() {}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::RunThresholdPass() {
    switch (b_mode_) {
        case 1: {  // unicom: the [AI] values go to the host's own thresholds
            this->GenJsonData();
            std::lock_guard<std::mutex> lock(json_mutex_);
            for (const auto& [name, rule] : ai_rules_) {
                const std::string& identifier = rule.first;
                const auto alarm_id = AiAlarmId(identifier);
                if (!alarm_id) {
                    std::cout << "AI " << name << " identifier:" << identifier
                              << " has fewer than 9 characters, skipped" << std::endl;
                    continue;
                }
                const Json::Value& v = json_data_[name];
                if (v.isNull()) continue;
                const float value = v.asFloat();
                this->QVRVDevice::CheckThreshold(*alarm_id, rule.second, value, 1);
                CheckAOReport(*alarm_id, identifier, value);
            }
            break;
        }
        case 3: {  // mobile: [ALARM] rules against the host's levels and thresholds
            this->GenJsonData();
            std::lock_guard<std::mutex> lock(json_mutex_);
            for (const auto& [key, text] : alarm_rules_) {
                const MobileRule r = SplitMobileRule(key, text);
                const int level = this->alarm_level_[r.alarm_id];
                const float threshold = this->alarm_threshold_[r.alarm_id];
                const Json::Value& v = json_data_[r.data_name];
                const std::string value_text = JsonText(v);
                std::cout << "dataName:" << r.data_name << " alarmId:" << r.alarm_id
                          << " alarmComp:" << r.direction << " level:" << level
                          << " realvalue:" << value_text << " vs " << threshold << "\n";
                if (level == 0) continue;
                // No value is no reading: compared as null it would hold every
                // "lower" and "notequal" rule raised.
                if (v.isNull()) continue;
                const auto direction = ParseMobileDirection(r.direction);
                if (!direction) continue;
                const auto text_it = mobile_alarm_text_.find(r.alarm_id);
                const auto name_it = mobile_signal_name_.find(r.alarm_id);
                const std::string description =
                    (text_it == mobile_alarm_text_.end() ? std::string() : text_it->second) +
                    value_text;
                const std::string signal_name =
                    name_it == mobile_signal_name_.end() ? std::string() : name_it->second;
                this->QVRVDevice::CheckThresholdBool(level, r.alarm_id, r.alarm_id, signal_name,
                                                     description,
                                                     MobileRuleActive(v, threshold, *direction), 1);
            }
            break;
        }
        case 5: {  // level thresholds from the settings
            this->GenJsonData();
            std::lock_guard<std::mutex> lock(json_mutex_);
            CheckSignalThresholdMap(up_rules_, true);
            CheckSignalThresholdMap(up2_rules_, true);
            CheckSignalThresholdMap(low_rules_, false);
            CheckSignalThresholdMap(low2_rules_, false);
            break;
        }
        default:
            break;
    }
}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::CheckSignalThresholdMap(ThresholdRuleMap& rules, bool upper) {
    if (!json_data_.isObject()) return;
    for (auto& [key, rule] : rules) {
        const Json::Value* member = json_data_.find(key.data(), key.data() + key.size());
        if (member == nullptr || !member->isNumeric()) continue;
        const float v = member->asFloat();
        rule.active = NextLevelRuleActive(rule.active, rule.value, rule.recover_value, v, upper);
        ThresholdRule::Shown& shown = rule.shown;
        // Bit for bit: a NaN is its own value, and -0 prints apart from 0.
        if (!shown.made || shown.active != rule.active ||
            std::memcmp(&shown.v, &v, sizeof v) != 0 ||
            std::memcmp(&shown.value, &rule.value, sizeof v) != 0) {
            shown.value_text = NineDigits(v);
            shown.description = LevelRuleDescription(rule.active, v, rule.value, upper);
            shown.made = true;
            shown.active = rule.active;
            shown.v = v;
            shown.value = rule.value;
        }
        this->QVRVDevice::CheckThresholdBool(rule.level, key, rule.alarm_id, shown.value_text,
                                             shown.description, rule.active, 1);
    }
}

template <typename T, typename P, int N>
bool UniDataDevice<T, P, N>::CheckAOReport(const std::string& template_id, const std::string& key,
                                           float value) {
    BAOSetting* b = AOReportEntry(this->ao_report_settings_, template_id, key);
    if (b == nullptr) return false;
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    if (!AOReportDue(*b, value, now)) return false;
    b->last_report_value = value;
    b->last_report_time = now;
    this->QVRVDevice::CheckAOReport(key, value);
    return true;
}

template <typename T, int N>
void pmbuspower_419<T, N>::GenJsonData() {
    if (snapshot == 0) return;
    // Built whole, then swapped in: whatever reads the snapshot under the
    // lock never sees a half-filled one, nor a value of the round before.
    Json::Value next = ValueSnapshot(this->data_, SiteOptionsOf(*this));
    std::lock_guard<std::mutex> lock(this->json_mutex_);
    this->json_data_.swap(next);
}

template <typename T, int N>
void pmbuspower_419<T, N>::RunCheckThreshold() {
    DeviceAlarmSink<pmbuspower_419> sink(*this);
    switch (this->b_mode_) {
        case 1:
            RunUnicomMapping(this->data_, SiteOptionsOf(*this), sink, unicom_alarm_texts_);
            break;
        case 2:
            RunTelecomMapping(this->data_, SiteOptionsOf(*this),
                              HostAlarmTables{this->alarm_level_, this->alarm_threshold_}, sink,
                              telecom_alarm_texts_);
            break;
        default:  // mobile alarms come from the threshold pass
            break;
    }
}
