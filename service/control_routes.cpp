// POST /api/v1/devices/{data_id}/control: off unless the site gives a
// token; code 300 only with its own enable. The request runs on the poll
// loop, and the answer waits for the controller's reply (or gives up after
// the policy's reply timeout) so the client learns when it arrived.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "service/control_request.h"
#include "service/http_json.h"
#include "service/service_context.h"

namespace {

// The timing of one request in flight, shared by the client's thread and
// the loop's status check.
struct Flight {
    std::mutex mu;
    std::condition_variable cv;
    bool replied = false;
    bool gave_up = false;  // the client stopped waiting: the check stops too
    double replied_at = 0;
};

// Whether a control request to a device is in flight: the device has one
// status for its last command, so a second request before the first is
// answered could not be told apart.
class Desk {
  public:
    bool Take(unsigned id) {
        std::lock_guard<std::mutex> lock(mu_);
        return busy_.insert(id).second;
    }
    void Release(unsigned id) {
        std::lock_guard<std::mutex> lock(mu_);
        busy_.erase(id);
    }

  private:
    std::mutex mu_;
    std::set<unsigned> busy_;
};

// Compares without an early exit, so the time taken says nothing of how
// much of a guess was right.
bool SameToken(const std::string& given, const std::string& token) {
    unsigned char diff = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        diff |=
            static_cast<unsigned char>(given[i] ^ token[i % (token.empty() ? 1 : token.size())]);
    return diff == 0 && !token.empty();
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

// Checks the device's control status on the loop every `every` until the
// reply has come or the client gave up.
void WatchStatus(rt::EventLoop* loop, DeviceAccess* devices, unsigned id,
                 std::shared_ptr<Flight> flight, rt::Duration every) {
    loop->After(every, [=] {
        {
            std::lock_guard<std::mutex> lock(flight->mu);
            if (flight->gave_up) return;
        }
        if (devices->ControlStatus(id) == 1) {
            {
                std::lock_guard<std::mutex> lock(flight->mu);
                flight->replied = true;
                flight->replied_at = UnixNow();
            }
            flight->cv.notify_all();
            return;
        }
        WatchStatus(loop, devices, id, flight, every);
    });
}

}  // namespace

void AddControlRoutes(httplib::Server& server, const ServiceContext& ctx) {
    auto desk = std::make_shared<Desk>();
    server.Post(R"(/api/v1/devices/([^/]+)/control)", [ctx, desk](const httplib::Request& req,
                                                                  httplib::Response& res) {
        const std::string who = req.remote_addr.empty() ? "a client" : req.remote_addr;
        const std::string where = "HTTP control to device " + req.matches[1].str();
        const auto refuse = [&](int status, const std::string& text) {
            if (ctx.log) ctx.log(where + " from " + who + " refused: " + text);
            if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
            ReplyError(res, status, text);
        };
        if (!ctx.control.enabled) return refuse(403, "control over HTTP is disabled on this site");
        const std::string auth = req.get_header_value("Authorization");
        if (auth.empty()) return refuse(401, "no bearer token");
        if (auth.rfind("Bearer ", 0) != 0 || !SameToken(auth.substr(7), ctx.control.token))
            return refuse(401, "wrong token");
        unsigned id = 0;
        bool known = ParseDataId(req.matches[1].str(), &id);
        if (known) {
            known = false;
            for (const auto& d : ctx.holder->Get()->devices) known = known || d.data_id == id;
        }
        if (!known) return refuse(404, "no device " + req.matches[1].str());
        ControlRequest cr;
        std::string err;
        if (!ParseControlRequestText(req.body, &cr, &err)) return refuse(400, err);
        if (cr.code == 300 && !ctx.control.allow_raw)
            return refuse(403, "the raw rectifier command (300) is not enabled on this site");
        if (!ctx.calls || ctx.devices == nullptr) return refuse(503, "no poll loop to run it");
        if (!desk->Take(id))
            return refuse(409, "a control request to this device still awaits its reply");

        auto flight = std::make_shared<Flight>();
        int rc = 0;
        double sent_at = 0;
        const auto every = std::chrono::milliseconds(10);
        DeviceAccess* devices = ctx.devices;
        LoopCalls* calls = ctx.calls.get();
        const bool ran = ctx.calls->Call(
            [&] {
                rc = devices->Control(id, cr.code, cr.payload);
                sent_at = UnixNow();
                if (calls->loop() != nullptr)
                    WatchStatus(calls->loop(), devices, id, flight, every);
            },
            std::chrono::milliseconds(static_cast<long>(ctx.loop_timeout * 1000)));
        if (!ran) {
            desk->Release(id);
            return refuse(503, "the poll loop did not take the request in time");
        }
        bool replied = false;
        double replied_at = 0;
        {
            // Waited for in slices, so that a runner shutting down is not
            // held up by a client waiting for its reply.
            const auto deadline =
                std::chrono::steady_clock::now() +
                std::chrono::milliseconds(static_cast<long>(ctx.control.reply_timeout * 1000));
            std::unique_lock<std::mutex> lock(flight->mu);
            while (!flight->replied && std::chrono::steady_clock::now() < deadline &&
                   !calls->Closed()) {
                flight->cv.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                                   std::chrono::milliseconds(100)));
            }
            replied = flight->replied;
            replied_at = flight->replied_at;
            flight->gave_up = true;
        }
        desk->Release(id);

        Json::Value body(Json::objectValue);
        body["data_id"] = id;
        body["code"] = cr.code;
        body["result"] = rc;
        body["sent_at"] = sent_at;
        body["status"] = replied ? 1 : -1;
        if (replied) {
            body["replied_at"] = replied_at;
            body["reply_after"] = replied_at - sent_at;
            if (ctx.log)
                ctx.log(where + " from " + who + ": code " + std::to_string(cr.code) +
                        ", reply after " + Seconds(replied_at - sent_at) + " s");
            ReplyJson(res, 200, body);
        } else {
            body["replied_at"] = Json::Value();
            if (ctx.log)
                ctx.log(where + " from " + who + ": code " + std::to_string(cr.code) +
                        ", no reply within " + Seconds(ctx.control.reply_timeout) + " s");
            ReplyError(
                res, 504,
                "no reply from the controller within " + Seconds(ctx.control.reply_timeout) + " s",
                body);
        }
    });
}
