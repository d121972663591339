// Control requests from outside clients (HTTP, MQTT), carried out on the
// poll loop: the request waits until the device has no command on its line
// (sent in the middle of a round, the control command would take the
// round's next reply for its own), goes to the device, and the device's
// control status is then read every few milliseconds until its reply has
// come or the reply timeout has passed. All timing is the loop's.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "runtime/wire/event_loop.h"
#include "service/control_request.h"
#include "service/device_access.h"
#include "service/loop_calls.h"

struct ControlOutcome {
    enum class Kind {
        kReplied,     // sent, and the controller's reply came
        kNoReply,     // sent, no reply within the reply timeout
        kNotSent,     // the device's line never came free in time: nothing sent
        kTurnedDown,  // the device refused it (result < 0): nothing sent
        kBusy,        // a request to the device still awaits its reply
        kClosed,      // the runner is stopping
    };
    Kind kind = Kind::kClosed;
    int rc = 0;             // the device's result, once sent
    double sent_at = 0;     // Unix seconds
    double replied_at = 0;  // Unix seconds, kReplied only
};

class ControlDesk : public std::enable_shared_from_this<ControlDesk> {
  public:
    // Seconds on the loop's clock. Held by a shared_ptr: timers on the loop
    // keep the desk alive while a request is in flight.
    ControlDesk(std::shared_ptr<LoopCalls> calls, DeviceAccess* devices, double start_timeout,
                double reply_timeout);

    using Done = std::function<void(const ControlOutcome&)>;
    // From any thread but the loop's. `done` is called exactly once: on the
    // loop's thread, or at once on the caller's for kBusy and kClosed. It
    // must be quick: it runs between two exchanges.
    void Submit(unsigned int data_id, const ControlRequest& request, Done done);

  private:
    struct Flight;
    void StartWhenIdle(std::shared_ptr<Flight> f);
    void Watch(std::shared_ptr<Flight> f);
    void Finish(std::shared_ptr<Flight> f, ControlOutcome outcome);

    std::shared_ptr<LoopCalls> calls_;
    DeviceAccess* devices_;
    rt::Duration start_timeout_, reply_timeout_;
    // Devices with a request in flight: a device keeps one status for its
    // last command, so a second request before the first is answered could
    // not be told apart.
    std::mutex mu_;
    std::set<unsigned int> busy_;
};
