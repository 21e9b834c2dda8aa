// The HTTP endpoint's server: one thread of its own, whatever the number of clients, serving the
// snapshot the main loop publishes. No client can block another: nothing waits on a client, a
// request head must arrive whole within the request timeout and fit in HTTP_MAX_HEAD_BYTES,
// idle keep-alive connections are closed after the same timeout, every 4xx answer closes its
// connection, and at the connection cap the connection idle the longest is closed to admit the
// new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/run_control.h"
#include "monitor/snapshot_box.h"

namespace orvo::qel {

struct HttpServerOptions {
    std::string host = "127.0.0.1";  // address literal or "localhost"
    uint16_t port = 0;               // 0: any free port (see HttpServer::port)
    std::string token;               // non-empty: every request needs it as a Bearer token
    std::chrono::milliseconds request_timeout{5000};
    size_t max_connections = 64;
    // Tells how old the published numbers are (see API_STALE_AFTER).
    std::function<std::chrono::steady_clock::time_point()> clock = std::chrono::steady_clock::now;
};

class HttpServer {
  public:
    // Serves `snapshots`; the control paths pause and resume `control`.
    HttpServer(const SnapshotBox& snapshots, RunControl& control);
    ~HttpServer();  // stops it
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds, listens and starts the server thread. Returns the reason when the address cannot
    // be used (nothing is started then).
    std::optional<std::string> start(const HttpServerOptions& options);
    // The port listened on (the one chosen by the system when 0 was asked for).
    uint16_t port() const;
    // Closes every connection and joins the thread; returns without waiting for any client.
    // A stopped server does not start again.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvo::qel
