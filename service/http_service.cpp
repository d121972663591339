#include "service/http_service.h"

#include <httplib.h>

#include <chrono>
#include <utility>

#include "service/metrics_text.h"

namespace {

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

HttpService::HttpService(std::unique_ptr<httplib::Server> server,
                         std::shared_ptr<const SiteStateHolder> holder)
    : server_(std::move(server)), holder_(std::move(holder)) {}

std::unique_ptr<HttpService> HttpService::Bind(const std::string& host, int port,
                                               std::shared_ptr<const SiteStateHolder> holder,
                                               std::string* error) {
    auto server = std::make_unique<httplib::Server>();
    // A client that sends slowly or never finishes its request holds one
    // pool thread for at most this long; the poll loop is not involved.
    server->set_read_timeout(5, 0);
    server->set_write_timeout(5, 0);
    server->set_keep_alive_max_count(10);
    // httplib's default also sets SO_REUSEPORT, with which a second runner
    // on the same port would bind without error and take half the scrapes.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    std::shared_ptr<const SiteStateHolder> h = holder;
    server->Get("/metrics", [h](const httplib::Request&, httplib::Response& res) {
        const auto state = h->Get();
        res.set_content(MetricsText(*state, UnixNow()), kMetricsContentType);
    });
    if (!server->bind_to_port(host.c_str(), port)) {
        *error = "--http " + host + ":" + std::to_string(port) +
                 ": cannot listen there (address in use or not local)";
        return nullptr;
    }
    return std::unique_ptr<HttpService>(new HttpService(std::move(server), std::move(holder)));
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
