#include "config/threshold_entries.h"

#include <cstdlib>

#include "config/setting_value.h"

namespace {

// The text of a present, non-null member, or false.
bool MemberText(const Json::Value& entry, const char* key, std::string& text) {
    const Json::Value* member = SettingMember(entry, key);
    if (member == nullptr) return false;
    text = member->asString();
    return true;
}

}  // namespace

bool LoadLevelRule(const Json::Value& entry, const std::string& signal, const std::string& id,
                   const char* value_key, const char* recover_key, const char* level_key,
                   const char* suffix, ThresholdRuleMap& table) {
    if (SettingMember(entry, value_key) == nullptr ||
        SettingMember(entry, recover_key) == nullptr || SettingMember(entry, level_key) == nullptr)
        return false;
    std::string value, recover, level;
    MemberText(entry, value_key, value);
    MemberText(entry, recover_key, recover);
    MemberText(entry, level_key, level);
    if (value.empty() || recover.empty() || level.empty()) return false;

    ThresholdRule rule;
    rule.alarm_id = id + suffix;
    rule.value = static_cast<float>(std::atof(value.c_str()));
    rule.recover_value = static_cast<float>(std::atof(recover.c_str()));
    rule.active = false;
    rule.level = std::atoi(level.c_str());
    table[signal] = rule;
    return true;
}

void LoadLevelEntries(const Json::Value& setting, ThresholdRuleMap& up, ThresholdRuleMap& up2,
                      ThresholdRuleMap& low, ThresholdRuleMap& low2) {
    up.clear();
    up2.clear();
    low.clear();
    low2.clear();
    const Json::Value* entries = SettingMember(setting, "thresholdSetting");
    if (entries == nullptr || !entries->isObject()) return;
    for (const Json::Value& entry : *entries) {
        if (!entry.isObject()) continue;
        std::string id, signal;
        if (!MemberText(entry, "ID", id) || id.empty()) continue;
        if (!MemberText(entry, "SignalName", signal) || signal.empty()) continue;
        LoadLevelRule(entry, signal, id, "UpValue", "UpReconverValue", "UpAlarmLevel", "001", up);
        LoadLevelRule(entry, signal, id, "Up2Value", "Up2ReconverValue", "Up2AlarmLevel", "002",
                      up2);
        LoadLevelRule(entry, signal, id, "LowValue", "LowReconverValue", "LowAlarmLevel", "003",
                      low);
        LoadLevelRule(entry, signal, id, "Low2Value", "Low2ReconverValue", "Low2AlarmLevel", "004",
                      low2);
    }
}

void LoadMobileEntries(const Json::Value& setting, unsigned int data_id,
                       std::map<std::string, int>& alarm_level,
                       std::map<std::string, float>& alarm_threshold,
                       std::map<std::string, std::string>& alarm_text,
                       std::map<std::string, std::string>& signal_name, std::ostream& log) {
    log << "here 1" << std::endl;
    const Json::Value* entries = SettingMember(setting, "thresholdSetting");
    if (entries == nullptr) return;
    log << "here 2" << std::endl;
    const Json::Value& all = *entries;
    for (auto it = all.begin(); it != all.end(); ++it) {
        const std::string key = it.name();
        log << "here " << key << std::endl;
        // Looked up by name, as for an object; an array's elements have no
        // names and make the JSON library raise its type error here.
        const Json::Value& entry = all[key];
        if (!entry.isObject()) continue;

        std::string text;
        if (MemberText(entry, "SignalName", text)) signal_name[key] = text;

        std::string composed;
        static const char* const kParts[] = {"NMAlarmID", "ID", "SignalNumber"};
        for (const char* part : kParts) {
            if (MemberText(entry, part, text))
                composed += text;
            else
                log << data_id << " " << part << " is missing" << std::endl;
            composed += ";";
        }
        log << "mobile:" << key << ":" << composed << " level:" << alarm_level[key]
            << " value:" << alarm_threshold[key] << std::endl;
        alarm_text[key] = composed;
    }
}
