// Helpers shared by the pool client tests: a recording client and a loopback peer.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pool/pool.h"

namespace orvo::qel {

// A connection on which nothing ever moves.
struct IdleTransport : Transport {
    IoResult read(char*, size_t) override { return {IoResult::Status::again}; }
    IoResult write(const char*, size_t) override { return {IoResult::Status::again}; }
    int fd() const override { return -1; }
    short wanted_events(bool) const override { return 0; }
    void shut_down() override {}
    TransportSecurity security() const override { return {}; }
};

// The one door to the client's private state, for tests only.
struct PoolTestAccess {
    // The job in force, copied under its lock.
    static Job job(const Pool& pool) { return pool.board_.job(); }
    // Gives the client a connection that carries nothing (or takes it away), as the connection
    // thread would install one: lines are queued and requests awaited.
    static void set_connected(Pool& pool, bool connected) {
        MutexLock lock(pool.send_mutex);
        pool.transport_ = connected ? std::make_unique<IdleTransport>() : nullptr;
    }
    static bool has_transport(Pool& pool) {
        MutexLock lock(pool.send_mutex);
        return pool.transport_ != nullptr;
    }
    static bool thread_joinable(const Pool& pool) { return pool.thread.joinable(); }
    // The lines queued for the connection thread, taken out as it would write them.
    static std::string take_outbox(Pool& pool) {
        MutexLock lock(pool.send_mutex);
        return std::exchange(pool.outbox, std::string());
    }
    // A new connection as the connection thread opens it: a new generation, the old requests
    // forgotten.
    static void open_connection(Pool& pool) {
        pool.pending_.clear();
        pool.board_.connection_opened();
    }
    // Marks request `id` as sent now and awaiting its reply.
    static void await_reply(Pool& pool, uint64_t id) {
        pool.pending_.add(id, PendingReplies::Clock::now());
    }
    // Whether another thread could take job_mutex right now (it never waits for it).
    static bool job_lock_free(const Pool& pool) {
        bool free = false;
        std::thread probe([&] {
            free = pool.board_.job_mutex.try_lock();
            if (free) pool.board_.job_mutex.unlock();
        });
        probe.join();
        return free;
    }
    // The payout address and worker the login sends, as start would set them.
    static void set_login(Pool& pool, const std::string& address, const std::string& worker) {
        pool.config_.address = address;
        pool.config_.worker = worker;
    }
    // Whether the pool's configured pools were copied in (start was called).
    static size_t pool_count(const Pool& pool) { return pool.pools_.size(); }
};

}  // namespace orvo::qel

namespace orvo::qel::test_support {

// Polls `condition` every millisecond until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Records everything a Pool reports through its sinks (thread-safe). Declare it before the
// client, so that it outlives the thread that reports to it.
class Recorder {
  public:
    struct Result {
        bool accepted;
        std::string reason;
    };
    ReportSink lines();
    Pool::ResultSink verdicts();
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
    // Listens on 127.0.0.1, or on ::1 (port() 0 when this machine has no IPv6 loopback).
    // `receive_buffer`: when not 0, the accepted connections' receive buffer (the kernel's
    // least is a few KiB), so a peer that stops reading makes bytes wait at the client soon.
    enum class Family { ipv4, ipv6 };
    explicit LoopbackPeer(Family family = Family::ipv4, int receive_buffer = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    uint16_t port() const { return port_; }
    // Waits for the next client; false on timeout. The previous client is closed.
    bool accept_client(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads one line (without its line feed); false on timeout or end of stream.
    bool read_line(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads exactly `size` bytes; false on timeout or end of stream.
    bool read_bytes(std::string& out, size_t size,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool send(const std::string& bytes);
    // True when the client closed its end (read returns end of stream) within `timeout`.
    bool client_closed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void close_client();
    void close_listener();

  private:
    // Appends what the client sends next to pending_; false at the deadline or its close.
    bool receive_more(std::chrono::steady_clock::time_point deadline);

    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::string pending_;
};

Pool::Config loopback_config(uint16_t port);
// A port on 127.0.0.1 that refuses connections (bound to no listener).
uint16_t closed_port();

}  // namespace orvo::qel::test_support
