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
    std::optional<AlarmChange> Report(const AlarmChange& report);

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
    std::map<Identity, AlarmChange> state_;
};
