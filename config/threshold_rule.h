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

    // The texts the threshold pass last handed the host for this rule, with
    // what they were made from, so that a round in which neither the value
    // nor the state moved builds none.
    struct Shown {
        bool made = false;
        bool active = false;
        float v = 0.0f;
        float value = 0.0f;
        std::string value_text;
        std::string description;
    } shown;
};

using ThresholdRuleMap = std::map<std::string, ThresholdRule>;
