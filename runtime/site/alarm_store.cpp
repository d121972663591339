#include "runtime/site/alarm_store.h"

#include <cmath>
#include <cstdio>

void AlarmStore::BeginRound(unsigned int data_id) {
    ++round_[data_id];
}

AlarmStore::State::iterator AlarmStore::Continued(const AlarmChange& report, const Identity& id) {
    const auto round = round_.find(report.data_id);
    if (round == round_.end()) return state_.end();
    auto found = state_.end();
    for (auto it = state_.lower_bound(Identity{report.data_id, report.alarm_id, report.key, ""});
         it != state_.end() && std::get<0>(it->first) == report.data_id &&
         std::get<1>(it->first) == report.alarm_id && std::get<2>(it->first) == report.key;
         ++it) {
        if (it->second.ordinal != report.ordinal || reported_in_[it->first] >= round->second)
            continue;
        // Two could be it: the report is told apart by its text after all.
        if (found != state_.end()) return state_.end();
        found = it;
    }
    if (found == state_.end()) return found;
    auto rounds = reported_in_.extract(found->first);
    rounds.key() = id;
    reported_in_.insert(std::move(rounds));
    auto node = state_.extract(found);
    node.key() = id;
    return state_.insert(std::move(node)).position;
}

std::optional<AlarmChange> AlarmStore::Report(const AlarmChange& report) {
    Identity id{report.data_id, report.alarm_id, report.key, report.alarm_text};
    auto it = state_.find(id);
    if (it == state_.end()) it = Continued(report, id);
    const auto round = round_.find(report.data_id);
    reported_in_[id] = round == round_.end() ? 0 : round->second;
    const bool was_active = it != state_.end() && it->second.active;
    if (it == state_.end()) {
        // Kept even when it is not raised: the host knows the alarm.
        state_.emplace(id, report);
        if (!report.active) return std::nullopt;
        return report;
    }
    if (was_active == report.active) {
        // Same state: keep the latest texts for display, no event.
        it->second = report;
        return std::nullopt;
    }
    it->second = report;
    return report;
}

std::optional<AlarmChange> AlarmStore::Evaluate(
    unsigned int data_id, const std::map<std::string, ThresholdConfig>& config,
    const std::string& alarm_id, const std::string& name, float value) {
    auto cfg = config.find(alarm_id);
    if (cfg == config.end() || cfg->second.level == 0) return std::nullopt;
    if (std::isnan(value)) return std::nullopt;
    const ThresholdConfig& c = cfg->second;

    AlarmChange r;
    r.data_id = data_id;
    r.level = c.level;
    r.key = alarm_id;
    r.alarm_id = alarm_id;
    r.alarm_text = name.empty() ? alarm_id : name;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
    r.value_text = buf;
    r.ordinal = 1;

    auto it = state_.find(Identity{data_id, r.alarm_id, r.key, r.alarm_text});
    const bool was_active = it != state_.end() && it->second.active;
    const bool upper = c.direction == ThresholdConfig::Direction::kUpper;
    const bool beyond = upper ? value > c.threshold : value < c.threshold;
    bool active = beyond;
    if (was_active && !beyond && c.recover) {
        // Hold the alarm until the value has come back past the recover value.
        active = upper ? value > *c.recover : value < *c.recover;
    }
    r.active = active;
    return Report(r);
}

std::vector<AlarmChange> AlarmStore::Active() const {
    std::vector<AlarmChange> out;
    for (const auto& kv : state_)
        if (kv.second.active) out.push_back(kv.second);
    return out;
}

// Identities begin with the device, so one device's alarms are a range of
// the map: a site of a thousand devices is not walked for each of them.
std::vector<AlarmChange> AlarmStore::Known(unsigned int data_id) const {
    std::vector<AlarmChange> out;
    for (auto it = state_.lower_bound(Identity{data_id, {}, {}, {}});
         it != state_.end() && std::get<0>(it->first) == data_id; ++it)
        out.push_back(it->second);
    return out;
}

std::vector<AlarmChange> AlarmStore::Active(unsigned int data_id) const {
    std::vector<AlarmChange> out;
    for (auto it = state_.lower_bound(Identity{data_id, {}, {}, {}});
         it != state_.end() && std::get<0>(it->first) == data_id; ++it)
        if (it->second.active) out.push_back(it->second);
    return out;
}
