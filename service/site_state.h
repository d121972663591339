// What the runner knows about its site at one moment, as an immutable
// snapshot. The poll loop builds a new one after completed rounds, link
// changes and alarm changes (at most four times a second: a copy of every
// device is too much to make after each of a thousand devices' rounds) and
// swaps it into the holder; readers on
// other threads (the HTTP listener) only ever see a whole snapshot and never
// reach into a device, a port or the loop.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/site/alarm_store.h"
#include "runtime/site/link_counts.h"

// An active alarm and when the runner saw it raised.
struct ActiveAlarm {
    AlarmChange alarm;
    double since = 0;  // Unix seconds of the raise; 0: not known
};

struct DeviceState {
    unsigned int data_id = 0;
    std::string name;
    std::vector<uint8_t> record;  // the latest published record; empty before the first
    double record_time = 0;       // Unix seconds when that round completed; 0: none yet
    bool link_up = false;
    LinkCounts counts;                // the line's counters since the runner started
    long rounds = 0;                  // rounds completed
    std::vector<ActiveAlarm> alarms;  // active alarms
    // (alarm id, key) of every alarm reported but not raised now.
    std::vector<std::pair<std::string, std::string>> quiet_alarms;
};

struct SiteState {
    std::vector<DeviceState> devices;
};

class SiteStateHolder {
  public:
    void Publish(std::shared_ptr<const SiteState> state);
    // Never null: an empty site before the first Publish.
    std::shared_ptr<const SiteState> Get() const;

  private:
    mutable std::mutex mu_;
    std::shared_ptr<const SiteState> state_ = std::make_shared<const SiteState>();
};
