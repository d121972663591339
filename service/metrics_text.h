// The site snapshot in the Prometheus text exposition format (version
// 0.0.4): base units, counters ending in _total, one family per metric with
// its HELP and TYPE lines, every device's samples labelled data_id and name.
#pragma once

#include <string>

#include "service/site_state.h"

// `now` is Unix seconds, for the age of each device's last round.
std::string MetricsText(const SiteState& state, double now);

// A label value with backslash, double quote and line feed escaped, and any
// byte that is not part of valid UTF-8 replaced by U+FFFD (a scraper rejects
// the whole page otherwise).
std::string EscapeLabelValue(const std::string& value);

// The content type of MetricsText's page.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
