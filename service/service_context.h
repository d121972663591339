// Everything the HTTP routes may reach: the site snapshot (read anywhere),
// the loop hand-off with the devices behind it, the history file and the
// site's control policy. Routes are added by one function per area, each in
// its own file, so that the listener itself stays a socket and a table.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "service/control_desk.h"
#include "service/device_access.h"
#include "service/loop_calls.h"
#include "service/site_state.h"

namespace httplib {
class Server;
}

struct ControlPolicy {
    bool enabled = false;       // only with a token
    std::string token;          // read from the site's token file; never logged
    bool allow_raw = false;     // code 300 needs its own enable
    double reply_timeout = 10;  // seconds a POST waits for the controller's reply
};

struct ServiceContext {
    std::shared_ptr<const SiteStateHolder> holder;
    // Null without a loop (unit tests of the read-only routes): routes that
    // need a device answer 503.
    std::shared_ptr<LoopCalls> calls;
    // Called only inside `calls`, on the loop.
    DeviceAccess* devices = nullptr;
    // The runner's history file, opened read-only per request; empty: none.
    std::string db_path;
    ControlPolicy control;
    // Carries out control requests on the loop; null: control answers 503.
    std::shared_ptr<ControlDesk> desk;
    // Lines for the runner's log, from any thread; must be thread-safe.
    std::function<void(const std::string&)> log;
    // How long a route waits for the loop to take a device call.
    double loop_timeout = 5;
};

// The answer to a control request, as HTTP and MQTT clients get it.
Json::Value ControlOutcomeJson(unsigned int data_id, int code, const ControlOutcome& o);

void AddMetricsRoutes(httplib::Server& server, const ServiceContext& ctx);
void AddApiRoutes(httplib::Server& server, const ServiceContext& ctx);
void AddControlRoutes(httplib::Server& server, const ServiceContext& ctx);
void AddPageRoutes(httplib::Server& server, const ServiceContext& ctx);
