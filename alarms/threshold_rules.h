// Building blocks of the rule-driven threshold pass: level rules with
// hysteresis, the alarm id of an analog [AI] rule, the mobile [ALARM] rules,
// and the analog-report criteria.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "host/host_types.h"

// ---------------------------------------------------------------- level rules

// The new state of a level rule for value `v`. A raised rule clears only
// once the value is back at `recover_value`; both tests include equality,
// and a NaN value keeps the state.
bool NextLevelRuleActive(bool active, float value, float recover_value, float v, bool upper);

// "当前值<v>高于阈值:<value>" (upper) or "...低于阈值:..." (lower) while the
// rule is raised, empty otherwise.
std::string LevelRuleDescription(bool active, float v, float value, bool upper);

// ---------------------------------------------------------------- [AI] rules

// The threshold alarm id of an analog rule identifier: its 4th character
// becomes '6' and its 9th '1' ("ABCDEFGHIJ" -> "ABC6EFGH1J"). Empty for an
// identifier shorter than 9 characters, which has no such id.
std::optional<std::string> AiAlarmId(const std::string& identifier);

// ---------------------------------------------------------------- mobile rules

enum class MobileDirection { kUpper, kLower, kEqual, kNotEqual };

struct MobileRule {
    std::string data_name;  // rule key up to its first '_'
    std::string alarm_id;   // rule text up to its first ','
    std::string direction;  // rule text after its first ','
};

// Splits a mobile rule; a text without a comma gives its whole self to both
// the alarm id and the direction.
MobileRule SplitMobileRule(const std::string& key, const std::string& text);

// "upper", "lower", "equal", "notequal"; anything else has no direction.
std::optional<MobileDirection> ParseMobileDirection(const std::string& word);

// Whether a snapshot value violates a mobile rule. Numbers (integer or real)
// are compared by value; other JSON types by the JSON library's ordering
// against a real. The caller skips null values.
bool MobileRuleActive(const Json::Value& v, float threshold, MobileDirection d);

// The JSON library's stream form of a value ("56.0", "null").
std::string JsonText(const Json::Value& v);

// ---------------------------------------------------------------- analog reports

// The report settings of `key`, created as a copy of those of `template_id`
// when the key has none; null when neither has settings.
BAOSetting* AOReportEntry(std::map<std::string, BAOSetting>& settings,
                          const std::string& template_id, const std::string& key);

// Whether `value` is due to be reported at `now` (seconds since the epoch):
// it moved by more than the absolute delta or the percentage of the last
// reported value, or the period has passed since the last report.
bool AOReportDue(const BAOSetting& b, float value, uint32_t now);
