// The timetable of a scenario: each event's action and arguments checked
// as the scenario loads, so that nothing in it can fail once the
// simulator is answering.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "sim/scenario.h"

namespace sim {

// `list`: the "events" member (null: none). `s`: the scenario so far, its
// units already read; module numbers are checked against the modules
// there will be when each event comes.
bool ParseEvents(const Json::Value& list, const Scenario& s, std::vector<Event>* out,
                 std::string* error);

}  // namespace sim
