// What q318b-host shows: a compact table per round, or one JSON object per
// event.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "protocol/record.h"
#include "runtime/site/alarm_store.h"
#include "runtime/site/link_counts.h"
#include "runtime/site/site_services.h"

// The main values of a record, the active alarms, the link state and the
// line's counters since the runner started.
std::string RoundTable(const std::string& device_name, const q318b_419_Data_t& record,
                       const std::vector<AlarmChange>& active_alarms, bool link_up,
                       const LinkCounts& line);

// One event as a JSON object (records with every field named).
Json::Value EventJson(const HostEvent& e);
// One JSON object on one line, as the JSON stream writes it.
std::string JsonLine(const Json::Value& v);
// A record event's line as JsonLine(EventJson(e)) writes it, put into
// `out` without building the tree, so that a buffer kept from round to
// round is all the line costs. False, with `out` untouched, for any other
// event and for a record of the wrong size (whose line says only that).
bool RecordEventLine(const HostEvent& e, std::string& out);
