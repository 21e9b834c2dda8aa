// The pool client: one background thread that connects to the pool, logs in, frames the received
// newline-delimited JSON and hands every line to the protocol handler, reconnecting with a
// doubling delay (2, 4, 8, 15, 15, ... s) whenever the pool cannot be reached or the connection
// drops. It publishes jobs to its JobBoard, from which the hashing threads take them; they hand
// shares back through submit.
//
// The network is behind one door (transport.h): the connector opens the connection (TCP,
// maybe through a SOCKS5 proxy, maybe TLS), the transport carries its bytes. Only the connection
// thread reads and writes. Other threads queue whole lines in `outbox` and wake it; so a pool that
// stops reading never blocks a hashing thread or stop(). The thread ends a connection as lost when
// the pool takes none of the bytes waiting for it (in the queue or the kernel's buffers) within
// send_timeout (SendWatch), when the login has neither a reply nor a job within login_timeout, or a
// submit no reply within reply_timeout.
//
// Several pools may be configured: the first is preferred, the others stand in while it cannot
// be used (see Failover).
//
// Locks: the board's job_mutex guards the job; send_mutex guards the socket and the queue; the
// pending set has its own. None is held while another is taken, while a line is reported or a
// verdict handed on, or while a call may block.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/report_line.h"
#include "pool/connection_ending.h"
#include "pool/endpoint.h"
#include "pool/failover.h"
#include "pool/job_board.h"
#include "pool/pending_replies.h"
#include "pool/pool_status.h"
#include "pool/pool_timing.h"
#include "pool/proxy.h"
#include "pool/transport.h"

namespace orvo::qel {

struct JsonValue;

class Pool {
  public:
    struct Config {
        std::string host;  // host name or address literal, passed to the resolver as is
        uint16_t port = 0;
        std::string address;                  // payout address sent in the login
        std::string worker;                   // worker name sent in the login
        std::vector<PoolEndpoint> backups{};  // tried after host:port, in this order
        bool tls = false;                     // host:port speaks TLS
        std::optional<Fingerprint> pin{};     // its certificate, when pinned
        // The SOCKS5 proxy that every pool is reached through (the client's own connector
        // only; a connector handed in decides for itself).
        std::optional<ProxyConfig> proxy{};
    };
    using Timing = PoolTiming;
    // A share's verdict: accepted or not, and the pool's reason. Called on the connection thread.
    using ResultSink = std::function<void(bool accepted, const std::string& reason)>;

    static constexpr uint64_t LOGIN_ID = 1;  // the id of every login request

    // `report` takes the client's "net  " lines, `on_result` the share verdicts; either may be
    // empty. Both are called on the connection thread only, never with a lock of the client held.
    // `connector` opens the connections; none: the sockets of this machine (SocketConnector).
    explicit Pool(ReportSink report = {}, ResultSink on_result = {}, Timing timing = {},
                  std::unique_ptr<Connector> connector = nullptr);
    ~Pool();  // stops the connection thread
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Copies the configuration and starts the connection thread. Counters, the job and the
    // pool in use (when the list of pools is unchanged) are kept from any earlier run. A thread
    // that is still running is stopped first.
    void start(const Config& config) EXCLUDES(send_mutex);
    // Ends the connection (no "connection lost" line) and joins the thread. Never waits for a
    // write, a name resolution or a connect: returns within about one wait slice in any state.
    void stop() EXCLUDES(send_mutex);

    // Queues the line and a line feed as one unit for the connection thread, which writes whole
    // lines in order. False, and the line dropped, when there is no connection or the queue is
    // full (the pool has stopped reading; the connection is about to be given up).
    bool send_line(const std::string& line) EXCLUDES(send_mutex);

    // Protocol. send_login and handle_line run on the connection thread (tests and fuzzers may
    // call them on a client without a socket); submit on any hashing thread.
    void send_login() EXCLUDES(send_mutex);
    void handle_line(const std::string& line);
    // Submits a share with the next submit id (ids start at 2 and are never reused).
    void submit(const std::string& job_id, uint64_t nonce, const uint8_t* hash32)
        EXCLUDES(send_mutex);
    // submit, as the function the hashing threads are given.
    SubmitFn submitter();

    // Where the jobs are published.
    JobBoard& board() { return board_; }
    const JobBoard& board() const { return board_; }

    bool running() const { return running_.load(); }
    bool connected() const { return board_.connected(); }
    uint64_t job_seq() const { return board_.job_seq(); }    // jobs accepted so far
    uint64_t conn_gen() const { return board_.conn_gen(); }  // connections made so far
    uint64_t next_submit_id() const { return next_submit_id_.load(); }
    const Timing& timing() const { return timing_; }
    PoolStatus status() const EXCLUDES(status_mutex_);

  private:
    friend struct PoolTestAccess;  // tests look at the job and the queue, and fake a connection

    void connection_thread();
    ConnectionEnding serve_connection(Transport& link, uint64_t seq_at_connect)
        EXCLUDES(send_mutex);
    // Writes what it can of `out` (and of the queue) without blocking; adds what the transport
    // took to `written`.
    std::optional<ConnectionEnding> flush_outgoing(Transport& link, std::string& out,
                                                   uint64_t& written) EXCLUDES(send_mutex);
    void wake_connection_thread();
    void announce_switch(size_t index, const char* why);
    void back_off(int& delay, std::optional<size_t> next);
    void wait_delay(int seconds);
    void apply_job(const JsonValue& source);
    void log(const std::string& text) const;
    void log_error(const std::string& text) const;
    void use_pool(size_t index) EXCLUDES(status_mutex_);

    const ReportSink report_;
    const ResultSink on_result_;
    const Timing timing_;
    const bool own_connector_;  // no connector was handed in
    // Used by the connection thread only; replaced by start (while stopped) when it is the
    // client's own and the proxy changed.
    std::unique_ptr<Connector> connector_;

    // Copies taken by start; written only while stopped.
    Config config_;
    std::vector<PoolEndpoint> pools_;  // first, then the backups
    Failover failover_;                // used only by the connection thread (or while stopped)

    std::thread thread;  // the connection thread; not joinable while stopped
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> next_submit_id_{2};  // submits follow the login's id
    JobBoard board_;
    // Requests of the current connection still awaiting their reply: only a reply that takes
    // its id from here counts (the login reply is the one that takes id 1).
    PendingReplies pending_;
    // Set by handle_line when a refused login should end the connection (backups configured).
    // Connection thread only.
    bool login_refused_ = false;

    // Facts for status(), which any thread may ask for; none of it under a lock a hashing
    // thread takes.
    mutable Mutex status_mutex_;
    PoolEndpoint in_use_ GUARDED_BY(status_mutex_);  // the pool in use, or last tried
    bool backup_in_use_ GUARDED_BY(status_mutex_) = false;
    uint64_t failovers_ GUARDED_BY(status_mutex_) = 0;
    std::string proxy_text_ GUARDED_BY(status_mutex_);  // ProxyConfig::text(); empty: none
    // The certificate of the pool in use, from its last TLS connection.
    std::optional<Fingerprint> certificate_ GUARDED_BY(status_mutex_);
    std::atomic<int64_t> connected_since_ns_{0};  // steady clock, of the current connection
    std::atomic<bool> had_job_{false};
    std::atomic<uint64_t> last_height_{0};
    std::atomic<uint64_t> last_difficulty_{0};

    Mutex send_mutex;
    // The connection; null without one. Only the connection thread installs, uses and removes
    // it; other threads may only shut it down (stop), under the lock.
    std::unique_ptr<Transport> transport_ GUARDED_BY(send_mutex);
    std::string outbox GUARDED_BY(send_mutex);  // lines queued for the connection thread
    int wake_fd_ = -1;  // eventfd that tells the connection thread to look up
};

// Receive-buffer limit: a partial line longer than this ends the connection.
inline constexpr size_t POOL_MAX_PARTIAL_LINE = 1048576;
// Outgoing limit: lines queued beyond this are dropped (send_line returns false).
inline constexpr size_t POOL_MAX_OUTBOX = 1048576;

}  // namespace orvo::qel
