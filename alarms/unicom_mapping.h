// Alarms of sites of the operator "unicom": the host evaluates AC and DC
// values against its own thresholds and reports them as analog values; the
// plug-in decides mains failure and rectifier module faults.
#pragma once

#include <string>
#include <vector>

#include "alarms/alarm_sink.h"
#include "protocol/record.h"

// The module fault keys ("419430501" and the module's number), which depend
// on the module's number alone: a device keeps one of these for its life.
class UnicomAlarmTexts {
  public:
    // The key of module `module` (0-based), built on first use.
    const std::string& ModuleFaultKey(size_t module);

  private:
    std::vector<std::string> module_fault_keys_;
};

void RunUnicomMapping(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, AlarmSink& host,
                      UnicomAlarmTexts& texts);
