// Plain records and helpers of the host monitoring framework that devices
// share with the host across the plug-in boundary.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <string>

// One pending threshold check, collected by a device and handed to the host
// in one batch (DoBatchCheckThreshold).
struct rule_value {
    std::string alarm_id;
    std::string key;
    float value = 0.0f;
    int level = 0;
};

// Analog-report criteria of one report key or template identifier. Field
// order is part of the host interface.
struct BAOSetting {
    bool abs_enabled;
    float abs_delta;
    bool percent_enabled;
    float percent_delta;
    bool period_enabled;
    float period_minutes;
    uint32_t last_report_time;
    float last_report_value;

    BAOSetting()
        : abs_enabled(false),
          abs_delta(0.0f),
          percent_enabled(false),
          percent_delta(0.0f),
          period_enabled(false),
          period_minutes(0.0f),
          last_report_time(0),
          last_report_value(0.0f) {}
};

enum EnumParity { PARITY_NONE = 0, PARITY_ODD, PARITY_EVEN, PARITY_MARK, PARITY_SPACE };

// Host time value: the low seven bytes, least significant first, are year
// (16 bits), month, day, hour, minute, second. A time that is not a date
// gives 0.
uint64_t get_ttime(boost::posix_time::ptime t);
