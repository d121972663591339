// Device options, operator mode, rule files and threshold settings.
//
// Errors of the JSON and INI readers are deliberately not caught here: the
// host treats an exception from InitSetting as a configuration it must not
// run with, and the keys applied before the error keep their new values.
#pragma once

#include <iostream>

#include "config/rule_file.h"
#include "config/setting_value.h"
#include "config/threshold_entries.h"
#include "device/pmbuspower_419.h"

template <typename T, typename P, int N>
bool UniDataDevice<T, P, N>::InitSetting(const Json::Value& setting) {
    const unsigned int data_id = this->DataId();
    data_.data_id = data_id;

    if (const Json::Value* app = AppSetting(setting)) {
        if (ReadIntOption(*app, "b_mode", b_mode_))
            std::cout << "InitSetting " << data_id << " b_mode_:" << b_mode_ << std::endl;
    }

    const std::string path =
        FindRuleFile(data_id, this->DeviceType(), CarrierName(b_mode_), std::cout);
    std::cout << "parse ini/yaml filename:" << path << std::endl;
    if (!path.empty()) {
        // A ".yaml" file ends the search but carries no rules we read.
        if (EndsWith(path, ".ini")) LoadRuleFile(path, b_mode_, ai_rules_, alarm_rules_);
        PrintAiRules(data_id, ai_rules_, std::cout);
    }

    if (b_mode_ == 3 || b_mode_ == 5) LoadThresholdSettings(setting);

    return P::InitSetting(setting);
}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::LoadThresholdSettings(const Json::Value& setting) {
    if (b_mode_ == 3)
        LoadMobileEntries(setting, this->DataId(), this->alarm_level_, this->alarm_threshold_,
                          mobile_alarm_text_, mobile_signal_name_, std::cout);
    else if (b_mode_ == 5)
        LoadLevelEntries(setting, up_rules_, up2_rules_, low_rules_, low2_rules_);
}

template <typename T, int N>
bool pmbuspower_419<T, N>::InitSetting(const Json::Value& setting) {
    if (const Json::Value* app = AppSetting(setting)) {
        // The order is fixed: a value the JSON library cannot turn into text
        // stops the reading there, with the earlier keys already applied.
        ReadBoolOption(*app, "has_ac", has_ac);
        ReadBoolOption(*app, "has_dc", has_dc);
        ReadIntOption(*app, "no_dc_number", no_dc_number);
        ReadIntOption(*app, "ac_line", ac_line);
        ReadIntOption(*app, "ac_type", ac_type);
        ReadBoolOption(*app, "has_a", has_a);
        ReadBoolOption(*app, "has_b", has_b);
        ReadBoolOption(*app, "has_c", has_c);
        ReadIntOption(*app, "dc_i_adjust", dc_i_adjust);
        ReadIntOption(*app, "skip_41_41", skip_41_41);
        ReadBoolOption(*app, "has_tower", has_tower);
        ReadIntOption(*app, "no_42_arg", no_42_arg);
        ReadIntOption(*app, "no_40_arg", no_40_arg);
        ReadIntOption(*app, "open_41_43", open_41_43);
        ReadByteOption(*app, "cg", group_byte_);
        ReadIntOption(*app, "snapshot", snapshot);
    }
    this->data_.data_id = this->DataId();
    UniDataDevice<T, PMBusProtocol, N>::InitSetting(setting);
    return true;
}
