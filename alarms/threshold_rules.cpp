#include "alarms/threshold_rules.h"

#include <json/writer.h>

#include <sstream>

#include "alarms/value_text.h"

bool NextLevelRuleActive(bool active, float value, float recover_value, float v, bool upper) {
    if (active) {
        const bool recovered = upper ? recover_value >= v : recover_value <= v;
        return !recovered;
    }
    return upper ? value <= v : value >= v;
}

std::string LevelRuleDescription(bool active, float v, float value, bool upper) {
    if (!active) return std::string();
    return "当前值" + NineDigits(v) + (upper ? "高于阈值:" : "低于阈值:") + NineDigits(value);
}

std::optional<std::string> AiAlarmId(const std::string& identifier) {
    if (identifier.size() < 9) return std::nullopt;
    std::string id = identifier;
    id[3] = '6';
    id[8] = '1';
    return id;
}

MobileRule SplitMobileRule(const std::string& key, const std::string& text) {
    MobileRule r;
    r.data_name = key.substr(0, key.find('_'));
    const auto comma = text.find(',');
    if (comma == std::string::npos) {
        r.alarm_id = text;
        r.direction = text;
    } else {
        r.alarm_id = text.substr(0, comma);
        r.direction = text.substr(comma + 1);
    }
    return r;
}

std::optional<MobileDirection> ParseMobileDirection(const std::string& word) {
    if (word == "upper") return MobileDirection::kUpper;
    if (word == "lower") return MobileDirection::kLower;
    if (word == "equal") return MobileDirection::kEqual;
    if (word == "notequal") return MobileDirection::kNotEqual;
    return std::nullopt;
}

namespace {

template <typename V>
bool Compare(const V& a, const V& b, MobileDirection d) {
    switch (d) {
        case MobileDirection::kUpper:
            return a > b;
        case MobileDirection::kLower:
            return a < b;
        case MobileDirection::kEqual:
            return a == b;
        case MobileDirection::kNotEqual:
            return a != b;
    }
    return false;
}

}  // namespace

bool MobileRuleActive(const Json::Value& v, float threshold, MobileDirection d) {
    const double t = static_cast<double>(threshold);
    // The JSON library orders values of different types by type, so an
    // integer would sit below every real whatever its size.
    if (v.isNumeric()) return Compare(v.asDouble(), t, d);
    return Compare(v, Json::Value(t), d);
}

std::string JsonText(const Json::Value& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

BAOSetting* AOReportEntry(std::map<std::string, BAOSetting>& settings,
                          const std::string& template_id, const std::string& key) {
    auto it = settings.find(key);
    if (it != settings.end()) return &it->second;
    auto tmpl = settings.find(template_id);
    if (tmpl == settings.end()) return nullptr;
    const BAOSetting copy = tmpl->second;
    return &settings.emplace(key, copy).first->second;
}

bool AOReportDue(const BAOSetting& b, float value, uint32_t now) {
    const float last = b.last_report_value;
    if (b.abs_enabled && (value > last + b.abs_delta || value < last - b.abs_delta)) return true;
    if (b.percent_enabled && (value > last * (b.percent_delta + 100.0f) / 100.0f ||
                              value < last * (100.0f - b.percent_delta) / 100.0f))
        return true;
    // In double: a float holds today's epoch seconds only to 128 s.
    if (b.period_enabled &&
        static_cast<double>(now) >
            static_cast<double>(b.last_report_time) + static_cast<double>(b.period_minutes) * 60.0)
        return true;
    return false;
}
