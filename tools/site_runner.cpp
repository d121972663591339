#include "tools/site_runner.h"

#include <algorithm>
#include <set>

namespace {

rt::Duration Seconds(double s) {
    return std::chrono::duration_cast<rt::Duration>(std::chrono::duration<double>(s));
}

}  // namespace

SiteRunner::SiteRunner(rt::EventLoop& loop, QVRSPDeviceProvider& factory,
                       std::shared_ptr<QVRController> services, double reset_interval)
    : loop_(loop),
      factory_(factory),
      services_(std::move(services)),
      reset_interval_(reset_interval) {}

SiteRunner::~SiteRunner() {
    Stop();
}

RunnerDevice* SiteRunner::Find(unsigned int data_id) const {
    for (const auto& d : devices_)
        if (d->cfg.data_id == data_id) return d.get();
    return nullptr;
}

std::shared_ptr<rt::PortController> SiteRunner::MakePort(const PortSpec& where) {
    auto port = std::make_shared<rt::PortController>(
        loop_, [this, where](int baud) -> std::unique_ptr<rt::Transport> {
            switch (where.kind) {
                case PortSpec::Kind::kSerial:
                    return std::make_unique<rt::SerialPort>(where.path, baud);
                case PortSpec::Kind::kTcp:
                    return std::make_unique<rt::TcpClient>(where.host,
                                                           static_cast<uint16_t>(where.port));
                case PortSpec::Kind::kSimulator:
                    return std::make_unique<rt::SerialPort>(sims_.at(where.text)->pty_path(), baud);
            }
            return nullptr;
        });
    port->SetServices(services_);
    rt::PortController* raw = port.get();
    port->on_event = [this, raw](const rt::LinkEvent& ev) {
        if (!on_link) return;
        for (auto& d : devices_) {
            if (d->port.get() != raw) continue;
            if (ev.data_id != 0 && ev.data_id != d->cfg.data_id) continue;
            on_link(*d, ev);
        }
    };
    port->log = [this](const std::string& m) {
        if (port_log) port_log(m);
    };
    if (trace) port->trace = trace;
    return port;
}

std::unique_ptr<RunnerDevice> SiteRunner::MakeDevice(const DeviceConfig& cfg,
                                                     std::shared_ptr<rt::PortController> port,
                                                     const std::string& site_file) {
    auto d = std::make_unique<RunnerDevice>();
    d->cfg = cfg;
    d->port = std::move(port);
    d->owner = MakeSiteDevice(factory_, cfg, d->port, site_file);
    d->dev = static_cast<PMBusProtocol*>(d->owner.get());
    return d;
}

void SiteRunner::Attach(RunnerDevice& d) {
    if (on_added) on_added(d);
    rt::DeviceSchedule sch;
    sch.poll_interval = Seconds(d.cfg.poll_interval);
    sch.reply_timeout = Seconds(d.cfg.reply_timeout);
    sch.reset_interval = Seconds(reset_interval_);
    sch.late_window = Seconds(d.cfg.late_window);
    sch.quiet_gap = Seconds(d.cfg.quiet_gap);
    sch.unit_gap = Seconds(d.cfg.unit_gap);
    d.port->AddDevice(*d.dev, sch);
}

void SiteRunner::Detach(RunnerDevice& d) {
    if (on_removing) on_removing(d);
    d.port->RemoveDevice(*d.dev);
}

void SiteRunner::Load(const SiteConfig& site, SiteScenarios scenarios) {
    scenarios_ = std::move(scenarios);
    for (const auto& cfg : site.devices) {
        auto& port = ports_[cfg.port.text];
        if (!port) port = MakePort(cfg.port);
        devices_.push_back(MakeDevice(cfg, port, site.file));
    }
}

void SiteRunner::Start() {
    for (const auto& s : scenarios_) {
        auto server = std::make_unique<sim::SimServer>(loop_, s.second.scenario);
        std::string err;
        if (!server->ServePty(&err)) throw std::runtime_error("simulator: " + err);
        sims_.emplace(s.first, std::move(server));
    }
    for (auto& d : devices_) Attach(*d);
    for (auto& p : ports_) p.second->Start();
    started_ = true;
}

ReloadSummary SiteRunner::Apply(const SiteConfig& site, SiteScenarios scenarios) {
    // A simulator whose scenario changed is a new line: its devices restart
    // on a new port.
    std::set<std::string> new_lines;
    for (const auto& s : scenarios) {
        auto old = scenarios_.find(s.first);
        if (old == scenarios_.end() || old->second.text != s.second.text) new_lines.insert(s.first);
    }
    std::map<std::string, std::shared_ptr<rt::PortController>> new_ports;
    std::map<std::string, std::unique_ptr<sim::SimServer>> new_sims;
    for (const auto& text : new_lines) {
        auto server = std::make_unique<sim::SimServer>(loop_, scenarios.at(text).scenario);
        std::string err;
        if (!server->ServePty(&err)) throw SiteError("simulator " + text + ": " + err);
        new_sims.emplace(text, std::move(server));
    }

    ReloadSummary summary;
    std::vector<std::unique_ptr<RunnerDevice>> next;
    std::set<unsigned int> staying, wanted;
    for (const auto& cfg : site.devices) wanted.insert(cfg.data_id);
    for (const auto& cfg : site.devices) {
        RunnerDevice* old = Find(cfg.data_id);
        const bool line_changed = new_lines.count(cfg.port.text) != 0;
        if (old != nullptr && !line_changed && SameDevice(old->cfg, cfg)) {
            staying.insert(cfg.data_id);
            next.emplace_back();  // filled with the running device below
            continue;
        }
        std::shared_ptr<rt::PortController> port;
        auto running = ports_.find(cfg.port.text);
        if (!line_changed && running != ports_.end()) {
            port = running->second;
        } else {
            auto& fresh = new_ports[cfg.port.text];
            if (!fresh) fresh = MakePort(cfg.port);
            port = fresh;
        }
        // Throws before anything running has changed.
        next.push_back(MakeDevice(cfg, port, site.file));
        (old != nullptr ? summary.restarted : summary.added).push_back(cfg.name);
    }

    // From here on nothing throws: the new site takes over.
    for (auto& d : devices_)
        if (!staying.count(d->cfg.data_id)) {
            Detach(*d);
            if (!wanted.count(d->cfg.data_id)) summary.removed.push_back(d->cfg.name);
        }
    for (size_t i = 0; i < site.devices.size(); ++i) {
        if (next[i]) continue;
        for (auto& d : devices_)
            if (d && d->cfg.data_id == site.devices[i].data_id) next[i] = std::move(d);
        ++summary.kept;
    }
    devices_.clear();  // the devices that left, after their ports let them go
    for (auto& p : new_ports) {
        auto& slot = ports_[p.first];
        if (slot) slot->Stop();
        slot = p.second;
    }
    for (auto& s : new_sims) {
        auto& slot = sims_[s.first];
        if (slot) slot->Stop();
        slot = std::move(s.second);
    }
    for (auto& s : scenarios) scenarios_[s.first] = std::move(s.second);
    devices_ = std::move(next);
    DropUnused();
    for (auto& d : devices_)
        if (!staying.count(d->cfg.data_id)) Attach(*d);
    if (started_)
        for (auto& p : new_ports) p.second->Start();
    return summary;
}

void SiteRunner::DropUnused() {
    std::set<std::string> used;
    for (const auto& d : devices_) used.insert(d->cfg.port.text);
    for (auto it = ports_.begin(); it != ports_.end();) {
        if (used.count(it->first)) {
            ++it;
            continue;
        }
        it->second->Stop();
        it = ports_.erase(it);
    }
    for (auto it = sims_.begin(); it != sims_.end();) {
        if (used.count(it->first)) {
            ++it;
            continue;
        }
        it->second->Stop();
        it = sims_.erase(it);
    }
    for (auto it = scenarios_.begin(); it != scenarios_.end();)
        it = used.count(it->first) ? std::next(it) : scenarios_.erase(it);
}

void SiteRunner::Stop() {
    for (auto& p : ports_) p.second->Stop();
    for (auto& s : sims_) s.second->Stop();
    for (auto& d : devices_) d->port->RemoveDevice(*d->dev);
    devices_.clear();  // the devices before the ports they were made with
    ports_.clear();
    sims_.clear();
    started_ = false;
}
