// q318b-host: loads the q318b_419 plug-in as the monitoring host does,
// initialises the devices of a site file and polls them over serial ports,
// TCP serial servers or the built-in controller simulator, showing each
// round (or, with --json, one JSON object per event; as a service, one log
// line per event). SIGHUP reads the site file again.
#include <json/writer.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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
#include "runtime/site/history_retention.h"
#include "runtime/site/record_json.h"
#include "runtime/site/site_config.h"
#include "runtime/site/site_services.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/port_controller.h"
#include "service/http_service.h"
#include "service/loop_calls.h"
#include "service/mqtt_publisher.h"
#include "service/notifier.h"
#include "service/site_state.h"
#include "tools/fd_limit.h"
#include "tools/host_options.h"
#include "tools/link_stats_meter.h"
#include "tools/runner_log.h"
#include "tools/runner_service.h"
#include "tools/runner_view.h"
#include "tools/site_check.h"
#include "tools/site_runner.h"
#include "tools/snapshot_warning.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_reload = 0;
void OnSignal(int) {
    g_stop = 1;
}
void OnHangup(int) {
    g_reload = 1;
}

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string DefaultPlugin(const HostOptions& opt, const SiteConfig& site) {
    return !opt.plugin.empty()    ? opt.plugin
           : !site.plugin.empty() ? site.plugin
                                  : std::string(Q318B_DEFAULT_PLUGIN);
}

// A path that stays right while the working folder changes: devices are
// made inside their own folders, and the service's threads open the store
// by name meanwhile.
std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        throw std::runtime_error("cannot read the working folder");
    return std::string(cwd) + "/" + path;
}

std::string Names(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += (s.empty() ? "" : ", ") + n;
    return s;
}

// --check: every problem on its own line, like a server's config test.
int Check(const HostOptions& opt) {
    SiteConfig site;
    const std::vector<std::string> problems =
        CheckSite(opt.site, opt.plugin, Q318B_DEFAULT_PLUGIN, opt.no_db ? "" : opt.database, &site);
    for (const auto& p : problems) std::fprintf(stderr, "q318b-host: %s\n", p.c_str());
    if (!problems.empty()) return 2;
    std::printf("q318b-host: site file %s is fine: %zu device%s\n", site.file.c_str(),
                site.devices.size(), site.devices.size() == 1 ? "" : "s");
    return 0;
}

int Run(const HostOptions& opt) {
    // Everything that can be wrong with the site is found before anything
    // is written or started.
    SiteConfig site = LoadSiteConfig(opt.site);
    const std::string plugin_path = DefaultPlugin(opt, site);
    SiteScenarios scenarios;
    const std::vector<std::string> scenario_problems = LoadSiteScenarios(site, &scenarios);
    if (!scenario_problems.empty()) throw SiteError(scenario_problems.front());
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
    struct stat out_stat {};
    const bool out_known = fstat(fileno(diag.out()), &out_stat) == 0;
    RunnerLog out(diag.out(), opt.json,
                  out_known ? AutoLogFormat(opt.log_format, std::getenv("JOURNAL_STREAM"),
                                            out_stat.st_dev, out_stat.st_ino)
                            : opt.log_format,
                  isatty(fileno(diag.out())) != 0);

    rt::EventLoop loop;
    auto services = std::make_shared<SiteServices>();
    auto bridge = std::make_shared<SiteServicesController>(services);
    // Declared before the runner, whose ports write to it until they stop.
    std::unique_ptr<rt::TraceWriter> trace;
    SiteRunner runner(loop, *factory, bridge, opt.reset_interval);
    if (!opt.trace.empty())
        runner.trace = [&trace](const rt::TraceEntry& e) {
            if (trace) trace->Write(e);
        };
    // Devices are created and initialised as the host does: Init, then
    // InitSetting in the device's working folder (where ./ini/ is looked up).
    runner.Load(site, std::move(scenarios));
    // Said once per device made: at the start, and for each device a
    // reload adds or restarts.
    const auto warn_snapshot = [&](const RunnerDevice& d, const std::string& file) {
        const std::string warning = SnapshotWarning(d.cfg, *d.owner);
        if (!warning.empty())
            out.Note(RunnerLog::Priority::kWarning, "host", "site file " + file + ": " + warning);
    };
    for (const auto& d : runner.devices()) warn_snapshot(*d, site.file);

    std::shared_ptr<HistoryDb> db;
    const std::string db_path = Absolute(opt.no_db               ? ""
                                         : !opt.database.empty() ? opt.database
                                                                 : site.database);
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
        if (!opt.trace.empty())
            trace = std::make_unique<rt::TraceWriter>(opt.trace, opt.trace_max_bytes, 3);
    } catch (...) {
        if (!opt.diag.empty() && !diag_existed) ::unlink(opt.diag.c_str());
        throw;
    }
    services->SetDatabase(db);
    services->SetHistoryPolicy(site.history);
    // Old rows go a little at a time between rounds: often while there is
    // a backlog, once a minute when there is none.
    std::unique_ptr<HistoryRetention> retention;
    if (db && site.history.max_age_days > 0)
        retention = std::make_unique<HistoryRetention>(db, site.history);
    if (retention && !retention->incremental())
        out.Note(RunnerLog::Priority::kNotice, "host",
                 "history: " + db_path +
                     " has no incremental vacuum: deleted rows' space is reused, the file does "
                     "not shrink");
    auto next_retention = std::chrono::steady_clock::now();
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
        // Only the HTTP listener reads the snapshot (MQTT and the tables
        // take what they show from the services): without one, copying
        // every device's record and alarms after each round is for nobody.
        state_changed = false;
        if (!http) return;
        auto state = std::make_shared<SiteState>();
        for (const auto& dp : runner.devices()) {
            const RunnerDevice& d = *dp;
            const unsigned id = d.cfg.data_id;
            DeviceState s;
            s.data_id = id;
            s.name = d.cfg.name;
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
    };
    const auto site_ids = [&] {
        std::set<unsigned int> ids;
        for (const auto& d : runner.devices()) ids.insert(d->cfg.data_id);
        return ids;
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
        mo.devices = site_ids();
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
    const auto device_name = [&](unsigned id) {
        RunnerDevice* d = runner.Find(id);
        return d != nullptr ? d->cfg.name : std::string();
    };
    bridge->on_round_stored = [&](unsigned id) {
        if (RunnerDevice* d = runner.Find(id)) {
            d->rounds++;
            d->round_time = UnixNow();
            d->round_pending = true;
            state_changed = true;
        }
    };
    services->SetListener([&](const HostEvent& e) {
        if (e.kind != HostEvent::Kind::kRecordPublished && e.kind != HostEvent::Kind::kAnalogReport)
            state_changed = true;
        const bool alarm =
            e.kind == HostEvent::Kind::kAlarmRaised || e.kind == HostEvent::Kind::kAlarmCleared;
        if (mqtt && alarm) {
            MqttAlarm a;
            a.raised = e.kind == HostEvent::Kind::kAlarmRaised;
            a.name = device_name(e.data_id);
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
        if (notifier && alarm) {
            AlarmNotice n;
            n.raised = e.kind == HostEvent::Kind::kAlarmRaised;
            n.data_id = e.data_id;
            n.device = device_name(e.data_id);
            n.alarm_id = e.alarm.alarm_id;
            n.key = e.alarm.key;
            n.alarm_text = e.alarm.alarm_text;
            n.value_text = e.alarm.value_text;
            n.level = e.alarm.level;
            n.time = e.time;
            notifier->Notify(n);
        }
        out.Event(e);
    });
    runner.on_link = [&](RunnerDevice& d, const rt::LinkEvent& ev) {
        switch (ev.kind) {
            case rt::LinkEvent::Kind::kChainEnd:
                // An abandoned chain ends too; only one that got its replies
                // shows the link up.
                if (ev.text == "done") services->LinkState(d.cfg.data_id, true);
                break;
            case rt::LinkEvent::Kind::kAbandoned:
                services->LinkState(d.cfg.data_id, false, "no good reply to " + ev.text);
                break;
            case rt::LinkEvent::Kind::kLost:
            case rt::LinkEvent::Kind::kOpenFailed:
                services->LinkState(d.cfg.data_id, false, ev.text);
                break;
            default:
                break;
        }
    };
    // The JSON stream has never carried the ports' messages.
    runner.port_log = [&](const std::string& m) {
        if (!out.json_stream()) out.Note(RunnerLog::Priority::kWarning, "host", m);
    };

    LinkStatsWriter link_rows(db);
    LinkStatsMeter meter(loop, opt.stats_interval,
                         [&](const std::vector<LinkStatsReport>& reports) {
                             const std::time_t now = std::time(nullptr);
                             std::vector<LinkStatsRow> rows;
                             for (const auto& r : reports) {
                                 out.Data(LinkStatsEvent(r, now), RunnerLog::Priority::kInfo, "");
                                 rows.push_back(LinkStatsRowOf(r, now));
                             }
                             link_rows.Add(rows);
                         });
    runner.on_added = [&](RunnerDevice& d) {
        const unsigned id = d.cfg.data_id;
        services->SetThresholds(id, d.cfg.alarms);
        access.Add(id, d.dev, [&d] { return d.port->InExchange(*d.dev); });
        meter.AddDevice(id, [&d] { return d.port->Stats(*d.dev); });
    };
    runner.on_removing = [&](RunnerDevice& d) {
        access.Remove(d.cfg.data_id);
        meter.RemoveDevice(d.cfg.data_id);
    };
    runner.Start();
    meter.Start();
    publish_state();
    loop_calls->Attach(loop);
    if (http) http->Start();
    if (mqtt) mqtt->Start();

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    struct sigaction hup {};
    hup.sa_handler = OnHangup;
    sigaction(SIGHUP, &hup, nullptr);

    // SIGHUP: the site file again. Only the devices change; what the rest
    // of the file says is read at the next start.
    const auto reload = [&] {
        SiteConfig next;
        SiteScenarios next_scenarios;
        ReloadSummary done;
        try {
            next = LoadSiteConfig(opt.site);
            const auto problems = LoadSiteScenarios(next, &next_scenarios);
            if (!problems.empty()) throw SiteError(problems.front());
            std::set<const RunnerDevice*> before;
            for (const auto& d : runner.devices()) before.insert(d.get());
            done = runner.Apply(next, std::move(next_scenarios));
            for (const auto& d : runner.devices())
                if (!before.count(d.get())) warn_snapshot(*d, next.file);
        } catch (const std::exception& e) {
            out.Note(RunnerLog::Priority::kErr, "reload",
                     std::string("refused, the running site stays: ") + e.what());
            return;
        }
        std::string text = "site file " + next.file + ": " + std::to_string(done.kept) + " kept";
        if (!done.added.empty()) text += ", added " + Names(done.added);
        if (!done.removed.empty()) text += ", removed " + Names(done.removed);
        if (!done.restarted.empty()) text += ", restarted " + Names(done.restarted);
        const std::vector<std::string> later = MembersReadAtStart(site, next);
        if (!later.empty()) text += "; " + Names(later) + " take effect at the next start";
        out.Note(RunnerLog::Priority::kNotice, "reload", text);
        if (mqtt) mqtt->SetDevices(site_ids());
        // The history limits apply at once: they only decide what is kept.
        services->SetHistoryPolicy(next.history);
        retention.reset();
        if (db && next.history.max_age_days > 0)
            retention = std::make_unique<HistoryRetention>(db, next.history);
        next_retention = std::chrono::steady_clock::now();
        state_changed = true;
    };

    const auto start = std::chrono::steady_clock::now();
    auto last_state = start - std::chrono::seconds(1);
    bool control_sent = false;
    bool control_done = false;
    int status_calls = 0;
    const auto print_service_log = [&] {
        for (const auto& line : service_log.Take())
            out.Note(RunnerLog::Priority::kInfo, "service", line);
    };
    while (!g_stop) {
        loop.RunOnce(std::chrono::milliseconds(100));
        if (g_reload) {
            g_reload = 0;
            reload();
        }
        // A site of many devices changes on nearly every pass: the
        // snapshot, a copy of every device, is made at most four times a
        // second, which is still fresher than any page or scrape needs.
        const auto pass_time = std::chrono::steady_clock::now();
        if (state_changed && pass_time - last_state >= std::chrono::milliseconds(250)) {
            last_state = pass_time;
            publish_state();
        }
        print_service_log();
        diag.FlushDiagnostics();
        if (trace) trace->Flush();
        link_rows.Flush();
        if (retention && std::chrono::steady_clock::now() >= next_retention) {
            bool more = false;
            try {
                more = retention->Step(std::time(nullptr));
            } catch (const StoreError& e) {
                out.Note(RunnerLog::Priority::kErr, "host",
                         std::string("history retention: ") + e.what());
            }
            next_retention = std::chrono::steady_clock::now() +
                             (more ? std::chrono::milliseconds(50) : std::chrono::seconds(60));
        }
        for (auto& dp : runner.devices()) {
            RunnerDevice& d = *dp;
            if (!d.round_pending) continue;
            d.round_pending = false;
            const unsigned id = d.cfg.data_id;
            if (mqtt)
                mqtt->State(id, d.cfg.name, services->LastRecord(id), d.round_time, active_ids(id));
            if (out.tables()) {
                q318b_419_Data_t rec;
                const auto& bytes = services->LastRecord(id);
                if (RecordFromBytes(bytes.data(), bytes.size(), rec))
                    out.Table(RoundTable(d.cfg.name, rec, services->alarms().Active(id),
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
                out.Data(
                    q, RunnerLog::Priority::kInfo,
                    (out.tables() ? "  query " : "query " + std::to_string(id) + " ") + key + ": " +
                        (q.isMember("value") ? JsonLine(q["value"]) : q["refused"].asString()));
            }
            if (control_code != 0 && &d == runner.devices().front().get()) {
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
                out.Data(c, RunnerLog::Priority::kNotice,
                         std::string(out.tables() ? "  " : "") + "control " + JsonLine(c));
            }
        }
        bool all_done = opt.rounds > 0;
        for (const auto& d : runner.devices()) all_done = all_done && d->rounds >= opt.rounds;
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
    runner.Stop();
    services->Flush();
    // After the last events: unacknowledged alarms get a moment, then
    // "offline" and a clean disconnect.
    if (mqtt) mqtt->Stop();
    link_rows.Flush();
    // What the notifier says about the programs it kills is still shown.
    if (notifier) notifier->Stop();
    print_service_log();
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
    RaiseDescriptorLimit();
    try {
        return opt.check ? Check(opt) : Run(opt);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "q318b-host: %s\n", e.what());
        return 2;
    }
}
