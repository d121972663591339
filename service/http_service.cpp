#include "service/http_service.h"

#include <httplib.h>

#include <utility>

#include "service/http_json.h"
#include "service/metrics_text.h"

void AddMetricsRoutes(httplib::Server& server, const ServiceContext& ctx) {
    server.Get("/metrics", [h = ctx.holder](const httplib::Request&, httplib::Response& res) {
        const auto state = h->Get();
        res.set_content(MetricsText(*state, UnixNow()), kMetricsContentType);
    });
}

HttpService::HttpService(std::unique_ptr<httplib::Server> server, ServiceContext ctx)
    : server_(std::move(server)), ctx_(std::move(ctx)) {}

std::unique_ptr<HttpService> HttpService::Bind(const std::string& host, int port,
                                               ServiceContext ctx, std::string* error) {
    auto server = std::make_unique<httplib::Server>();
    // A client that sends slowly or never finishes its request holds one
    // pool thread for at most this long; the poll loop is not involved.
    server->set_read_timeout(5, 0);
    server->set_write_timeout(5, 0);
    server->set_keep_alive_max_count(10);
    // No route takes a large body; a client sending one is cut off early.
    server->set_payload_max_length(64 * 1024);
    // httplib's default also sets SO_REUSEPORT, with which a second runner
    // on the same port would bind without error and take half the scrapes.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    AddMetricsRoutes(*server, ctx);
    AddApiRoutes(*server, ctx);
    AddControlRoutes(*server, ctx);
    AddPageRoutes(*server, ctx);
    server->set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        // Only the API's own answers carry a body already.
        if (!res.body.empty()) return;
        if (req.path.rfind("/api/", 0) == 0)
            ReplyError(res, res.status, res.status == 404 ? "no such resource" : "request refused");
    });
    if (!server->bind_to_port(host.c_str(), port)) {
        *error = "--http " + host + ":" + std::to_string(port) +
                 ": cannot listen there (address in use or not local)";
        return nullptr;
    }
    return std::unique_ptr<HttpService>(new HttpService(std::move(server), std::move(ctx)));
}

HttpService::~HttpService() {
    Stop();
}

void HttpService::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([s = server_.get()] { s->listen_after_bind(); });
}

void HttpService::Stop() {
    if (!server_) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
}
