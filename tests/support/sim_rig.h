// The simulator and the host's port controller on one event loop, joined by
// a pseudo-terminal, with a recording service controller behind the port:
// everything a device publishes, stores or raises lands in `services`.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "runtime/framework/recording_controller.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/port_controller.h"
#include "runtime/wire/transport.h"
#include "sim/server.h"

struct SimRig {
    // `time` null: the steady clock.
    explicit SimRig(sim::Scenario scenario, const rt::TimeSource* time = nullptr)
        : loop(time), server(loop, std::move(scenario)) {
        std::string err;
        served = server.ServePty(&err);
        error = err;
        port = std::make_shared<rt::PortController>(loop, [this](int baud) {
            return std::make_unique<rt::SerialPort>(server.pty_path(), baud);
        });
        port->SetServices(services);
        port->log = [this](const std::string& m) { log.push_back(m); };
    }
    ~SimRig() {
        port->Stop();
        server.Stop();
    }

    bool RunUntil(const std::function<bool()>& done, int passes = 2000,
                  rt::Duration wait = std::chrono::milliseconds(20)) {
        return loop.RunUntil(done, passes, wait);
    }
    size_t Published() const { return services->Of(HostCall::Kind::kPublish).size(); }

    rt::EventLoop loop;
    sim::SimServer server;
    bool served = false;
    std::string error;
    std::shared_ptr<RecordingController> services = std::make_shared<RecordingController>();
    std::shared_ptr<rt::PortController> port;
    std::vector<std::string> log;
};
