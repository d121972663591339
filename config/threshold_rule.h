// One level rule of the level-threshold mode, shared by the settings loader
// and the threshold pass.
#pragma once

#include <map>
#include <string>

// Raised when the value crosses `value`, cleared when it comes back to
// `recover_value`.
struct ThresholdRule {
    std::string alarm_id;
    float value = 0.0f;
    float recover_value = 0.0f;
    bool active = false;
    int level = 0;
};

using ThresholdRuleMap = std::map<std::string, ThresholdRule>;
