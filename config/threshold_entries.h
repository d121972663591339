// Per-alarm entries of the settings member "thresholdSetting": the texts of
// the mobile operator's alarms and the level thresholds with hysteresis.
// Every field is read as the JSON library's text; an array or object field
// raises the library's type error, which is left to the caller.
#pragma once

#include <json/value.h>

#include <map>
#include <ostream>
#include <string>

#include "config/threshold_rule.h"

// Stores under `signal` in `table` the rule (id + suffix, value, recover
// value, inactive, level) when the three fields are present, not null and
// non-empty; otherwise leaves `table` as it is and returns false.
bool LoadLevelRule(const Json::Value& entry, const std::string& signal, const std::string& id,
                   const char* value_key, const char* recover_key, const char* level_key,
                   const char* suffix, ThresholdRuleMap& table);

// Level thresholds: empties the four tables, then loads the Up, Up2, Low
// and Low2 levels of every usable entry of `setting`'s "thresholdSetting".
void LoadLevelEntries(const Json::Value& setting, ThresholdRuleMap& up, ThresholdRuleMap& up2,
                      ThresholdRuleMap& low, ThresholdRuleMap& low2);

// Mobile texts: per member of "thresholdSetting", the signal name and the
// text "NMAlarmID;ID;SignalNumber;". Looking up the host's level and
// threshold of a member for the diagnostic line adds a 0 entry for it.
void LoadMobileEntries(const Json::Value& setting, unsigned int data_id,
                       std::map<std::string, int>& alarm_level,
                       std::map<std::string, float>& alarm_threshold,
                       std::map<std::string, std::string>& alarm_text,
                       std::map<std::string, std::string>& signal_name, std::ostream& log);
