// The runner's HTTP listener. Its routes read the site snapshot from their
// own threads; whatever needs a device (a value query, a control request)
// is handed to the poll loop through LoopCalls, so no client can hold up an
// exchange on a line.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "service/service_context.h"

class HttpService {
  public:
    // Binds the socket now, so that a port in use is found before the runner
    // creates anything; serves nothing until Start. Null, with `error` one
    // line, when the address cannot be bound. Port 0: one the kernel picks
    // (benchmarks and tests), see port().
    static std::unique_ptr<HttpService> Bind(const std::string& host, int port, ServiceContext ctx,
                                             std::string* error);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    int port() const { return port_; }

    void Start();
    // Stops accepting, finishes the requests in hand and joins the threads.
    void Stop();

  private:
    HttpService(std::unique_ptr<httplib::Server> server, ServiceContext ctx, int port);

    std::unique_ptr<httplib::Server> server_;
    ServiceContext ctx_;
    std::thread thread_;
    int port_ = 0;
};
