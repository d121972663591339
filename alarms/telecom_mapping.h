// Alarms of sites of the operator "telecom": the plug-in decides every alarm
// itself, against fixed limits or the host's per-alarm thresholds, and
// reports only the alarms that the host's level table enables.
#pragma once

#include "alarms/alarm_sink.h"
#include "protocol/record.h"

void RunTelecomMapping(const q318b_419_Data_t& d, const AlarmSiteOptions& opt,
                       HostAlarmTables tables, AlarmSink& host);
