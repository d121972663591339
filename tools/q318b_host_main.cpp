// q318b-host: loads the q318b_419 plug-in as the monitoring host does,
// initialises the devices of a site file and polls them over serial ports,
// TCP serial servers or the built-in controller simulator, showing each
// round (or, with --json, one JSON object per event).
#include <json/writer.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "device/q318b_419.h"
#include "runtime/framework/diag_redirect.h"
#include "runtime/framework/plugin_loader.h"
#include "runtime/site/history_db.h"
#include "runtime/site/record_json.h"
#include "runtime/site/site_config.h"
#include "runtime/site/site_services.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/port_controller.h"
#include "runtime/wire/transport.h"
#include "service/http_service.h"
#include "service/loop_calls.h"
#include "service/mqtt_publisher.h"
#include "service/notifier.h"
#include "service/site_state.h"
#include "sim/scenario.h"
#include "sim/server.h"
#include "tools/host_options.h"
#include "tools/link_stats_meter.h"
#include "tools/runner_service.h"
#include "tools/runner_view.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

struct Device {
    const DeviceConfig* cfg = nullptr;
    std::unique_ptr<QVRSPDevice> owner;
    PMBusProtocol* dev = nullptr;
    std::shared_ptr<rt::PortController> port;
    long rounds = 0;
    double round_time = 0;  // Unix seconds when the last round completed
    bool round_pending = false;
};

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class Output {
  public:
    Output(FILE* out, bool json) : out_(out), json_(json) {}
    bool json() const { return json_; }
    void Line(const std::string& s) { std::fprintf(out_, "%s\n", s.c_str()); }
    void Json(const Json::Value& v) { Line(JsonLine(v)); }
    void Text(const std::string& s) {
        std::fputs(s.c_str(), out_);
        std::fflush(out_);
    }

  private:
    FILE* out_;
    bool json_;
};

int Run(const HostOptions& opt) {
    // Everything that can be wrong with the site is found before anything
    // is written or started.
    SiteConfig site = LoadSiteConfig(opt.site);
    std::string plugin_path = !opt.plugin.empty()    ? opt.plugin
                              : !site.plugin.empty() ? site.plugin
                                                     : std::string(Q318B_DEFAULT_PLUGIN);
    std::map<std::string, sim::Scenario> scenarios;
    for (const auto& d : site.devices) {
        if (d.port.kind != PortSpec::Kind::kSimulator || scenarios.count(d.port.text)) continue;
        sim::Scenario s;
        std::string err;
        if (!sim::LoadScenarioFile(d.port.path, &s, &err))
            // The reader's message names the scenario file itself.
            throw SiteError("site file " + site.file + ": " + d.name + ": " + err);
        scenarios.emplace(d.port.text, std::move(s));
    }
    const int control_code = opt.control_code;
    const std::vector<uint8_t>& control_bytes = opt.control_bytes;
    PluginHandle plugin(plugin_path);
    auto providers = plugin.GetProviders();
    auto* factory =
        providers.size() == 1 ? dynamic_cast<QVRSPDeviceProvider*>(providers[0].get()) : nullptr;
    if (factory == nullptr)
        throw PluginError("plug-in " + plugin_path + " does not offer one serial-device provider");

    // What the plug-in says while its settings are checked is held back:
    // a refused start creates no diagnostics file.
    DiagRedirect diag{DiagRedirect::Held{}};
    Output out(diag.out(), opt.json);

    rt::EventLoop loop;
    auto services = std::make_shared<SiteServices>();
    auto bridge = std::make_shared<SiteServicesController>(services);
    std::vector<Device> devices(site.devices.size());
    std::map<std::string, std::shared_ptr<rt::PortController>> ports;
    std::map<std::string, std::unique_ptr<sim::SimServer>> sims;

    // Devices are created and initialised as the host does: Init, then
    // InitSetting in the device's working folder (where ./ini/ is looked up).
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        throw std::runtime_error("cannot read the working folder");
    for (size_t i = 0; i < site.devices.size(); ++i) {
        const DeviceConfig& cfg = site.devices[i];
        Device& d = devices[i];
        d.cfg = &cfg;
        d.owner.reset(factory->create());
        d.dev = static_cast<PMBusProtocol*>(d.owner.get());
        auto& port = ports[cfg.port.text];
        if (!port) {
            const PortSpec port_spec = cfg.port;
            port = std::make_shared<rt::PortController>(
                loop, [&sims, port_spec](int baud) -> std::unique_ptr<rt::Transport> {
                    switch (port_spec.kind) {
                        case PortSpec::Kind::kSerial:
                            return std::make_unique<rt::SerialPort>(port_spec.path, baud);
                        case PortSpec::Kind::kTcp:
                            return std::make_unique<rt::TcpClient>(
                                port_spec.host, static_cast<uint16_t>(port_spec.port));
                        case PortSpec::Kind::kSimulator:
                            return std::make_unique<rt::SerialPort>(
                                sims.at(port_spec.text)->pty_path(), baud);
                    }
                    return nullptr;
                });
            port->SetServices(bridge);
        }
        d.port = port;
        d.dev->address_ = static_cast<uint8_t>(cfg.address);
        for (const auto& a : cfg.alarms) {
            d.dev->alarm_level_[a.first] = a.second.level;
            d.dev->alarm_threshold_[a.first] = a.second.threshold;
        }
        services->SetThresholds(cfg.data_id, cfg.alarms);
        d.dev->Init(port, cfg.data_id, cfg.settings);
        if (chdir(cfg.workdir.c_str()) != 0)
            throw SiteError("site file " + site.file + ": " + cfg.name + ": cannot enter " +
                            cfg.workdir);
        try {
            d.dev->InitSetting(cfg.settings);
        } catch (const std::exception& e) {
            (void)!chdir(cwd);
            throw SiteError("site file " + site.file + ": " + cfg.name +
                            ": settings rejected by the plug-in: " + e.what());
        }
        if (chdir(cwd) != 0) throw std::runtime_error("cannot return to the working folder");
        if (cfg.baud_rate > 0) d.dev->baud_rate_ = cfg.baud_rate;
    }

    std::shared_ptr<HistoryDb> db;
    const std::string db_path = opt.no_db               ? ""
                                : !opt.database.empty() ? opt.database
                                                        : site.database;
    if (!db_path.empty()) {
        const std::string problem = HistoryDb::CheckExisting(db_path);
        if (!problem.empty()) throw StoreError(problem);
    }

    // The listening socket is bound now, so that a port in use refuses the
    // start like any other check; nothing is served until the loop runs.
    const std::string http_text = !opt.http.empty() ? opt.http : site.http_listen;
    auto state_holder = std::make_shared<SiteStateHolder>();
    auto loop_calls = std::make_shared<LoopCalls>();
    PluginDeviceAccess access;
    for (auto& d : devices)
        access.Add(d.cfg->data_id, d.dev, [&d] { return d.port->InExchange(*d.dev); });
    LogQueue service_log;
    // One desk for every outside client: a device takes one control request
    // at a time, whether it came over HTTP or MQTT. With both on, requests
    // wait for the longer of the two reply timeouts.
    double control_reply_timeout = site.http_control.reply_timeout;
    if (site.mqtt.control.enabled &&
        (!site.http_control.enabled || site.mqtt.control.reply_timeout > control_reply_timeout))
        control_reply_timeout = site.mqtt.control.reply_timeout;
    auto desk = std::make_shared<ControlDesk>(loop_calls, &access, ServiceContext{}.loop_timeout,
                                              control_reply_timeout);
    std::unique_ptr<HttpService> http;
    if (!http_text.empty()) {
        std::string host, err;
        int port = 0;
        if (!ParseListenAddress(http_text, &host, &port))
            throw SiteError("http listen address " + http_text + " is not ADDR:PORT");
        ServiceContext ctx;
        ctx.holder = state_holder;
        ctx.calls = loop_calls;
        ctx.devices = &access;
        ctx.db_path = db_path;
        ctx.control.enabled = site.http_control.enabled;
        ctx.control.token = site.http_control.token;
        ctx.control.allow_raw = site.http_control.allow_raw;
        ctx.control.reply_timeout = site.http_control.reply_timeout;
        ctx.log = [&service_log](const std::string& line) { service_log.Add(line); };
        ctx.desk = desk;
        http = HttpService::Bind(host, port, std::move(ctx), &err);
        if (!http) throw std::runtime_error(err);
    }

    // Every check has passed: only now are files created.
    const bool diag_existed = !opt.diag.empty() && ::access(opt.diag.c_str(), F_OK) == 0;
    diag.Keep(opt.diag);
    try {
        if (!db_path.empty()) db = std::make_shared<HistoryDb>(db_path);
    } catch (...) {
        if (!opt.diag.empty() && !diag_existed) ::unlink(opt.diag.c_str());
        throw;
    }
    services->SetDatabase(db);
    // The site's notify program: its own thread starts and reaps the
    // processes, the listener only queues.
    std::unique_ptr<Notifier> notifier;
    if (site.notify.enabled) {
        Notifier::Options no;
        no.command = site.notify.command;
        no.timeout_s = site.notify.timeout_s;
        no.max_running = site.notify.max_running;
        no.queue = static_cast<size_t>(site.notify.queue);
        notifier = std::make_unique<Notifier>(
            std::move(no), [&service_log](const std::string& line) { service_log.Add(line); });
    }

    std::map<unsigned, Device*> by_id;
    for (auto& d : devices) by_id[d.cfg->data_id] = &d;
    // When each active alarm was raised, by the alarm store's identity of
    // an alarm (the raise event's time, as stored with it).
    using AlarmKey = std::tuple<unsigned, std::string, std::string, std::string>;
    const auto AlarmIdentity = [](const AlarmChange& a) {
        return AlarmKey{a.data_id, a.alarm_id, a.key, a.alarm_text};
    };
    std::map<AlarmKey, double> alarm_since;
    // The snapshot is rebuilt on the loop after whatever changed it, never
    // from inside a device's call chain, where a round is half stored.
    bool state_changed = true;
    const auto publish_state = [&] {
        auto state = std::make_shared<SiteState>();
        for (const auto& d : devices) {
            const unsigned id = d.cfg->data_id;
            DeviceState s;
            s.data_id = id;
            s.name = d.cfg->name;
            s.record = services->LastRecord(id);
            s.record_time = d.round_time;
            s.link_up = services->LinkUp(id);
            s.counts = CountsOf(d.port->Stats(*d.dev));
            s.rounds = d.rounds;
            for (const auto& a : services->alarms().Active(id)) {
                auto since = alarm_since.find(AlarmIdentity(a));
                s.alarms.push_back({a, since != alarm_since.end() ? since->second : 0.0});
            }
            for (const auto& a : services->alarms().Known(id))
                if (!a.active) s.quiet_alarms.emplace_back(a.alarm_id, a.key);
            state->devices.push_back(std::move(s));
        }
        state_holder->Publish(std::move(state));
        state_changed = false;
    };
    // The broker is reached from a thread of its own; the loop only hands
    // over what changed. --mqtt without the site's member: defaults for the
    // rest.
    MqttConfig mqtt_config = site.mqtt;
    if (!opt.mqtt.empty()) {
        ParseMqttUrl(opt.mqtt, &mqtt_config);  // checked with the flags
        mqtt_config.enabled = true;
    }
    std::unique_ptr<MqttPublisher> mqtt;
    if (mqtt_config.enabled) {
        MqttPublisher::Options mo;
        mo.config = mqtt_config;
        for (const auto& d : devices) mo.devices.insert(d.cfg->data_id);
        mo.log = [&service_log](const std::string& line) { service_log.Add(line); };
        // Checked requests go to the desk from the MQTT thread; the answer
        // comes back on the loop (or at once, for busy and closing) and
        // joins the outbox.
        if (mqtt_config.control.enabled)
            mo.control = [desk, &mqtt, &service_log, control_reply_timeout](
                             unsigned id, const ControlRequest& req,
                             const Json::Value& request_id) {
                desk->Submit(id, req,
                             [id, code = req.code, request_id, &mqtt, &service_log,
                              control_reply_timeout](const ControlOutcome& o) {
                                 Json::Value body = ControlOutcomeJson(id, code, o);
                                 const std::string error =
                                     MqttOutcomeError(o, control_reply_timeout);
                                 if (!error.empty()) body["error"] = error;
                                 if (!request_id.isNull()) body["id"] = request_id;
                                 service_log.Add("MQTT control to device " + std::to_string(id) +
                                                 ": code " + std::to_string(code) + ", " +
                                                 (error.empty() ? "replied" : error));
                                 mqtt->ControlResult(id, std::move(body));
                             });
            };
        mqtt = std::make_unique<MqttPublisher>(std::move(mo));
    }
    const auto active_ids = [&](unsigned id) {
        std::vector<std::string> ids;
        for (const auto& a : services->alarms().Active(id)) ids.push_back(a.alarm_id);
        return ids;
    };
    bridge->on_round_stored = [&](unsigned id) {
        auto it = by_id.find(id);
        if (it != by_id.end()) {
            it->second->rounds++;
            it->second->round_time = UnixNow();
            it->second->round_pending = true;
            state_changed = true;
        }
    };
    services->SetListener([&](const HostEvent& e) {
        if (e.kind != HostEvent::Kind::kRecordPublished && e.kind != HostEvent::Kind::kAnalogReport)
            state_changed = true;
        if (mqtt &&
            (e.kind == HostEvent::Kind::kAlarmRaised || e.kind == HostEvent::Kind::kAlarmCleared)) {
            MqttAlarm a;
            a.raised = e.kind == HostEvent::Kind::kAlarmRaised;
            auto dev = by_id.find(e.data_id);
            a.name = dev != by_id.end() ? dev->second->cfg->name : "";
            a.alarm = e.alarm;
            a.time = static_cast<double>(e.unix_time);
            mqtt->Alarm(std::move(a));
        } else if (mqtt &&
                   (e.kind == HostEvent::Kind::kLinkLost || e.kind == HostEvent::Kind::kLinkBack)) {
            mqtt->Link(e.data_id, e.kind == HostEvent::Kind::kLinkBack, e.detail,
                       static_cast<double>(e.unix_time));
        }
        if (e.kind == HostEvent::Kind::kAlarmRaised)
            alarm_since[AlarmIdentity(e.alarm)] = static_cast<double>(e.unix_time);
        else if (e.kind == HostEvent::Kind::kAlarmCleared)
            alarm_since.erase(AlarmIdentity(e.alarm));
        if (notifier &&
            (e.kind == HostEvent::Kind::kAlarmRaised || e.kind == HostEvent::Kind::kAlarmCleared)) {
            AlarmNotice n;
            n.raised = e.kind == HostEvent::Kind::kAlarmRaised;
            n.data_id = e.data_id;
            auto dev = by_id.find(e.data_id);
            n.device = dev != by_id.end() ? dev->second->cfg->name : "";
            n.alarm_id = e.alarm.alarm_id;
            n.key = e.alarm.key;
            n.alarm_text = e.alarm.alarm_text;
            n.value_text = e.alarm.value_text;
            n.level = e.alarm.level;
            n.time = e.time;
            notifier->Notify(n);
        }
        if (out.json()) {
            out.Json(EventJson(e));
        } else if (e.kind == HostEvent::Kind::kAlarmRaised ||
                   e.kind == HostEvent::Kind::kAlarmCleared) {
            out.Line(e.time + "  " +
                     (e.kind == HostEvent::Kind::kAlarmRaised ? "RAISED " : "cleared") + "  " +
                     std::to_string(e.data_id) + "  " + e.alarm.alarm_id + "  " +
                     e.alarm.alarm_text);
        } else if (e.kind == HostEvent::Kind::kLinkLost || e.kind == HostEvent::Kind::kLinkBack) {
            out.Line(e.time + "  link " + (e.kind == HostEvent::Kind::kLinkLost ? "lost" : "back") +
                     "  " + std::to_string(e.data_id) + (e.detail.empty() ? "" : "  " + e.detail));
        }
    });
    for (auto& p : ports) {
        p.second->on_event = [&, port = p.second.get()](const rt::LinkEvent& ev) {
            for (auto& d : devices) {
                if (d.port.get() != port) continue;
                if (ev.data_id != 0 && ev.data_id != d.cfg->data_id) continue;
                switch (ev.kind) {
                    case rt::LinkEvent::Kind::kChainEnd:
                        // An abandoned chain ends too; only one that got
                        // its replies shows the link up.
                        if (ev.text == "done") services->LinkState(d.cfg->data_id, true);
                        break;
                    case rt::LinkEvent::Kind::kAbandoned:
                        services->LinkState(d.cfg->data_id, false, "no good reply to " + ev.text);
                        break;
                    case rt::LinkEvent::Kind::kLost:
                    case rt::LinkEvent::Kind::kOpenFailed:
                        services->LinkState(d.cfg->data_id, false, ev.text);
                        break;
                    default:
                        break;
                }
            }
        };
        p.second->log = [&](const std::string& m) {
            if (!out.json()) out.Line("host: " + m);
        };
    }

    for (const auto& s : scenarios) {
        auto server = std::make_unique<sim::SimServer>(loop, s.second);
        std::string err;
        if (!server->ServePty(&err)) throw std::runtime_error("simulator: " + err);
        sims.emplace(s.first, std::move(server));
    }
    const auto seconds = [](double s) {
        return std::chrono::duration_cast<rt::Duration>(std::chrono::duration<double>(s));
    };
    for (auto& d : devices) {
        rt::DeviceSchedule sch;
        sch.poll_interval = seconds(d.cfg->poll_interval);
        sch.reply_timeout = seconds(d.cfg->reply_timeout);
        sch.reset_interval = seconds(opt.reset_interval);
        sch.late_window = seconds(d.cfg->late_window);
        sch.quiet_gap = seconds(d.cfg->quiet_gap);
        sch.unit_gap = seconds(d.cfg->unit_gap);
        d.port->AddDevice(*d.dev, sch);
    }
    for (auto& p : ports) p.second->Start();

    LinkStatsWriter link_rows(db);
    LinkStatsMeter meter(loop, opt.stats_interval,
                         [&](const std::vector<LinkStatsReport>& reports) {
                             const std::time_t now = std::time(nullptr);
                             std::vector<LinkStatsRow> rows;
                             for (const auto& r : reports) {
                                 if (out.json()) out.Json(LinkStatsEvent(r, now));
                                 rows.push_back(LinkStatsRowOf(r, now));
                             }
                             link_rows.Add(rows);
                         });
    for (auto& d : devices) meter.AddDevice(d.cfg->data_id, [&d] { return d.port->Stats(*d.dev); });
    meter.Start();
    publish_state();
    loop_calls->Attach(loop);
    if (http) http->Start();
    if (mqtt) mqtt->Start();

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const auto start = std::chrono::steady_clock::now();
    bool control_sent = false;
    bool control_done = false;
    int status_calls = 0;
    const auto print_service_log = [&] {
        for (const auto& line : service_log.Take()) {
            if (out.json()) {
                Json::Value v(Json::objectValue);
                v["event"] = "service";
                v["message"] = line;
                out.Json(v);
            } else {
                out.Line("host: " + line);
            }
        }
    };
    while (!g_stop) {
        loop.RunOnce(std::chrono::milliseconds(100));
        if (state_changed) publish_state();
        print_service_log();
        diag.FlushDiagnostics();
        link_rows.Flush();
        for (auto& d : devices) {
            if (!d.round_pending) continue;
            d.round_pending = false;
            const unsigned id = d.cfg->data_id;
            if (mqtt)
                mqtt->State(id, d.cfg->name, services->LastRecord(id), d.round_time,
                            active_ids(id));
            if (!out.json()) {
                q318b_419_Data_t rec;
                const auto& bytes = services->LastRecord(id);
                if (RecordFromBytes(bytes.data(), bytes.size(), rec))
                    out.Text(RoundTable(d.cfg->name, rec, services->alarms().Active(id),
                                        services->LinkUp(id), CountsOf(d.port->Stats(*d.dev))));
            }
            for (const auto& key : opt.queries) {
                Json::Value q(Json::objectValue);
                q["event"] = "query";
                q["data_id"] = id;
                q["key"] = key;
                try {
                    q["value"] = static_cast<double>(d.dev->Get_Value(0, key));
                } catch (const std::out_of_range& e) {
                    q["refused"] = e.what();
                }
                if (out.json())
                    out.Json(q);
                else
                    out.Line(
                        "  query " + key + ": " +
                        (q.isMember("value") ? JsonLine(q["value"]) : q["refused"].asString()));
            }
            if (control_code != 0 && &d == &devices[0]) {
                int written = 0;
                int status = 0;
                int rc = 0;
                Json::Value c(Json::objectValue);
                c["event"] = "control";
                c["data_id"] = id;
                if (!control_sent) {
                    control_sent = true;
                    rc = d.dev->DeviceIoControl(control_code, control_bytes.data(),
                                                static_cast<int>(control_bytes.size()), &status,
                                                sizeof status, written);
                    c["code"] = control_code;
                    c["result"] = rc;
                } else if (!control_done) {
                    rc = d.dev->DeviceIoControl(0, nullptr, 0, &status, sizeof status, written);
                    c["code"] = 0;
                    c["result"] = rc;
                    c["status"] = written == 4 ? status : 0;
                    control_done = (written == 4 && status == 1) || ++status_calls >= 5;
                } else {
                    continue;
                }
                if (out.json())
                    out.Json(c);
                else
                    out.Line("  control " + JsonLine(c));
            }
        }
        bool all_done = opt.rounds > 0;
        for (const auto& d : devices) all_done = all_done && d.rounds >= opt.rounds;
        if (all_done) break;
        if (opt.duration > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >=
                opt.duration)
            break;
    }
    // Clients waiting for the loop are let go before the listener joins
    // its threads.
    loop_calls->Close();
    if (http) http->Stop();
    loop_calls->Detach();
    meter.Stop();
    for (auto& p : ports) p.second->Stop();
    for (auto& s : sims) s.second->Stop();
    services->Flush();
    // After the last events: unacknowledged alarms get a moment, then
    // "offline" and a clean disconnect.
    if (mqtt) mqtt->Stop();
    link_rows.Flush();
    // What the notifier says about the programs it kills is still shown.
    if (notifier) notifier->Stop();
    print_service_log();
    for (auto& d : devices) d.port->RemoveDevice(*d.dev);
    devices.clear();  // devices before the plug-in that made them
    providers.clear();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    HostOptions opt;
    opt.site = Q318B_DEFAULT_SITE;
    std::string message;
    const int status = ParseHostOptions(argc, argv, &opt, &message);
    if (status == 0) std::fputs(message.c_str(), stdout);
    if (status > 0) std::fprintf(stderr, "q318b-host: %s\n", message.c_str());
    if (status >= 0) return status;
    try {
        return Run(opt);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "q318b-host: %s\n", e.what());
        return 2;
    }
}
