// Helpers shared by the pool client tests: a recording client and a loopback peer.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pool/pool.h"

namespace orvo::qel {

// The client's private state, for tests only.
struct PoolTestAccess {
    // The job in force, copied under its lock.
    static Job job(Pool& pool) {
        std::lock_guard<std::mutex> lock(pool.job_mutex);
        return pool.job;
    }
    // Makes `fd` the client's connection (-1: none), as the connection thread would.
    static void set_socket(Pool& pool, int fd) {
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        pool.sock = fd;
    }
    static int socket(Pool& pool) {
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        return pool.sock;
    }
    static bool thread_joinable(const Pool& pool) { return pool.thread.joinable(); }
    // The lines queued for the connection thread, taken out as it would write them.
    static std::string take_outbox(Pool& pool) {
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        return std::exchange(pool.outbox, std::string());
    }
};

}  // namespace orvo::qel

namespace orvo::qel::test_support {

// Polls `condition` every millisecond until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Records everything a Pool reports through its callbacks (thread-safe).
class Recorder {
  public:
    struct Result {
        bool accepted;
        std::string reason;
    };
    void attach(Pool& pool);
    std::vector<std::string> logs() const;
    std::vector<Result> results() const;
    size_t count(const std::string& line) const;  // log lines equal to `line`
    size_t count_prefix(const std::string& prefix) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> logs_;
    std::vector<Result> results_;
};

// A TCP listener on 127.0.0.1 with an ephemeral port, standing in for a pool.
class LoopbackPeer {
  public:
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    uint16_t port() const { return port_; }
    // Waits for the next client; false on timeout. The previous client is closed.
    bool accept_client(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads one line (without its line feed); false on timeout or end of stream.
    bool read_line(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool send(const std::string& bytes);
    // True when the client closed its end (read returns end of stream) within `timeout`.
    bool client_closed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void close_client();
    void close_listener();

  private:
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::string pending_;
};

Pool::Config loopback_config(uint16_t port);
// A port on 127.0.0.1 that refuses connections (bound to no listener).
uint16_t closed_port();

}  // namespace orvo::qel::test_support
