// Alarms of sites of the operator "unicom": the host evaluates AC and DC
// values against its own thresholds and reports them as analog values; the
// plug-in decides mains failure and rectifier module faults.
#pragma once

#include "alarms/alarm_sink.h"
#include "protocol/record.h"

void RunUnicomMapping(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, AlarmSink& host);
