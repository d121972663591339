// The runner's HTTP listener. It serves only what is in the site snapshot
// holder, from its own threads: it never calls into a device, a port or the
// poll loop, so no client can hold up an exchange on a line.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "service/site_state.h"

namespace httplib {
class Server;
}

class HttpService {
  public:
    // Binds the socket now, so that a port in use is found before the runner
    // creates anything; serves nothing until Start. Null, with `error` one
    // line, when the address cannot be bound.
    static std::unique_ptr<HttpService> Bind(const std::string& host, int port,
                                             std::shared_ptr<const SiteStateHolder> holder,
                                             std::string* error);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    void Start();
    // Stops accepting, finishes the requests in hand and joins the threads.
    void Stop();

  private:
    HttpService(std::unique_ptr<httplib::Server> server,
                std::shared_ptr<const SiteStateHolder> holder);

    std::unique_ptr<httplib::Server> server_;
    std::shared_ptr<const SiteStateHolder> holder_;
    std::thread thread_;
};
