// The host's alarm store: it keeps the raised/cleared state of every alarm
// and turns the devices' per-round reports into events, one per change.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

struct AlarmChange {
    unsigned int data_id = 0;
    int level = 0;
    std::string key;
    std::string alarm_id;
    std::string value_text;
    std::string alarm_text;
    bool active = false;
    uint16_t ordinal = 0;
};

// The host's own threshold for an alarm id (CheckThreshold): no level, no
// alarm. Upper alarms are raised above the threshold, lower ones below it;
// with a recover value a raised alarm clears only once the value has come
// back to it (equality included).
struct ThresholdConfig {
    enum class Direction { kUpper, kLower };
    int level = 0;
    float threshold = 0.0f;
    Direction direction = Direction::kUpper;
    std::optional<float> recover;
};

class AlarmStore {
  public:
    // A two-state report. An alarm's identity is (device, alarm id, key,
    // alarm text). Returns the change when the state changed; clearing an
    // alarm that was never raised is no change.
    //
    // Some alarms carry their value in the text (the rule-driven threshold
    // alarms), so one alarm's text changes from round to round. A report
    // whose identity is new therefore continues the alarm of the same
    // device, id, key and ordinal that has not been reported yet in the
    // device's current round, if there is exactly one: it takes the new
    // text, and only a change of state is an event. Alarms that differ by
    // text alone (one per AC input or module) are all reported every round,
    // so each finds its own identity first.
    std::optional<AlarmChange> Report(const AlarmChange& report);
    // A new round of the device begins (its record was published). Until
    // the first, every new text is a new alarm.
    void BeginRound(unsigned int data_id);

    // Compares a value with the host threshold of `alarm_id` and reports
    // the outcome; nothing when the id has no configured level.
    std::optional<AlarmChange> Evaluate(unsigned int data_id,
                                        const std::map<std::string, ThresholdConfig>& config,
                                        const std::string& alarm_id, const std::string& name,
                                        float value);

    // Alarms raised now, in identity order.
    std::vector<AlarmChange> Active() const;
    std::vector<AlarmChange> Active(unsigned int data_id) const;
    // Every alarm reported for the device so far, raised or not, in
    // identity order: what a metrics page shows as 1 or 0.
    std::vector<AlarmChange> Known(unsigned int data_id) const;

  private:
    using Identity = std::tuple<unsigned int, std::string, std::string, std::string>;
    using State = std::map<Identity, AlarmChange>;
    // The alarm `report` continues under a new text, moved to the report's
    // identity; end() when there is none.
    State::iterator Continued(const AlarmChange& report, const Identity& id);

    State state_;
    std::map<Identity, uint64_t> reported_in_;  // the device's round of the last report
    std::map<unsigned int, uint64_t> round_;    // rounds begun per device
};
