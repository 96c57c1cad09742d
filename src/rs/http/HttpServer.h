#pragma once
// HttpServer: the HTTP side door of the service. Serves, read-only:
//   /            the status page (with /page.css and /page.js)
//   /api/status  what the page shows, as JSON (?group=NAME limits the grid)
//   /metrics     the metrics in the Prometheus text format
//   /healthz     200 while the process serves
//   /readyz      200 when the service takes requests, else 503 and why
// Anything else is a 4xx answer. On a loopback listener nobody logs on; on
// any other it speaks TLS and asks for HTTP Basic logon for everything but
// /healthz and /readyz (which say nothing but up or down).
//
// Threads: start() and stop() on the main thread. The server runs one
// accepting thread and kWorkerThreads workers; what a request throws is
// answered with 500 and goes no further. It never writes the Authorization
// header or a password anywhere.

#include "rs/http/SideDoorSettings.h"
#include "rs/http/StatusSource.h"

#include <memory>
#include <string>

namespace rs::http {

class HttpServer {
public:
    static constexpr int kWorkerThreads = 3;

    // REQUIRES: source outlives the server.
    HttpServer(SideDoorSettings settings, StatusSource& source);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Loads the certificate (TLS), binds and starts serving. False, with
    // the reason in `why`, when it cannot.
    bool start(std::string& why);
    // Stops accepting, lets the workers finish and joins them. Idempotent.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace rs::http
