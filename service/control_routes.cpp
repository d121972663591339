// POST /api/v1/devices/{data_id}/control: off unless the site gives a
// token; code 300 only with its own enable. The request goes to the
// control desk, which carries it out on the poll loop; the answer waits
// for the outcome, so the client learns when the controller's reply came.
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "service/api_params.h"
#include "service/control_desk.h"
#include "service/control_request.h"
#include "service/http_json.h"
#include "service/service_context.h"

namespace {

// Compares without an early exit, so the time taken says nothing of how
// much of a guess was right.
bool SameToken(const std::string& given, const std::string& token) {
    if (token.empty()) return false;
    unsigned char diff = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    return diff == 0;
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

// The desk's outcome, waited for on this client's thread. Waited for in
// slices, so that a runner shutting down is not held up by a client.
struct Waiter {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    ControlOutcome outcome;
};

}  // namespace

Json::Value ControlOutcomeJson(unsigned int data_id, int code, const ControlOutcome& o) {
    Json::Value body(Json::objectValue);
    body["data_id"] = data_id;
    body["code"] = code;
    const bool sent = o.kind == ControlOutcome::Kind::kReplied ||
                      o.kind == ControlOutcome::Kind::kNoReply ||
                      o.kind == ControlOutcome::Kind::kTurnedDown;
    if (sent) {
        body["result"] = o.rc;
        body["sent_at"] = o.sent_at;
    }
    body["status"] = o.kind == ControlOutcome::Kind::kReplied ? 1 : -1;
    if (o.kind == ControlOutcome::Kind::kReplied) {
        body["replied_at"] = o.replied_at;
        body["reply_after"] = o.replied_at - o.sent_at;
    } else {
        body["replied_at"] = Json::Value();
    }
    return body;
}

void AddControlRoutes(httplib::Server& server, const ServiceContext& ctx) {
    server.Post(R"(/api/v1/devices/([^/]+)/control)", [ctx](const httplib::Request& req,
                                                            httplib::Response& res) {
        const std::string who = req.remote_addr.empty() ? "a client" : req.remote_addr;
        const std::string where = "HTTP control to device " + req.matches[1].str() + " from " + who;
        const auto refuse = [&](int status, const std::string& text,
                                const Json::Value& detail = Json::Value()) {
            if (ctx.log) ctx.log(where + " refused: " + text);
            if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
            ReplyError(res, status, text, detail);
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
        if (!ctx.desk || !ctx.calls) return refuse(503, "no poll loop to run it");

        auto w = std::make_shared<Waiter>();
        ctx.desk->Submit(id, cr, [w](const ControlOutcome& o) {
            {
                std::lock_guard<std::mutex> lock(w->mu);
                w->done = true;
                w->outcome = o;
            }
            w->cv.notify_all();
        });
        {
            std::unique_lock<std::mutex> lock(w->mu);
            while (!w->done && !ctx.calls->Closed())
                w->cv.wait_for(lock, std::chrono::milliseconds(100));
            if (!w->done) w->outcome = ControlOutcome{};
        }
        const ControlOutcome o = w->outcome;
        const Json::Value body = ControlOutcomeJson(id, cr.code, o);
        const std::string what = where + ": code " + std::to_string(cr.code);
        switch (o.kind) {
            case ControlOutcome::Kind::kReplied:
                if (ctx.log)
                    ctx.log(what + ", reply after " + Seconds(o.replied_at - o.sent_at) + " s");
                return ReplyJson(res, 200, body);
            case ControlOutcome::Kind::kNoReply:
                if (ctx.log)
                    ctx.log(what + ", no reply within " + Seconds(ctx.control.reply_timeout) +
                            " s");
                return ReplyError(res, 504,
                                  "no reply from the controller within " +
                                      Seconds(ctx.control.reply_timeout) + " s",
                                  body);
            case ControlOutcome::Kind::kTurnedDown:
                return refuse(
                    422, "the device refused the request (result " + std::to_string(o.rc) + ")",
                    body);
            case ControlOutcome::Kind::kBusy:
                return refuse(409, "a control request to this device still awaits its reply");
            case ControlOutcome::Kind::kNotSent:
                return refuse(503,
                              "the poll loop did not find the device free in time; nothing sent");
            case ControlOutcome::Kind::kClosed:
                break;
        }
        return refuse(503, "the runner is stopping; nothing sent");
    });
}
