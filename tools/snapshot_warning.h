// A device whose operator mode evaluates rules against the value snapshot
// but whose "snapshot" option is off polls normally and never raises or
// clears one of those rules. Nothing refuses such a site, so the runner
// and --check say so.
#pragma once

#include <string>

#include "host/qvr_device.h"
#include "runtime/site/site_config.h"

// The warning for `dev`, made for `cfg` and initialised (InitSetting has
// run), or "" when there is nothing to say: its mode is one of the
// rule-driven ones (1 [AI] rules, 3 mobile rules, 5 level rules), it has
// such rules loaded, and "snapshot" is 0. A device of another model than
// this plug-in's gets no warning.
std::string SnapshotWarning(const DeviceConfig& cfg, const QVRSPDevice& dev);
