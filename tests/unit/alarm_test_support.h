// Shared pieces of the alarm tests: the host calls as readable lines, and
// analog-report settings that make every value due.
#pragma once

#include <string>
#include <vector>

#include "device/q318b_419.h"
#include "runtime/framework/recording_controller.h"

using OperatorMappingDevice = pmbuspower_419<q318b_419_Data_t, kQ318bDataType>;

// The operator mapping alone, without the model's own alarms.
inline void RunOperatorMapping(q318b_419& dev) {
    dev.OperatorMappingDevice::RunCheckThreshold();
}

inline std::vector<std::string> CallLines(const RecordingController& host) {
    std::vector<std::string> out;
    for (const auto& c : host.calls) out.push_back(ToText(c));
    return out;
}

// Report settings whose period has long passed: every value is due.
inline BAOSetting ReportEveryRound() {
    BAOSetting b;
    b.period_enabled = true;
    b.period_minutes = 0.0f;
    b.last_report_time = 0;
    return b;
}
