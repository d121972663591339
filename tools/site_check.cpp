#include "tools/site_check.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "device/q318b_419.h"
#include "runtime/framework/diag_redirect.h"
#include "runtime/framework/plugin_loader.h"
#include "runtime/site/history_db.h"
#include "tools/snapshot_warning.h"

namespace {

bool SameThreshold(const ThresholdConfig& a, const ThresholdConfig& b) {
    return a.level == b.level && a.threshold == b.threshold && a.direction == b.direction &&
           a.recover == b.recover;
}

bool SamePort(const PortSpec& a, const PortSpec& b) {
    return a.kind == b.kind && a.path == b.path && a.host == b.host && a.port == b.port &&
           a.text == b.text;
}

bool SameControl(const RemoteControlConfig& a, const RemoteControlConfig& b) {
    return a.enabled == b.enabled && a.token == b.token && a.allow_raw == b.allow_raw &&
           a.reply_timeout == b.reply_timeout;
}

bool SameMqtt(const MqttConfig& a, const MqttConfig& b) {
    return a.enabled == b.enabled && a.url == b.url && a.topic_prefix == b.topic_prefix &&
           a.client_id == b.client_id && a.username == b.username && a.password == b.password &&
           a.ca_file == b.ca_file && a.cert_file == b.cert_file && a.key_file == b.key_file &&
           a.qos == b.qos && a.keepalive == b.keepalive && a.alarm_queue == b.alarm_queue &&
           a.homeassistant == b.homeassistant && SameControl(a.control, b.control);
}

}  // namespace

std::vector<std::string> MembersReadAtStart(const SiteConfig& running, const SiteConfig& next) {
    std::vector<std::string> out;
    if (running.plugin != next.plugin) out.push_back("plugin");
    if (running.database != next.database) out.push_back("database");
    if (running.http_listen != next.http_listen ||
        !SameControl(running.http_control, next.http_control))
        out.push_back("http");
    const NotifyConfig &a = running.notify, &b = next.notify;
    if (a.enabled != b.enabled || a.command != b.command || a.timeout_s != b.timeout_s ||
        a.max_running != b.max_running || a.queue != b.queue)
        out.push_back("notify");
    if (!SameMqtt(running.mqtt, next.mqtt)) out.push_back("mqtt");
    return out;
}

std::vector<std::string> LoadSiteScenarios(const SiteConfig& site, SiteScenarios* out) {
    std::vector<std::string> problems;
    std::map<std::string, bool> tried;
    for (const auto& d : site.devices) {
        if (d.port.kind != PortSpec::Kind::kSimulator || tried.count(d.port.text)) continue;
        tried[d.port.text] = true;
        SiteScenario s;
        std::ifstream in(d.port.path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        s.text = text.str();
        std::string err;
        if (!sim::LoadScenarioFile(d.port.path, &s.scenario, &err)) {
            // The reader's message names the scenario file itself.
            problems.push_back("site file " + site.file + ": " + d.name + ": " + err);
            continue;
        }
        (*out)[d.port.text] = std::move(s);
    }
    return problems;
}

std::unique_ptr<QVRSPDevice> MakeSiteDevice(QVRSPDeviceProvider& factory, const DeviceConfig& cfg,
                                            const std::shared_ptr<QVRController>& controller,
                                            const std::string& site_file) {
    std::unique_ptr<QVRSPDevice> owner(factory.create());
    auto* dev = static_cast<PMBusProtocol*>(owner.get());
    dev->address_ = static_cast<uint8_t>(cfg.address);
    for (const auto& a : cfg.alarms) {
        dev->alarm_level_[a.first] = a.second.level;
        dev->alarm_threshold_[a.first] = a.second.threshold;
    }
    dev->Init(controller, cfg.data_id, cfg.settings);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        throw std::runtime_error("cannot read the working folder");
    if (chdir(cfg.workdir.c_str()) != 0)
        throw SiteError("site file " + site_file + ": " + cfg.name + ": cannot enter " +
                        cfg.workdir);
    try {
        dev->InitSetting(cfg.settings);
    } catch (const std::exception& e) {
        (void)!chdir(cwd);
        throw SiteError("site file " + site_file + ": " + cfg.name +
                        ": settings rejected by the plug-in: " + e.what());
    }
    if (chdir(cwd) != 0) throw std::runtime_error("cannot return to the working folder");
    if (cfg.baud_rate > 0) dev->baud_rate_ = cfg.baud_rate;
    // A controller of another protocol version refuses every command that
    // names 0x20; the site says which one it speaks.
    if (cfg.protocol_version > 0) dev->protocol_ver_ = static_cast<uint8_t>(cfg.protocol_version);
    return owner;
}

std::vector<std::string> CheckSite(const std::string& site_path, const std::string& plugin,
                                   const std::string& default_plugin, const std::string& database,
                                   SiteConfig* site_out) {
    SiteConfig site;
    try {
        site = LoadSiteConfig(site_path);
    } catch (const SiteError& e) {
        return {e.what()};
    }
    SiteScenarios scenarios;
    std::vector<std::string> problems = LoadSiteScenarios(site, &scenarios);
    const std::string db = !database.empty() ? database : site.database;
    if (!db.empty()) {
        const std::string problem = HistoryDb::CheckExisting(db);
        if (!problem.empty()) problems.push_back(problem);
    }
    const std::string plugin_path = !plugin.empty()        ? plugin
                                    : !site.plugin.empty() ? site.plugin
                                                           : default_plugin;
    try {
        PluginHandle handle(plugin_path);
        auto providers = handle.GetProviders();
        auto* factory = providers.size() == 1
                            ? dynamic_cast<QVRSPDeviceProvider*>(providers[0].get())
                            : nullptr;
        if (factory == nullptr)
            throw PluginError("plug-in " + plugin_path +
                              " does not offer one serial-device provider");
        // What the plug-in says while it reads its files is not the check's
        // output.
        DiagRedirect quiet("");
        auto controller = std::make_shared<QVRController>();
        for (const auto& d : site.devices) {
            try {
                const auto dev = MakeSiteDevice(*factory, d, controller, site.file);
                const std::string warning = SnapshotWarning(d, *dev);
                if (!warning.empty())
                    std::fprintf(stderr, "q318b-host: warning: site file %s: %s\n",
                                 site.file.c_str(), warning.c_str());
            } catch (const std::exception& e) {
                problems.push_back(e.what());
            }
        }
    } catch (const std::exception& e) {
        problems.push_back(e.what());
    }
    if (site_out != nullptr) *site_out = std::move(site);
    return problems;
}

bool SameDevice(const DeviceConfig& a, const DeviceConfig& b) {
    if (a.alarms.size() != b.alarms.size()) return false;
    for (auto i = a.alarms.begin(), j = b.alarms.begin(); i != a.alarms.end(); ++i, ++j)
        if (i->first != j->first || !SameThreshold(i->second, j->second)) return false;
    return a.data_id == b.data_id && a.name == b.name && SamePort(a.port, b.port) &&
           a.address == b.address && a.protocol_version == b.protocol_version &&
           a.baud_rate == b.baud_rate && a.poll_interval == b.poll_interval &&
           a.reply_timeout == b.reply_timeout && a.late_window == b.late_window &&
           a.quiet_gap == b.quiet_gap && a.unit_gap == b.unit_gap && a.workdir == b.workdir &&
           a.settings == b.settings;
}
