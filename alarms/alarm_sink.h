// The host services that the alarm mappings use. The device forwards them
// to the host (the analog report through its own report decision), so the
// mappings themselves only read the record and the site options.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class AlarmSink {
  public:
    virtual ~AlarmSink() = default;

    // The host compares `value` with its own thresholds for `alarm_id`.
    virtual void CheckThreshold(const std::string& alarm_id, const std::string& name,
                                const float& value) = 0;
    // Raises (active) or clears a two-state alarm.
    virtual void CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                                    const std::string& value_text, const std::string& alarm_text,
                                    bool active, uint16_t ordinal) = 0;
    // Reports `value` under `key` when the report criteria of `key` (or a
    // copy of those of `template_id`) say it is due.
    virtual void CheckAOReport(const std::string& template_id, const std::string& key,
                               float value) = 0;
};

// The site options that decide which alarms apply.
struct AlarmSiteOptions {
    bool has_ac = true;
    bool has_dc = false;
    bool has_a = true;
    bool has_b = true;
    bool has_c = true;
    int ac_line = 1;
    int ac_type = 0;
    int open_41_43 = 0;
    uint64_t dc_number = 0;  // DC groups the controller reported
};

// The host's per-alarm tables. Lookups insert a 0 entry for an identifier
// the host has not configured, as the host itself does.
struct HostAlarmTables {
    std::map<std::string, int>& level;
    std::map<std::string, float>& threshold;
};
