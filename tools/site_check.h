// What a site needs before the runner may poll it, checked the same way at
// start, on reload and by --check: the site file, each scenario a
// simulator port names, and each device as the plug-in itself takes its
// settings and rule files (Init and InitSetting on a device that is never
// polled).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/provider.h"
#include "host/qvr_controller.h"
#include "host/qvr_device.h"
#include "runtime/site/site_config.h"
#include "sim/scenario.h"

// The scenarios of a site's simulator ports, by port text, with the file
// content each was read from (a reload restarts a simulator whose file
// changed).
struct SiteScenario {
    sim::Scenario scenario;
    std::string text;
};
using SiteScenarios = std::map<std::string, SiteScenario>;

// Reads the scenario of every simulator port in `site` not already in
// `have` into `out`. One line per file that cannot be used, naming the
// site file and the device.
std::vector<std::string> LoadSiteScenarios(const SiteConfig& site, SiteScenarios* out);

// Makes a device of `factory` for `cfg` as the host does: host alarm
// configuration, Init with `controller`, then InitSetting in the device's
// working folder, where the plug-in looks for ./ini/. Throws SiteError
// naming the site file and the device.
std::unique_ptr<QVRSPDevice> MakeSiteDevice(QVRSPDeviceProvider& factory, const DeviceConfig& cfg,
                                            const std::shared_ptr<QVRController>& controller,
                                            const std::string& site_file);

// Every problem of the site at `site_path`, one line each; empty when the
// runner would start with it. `plugin` and `database` override the site's
// when not empty; `default_plugin` is loaded when neither names one.
// `site_out` receives the site when its file could be read. The plug-in's
// diagnostics are dropped meanwhile. What runs but not as the site likely
// means (SnapshotWarning) is written to standard error as it is found, one
// "q318b-host: warning: " line each, and is no problem.
std::vector<std::string> CheckSite(const std::string& site_path, const std::string& plugin,
                                   const std::string& default_plugin, const std::string& database,
                                   SiteConfig* site_out);

// Whether two devices of a site would be polled the same way: a reload
// leaves such a device running.
bool SameDevice(const DeviceConfig& a, const DeviceConfig& b);

// The top-level members of `next` that differ from the running site's and
// that a reload does not apply (they are read at the start only), by
// their names in the site file.
std::vector<std::string> MembersReadAtStart(const SiteConfig& running, const SiteConfig& next);
