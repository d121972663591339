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

namespace {

// Threads answering clients: enough that a handful of stuck clients (each
// held for at most the read timeout) leave room for the rest.
constexpr size_t kHttpThreads = 16;

}  // namespace

HttpService::HttpService(std::unique_ptr<httplib::Server> server, ServiceContext ctx, int port)
    : server_(std::move(server)), ctx_(std::move(ctx)), port_(port) {}

std::unique_ptr<HttpService> HttpService::Bind(const std::string& host, int port,
                                               ServiceContext ctx, std::string* error) {
    auto server = std::make_unique<httplib::Server>();
    // A client that sends slowly or never finishes its request holds one
    // pool thread for at most this long; the poll loop is not involved.
    server->set_read_timeout(5, 0);
    server->set_write_timeout(5, 0);
    // A kept-alive connection pins one of the pool's threads while it idles
    // (httplib blocks a thread per connection): a few scrapers or open
    // status pages would take the whole pool. One request per connection
    // frees the thread as soon as the answer is written.
    server->set_keep_alive_max_count(1);
    server->new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
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
    const int bound = port == 0 ? server->bind_to_any_port(host.c_str())
                                : (server->bind_to_port(host.c_str(), port) ? port : -1);
    if (bound <= 0) {
        *error = "--http " + host + ":" + std::to_string(port) +
                 ": cannot listen there (address in use or not local)";
        return nullptr;
    }
    return std::unique_ptr<HttpService>(new HttpService(std::move(server), std::move(ctx), bound));
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
