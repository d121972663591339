// The devices of a site on their lines: made, started, and changed in
// place when the site file is read again. A reload touches only what
// changed: devices added start, devices removed stop (their port closed
// when no device is left on it), changed devices restart, and the rest keep
// polling on the ports they have, without a gap.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/q318b_419.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/port_controller.h"
#include "sim/server.h"
#include "tools/site_check.h"

struct RunnerDevice {
    DeviceConfig cfg;
    std::unique_ptr<QVRSPDevice> owner;
    PMBusProtocol* dev = nullptr;
    std::shared_ptr<rt::PortController> port;
    long rounds = 0;
    double round_time = 0;  // Unix seconds when the last round completed
    bool round_pending = false;
};

// What a reload did, by device name.
struct ReloadSummary {
    std::vector<std::string> added, removed, restarted;
    size_t kept = 0;
};

class SiteRunner {
  public:
    // `services` receives the devices' data and alarm calls from every port.
    SiteRunner(rt::EventLoop& loop, QVRSPDeviceProvider& factory,
               std::shared_ptr<QVRController> services, double reset_interval);
    ~SiteRunner();
    SiteRunner(const SiteRunner&) = delete;
    SiteRunner& operator=(const SiteRunner&) = delete;

    // Makes the site's devices; nothing is polled before Start(). Throws
    // SiteError naming the device the plug-in refused.
    void Load(const SiteConfig& site, SiteScenarios scenarios);
    // Serves the simulators and opens the ports. Throws std::runtime_error.
    void Start();
    // Changes the running site into `site`. Every new device is made
    // before anything running is touched: a device the plug-in refuses, or a
    // simulator that cannot serve, throws and leaves the site as it was.
    ReloadSummary Apply(const SiteConfig& site, SiteScenarios scenarios);
    void Stop();

    // In the site file's order.
    const std::vector<std::unique_ptr<RunnerDevice>>& devices() const { return devices_; }
    RunnerDevice* Find(unsigned int data_id) const;

    // A line event that concerns `device` (every device of the port when
    // the event names none).
    std::function<void(RunnerDevice&, const rt::LinkEvent&)> on_link;
    // Called just before a device starts polling, and before one stops.
    std::function<void(RunnerDevice&)> on_added, on_removing;
    // The ports' failure messages.
    std::function<void(const std::string&)> port_log;
    // Every port's frames (--trace); set before Load.
    std::function<void(const rt::TraceEntry&)> trace;

  private:
    struct Plan;
    std::shared_ptr<rt::PortController> MakePort(const PortSpec& where);
    std::unique_ptr<RunnerDevice> MakeDevice(const DeviceConfig& cfg,
                                             std::shared_ptr<rt::PortController> port,
                                             const std::string& site_file);
    void Attach(RunnerDevice& d);
    void Detach(RunnerDevice& d);
    // Ports no device uses any more are closed, simulators no port uses stop.
    void DropUnused();

    rt::EventLoop& loop_;
    QVRSPDeviceProvider& factory_;
    std::shared_ptr<QVRController> services_;
    double reset_interval_;
    bool started_ = false;
    std::vector<std::unique_ptr<RunnerDevice>> devices_;
    std::map<std::string, std::shared_ptr<rt::PortController>> ports_;
    std::map<std::string, std::unique_ptr<sim::SimServer>> sims_;
    SiteScenarios scenarios_;
};
