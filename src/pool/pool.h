// The pool client: one background thread that connects to the pool, logs in, frames the received
// newline-delimited JSON and hands every line to the protocol handler, reconnecting with a
// doubling delay (2, 4, 8, 15, 15, ... s) whenever the pool cannot be reached or the connection
// drops. Hashing threads read the current job and submit shares through it.
//
// Only the connection thread touches the socket. Other threads queue whole lines in `outbox`
// and wake it; so a pool that stops reading never blocks a hashing thread or stop(). The thread
// ends a connection as lost when its queue cannot drain within send_timeout, when the login
// has no reply within login_timeout, or a submit none within reply_timeout.
//
// Several pools may be configured: the first is preferred, the others stand in while it cannot
// be used (see Failover).
//
// Locks: job_mutex guards `job`; send_mutex guards `sock` and `outbox`. The two are never held
// together, and neither is held while on_log or on_result runs or while a call may block.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pool/endpoint.h"
#include "pool/failover.h"
#include "pool/job.h"
#include "pool/pending_replies.h"
#include "pool/pool_status.h"
#include "pool/resolver.h"

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
    };

    Pool();
    ~Pool();  // stops the connection thread
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Copies the configuration and starts the connection thread. Counters, the job and the
    // pool in use (when the list of pools is unchanged) are kept from any earlier run. A thread
    // that is still running is stopped first.
    void start(const Config& config);
    // Ends the connection (no "connection lost" line) and joins the thread. Never waits for a
    // write, a name resolution or a connect: returns within about one wait slice in any state.
    void stop();

    // Queues the line and a line feed as one unit for the connection thread, which writes whole
    // lines in order. False, and the line dropped, when there is no connection or the queue is
    // full (the pool has stopped reading; the connection is about to be given up).
    bool send_line(const std::string& line);

    // Protocol. send_login and handle_line run on the connection thread (tests and fuzzers may
    // call them on a client without a socket); submit on any hashing thread.
    void send_login();
    void handle_line(const std::string& line);
    // Submits a share with the next submit id (ids start at 2 and are never reused).
    void submit(const std::string& job_id, uint64_t nonce, const uint8_t* hash32);

    // The job hand-off to a hashing thread: when the job in force differs from `copy` (a newer
    // job, or a new connection since the copy was taken) copies it into `copy` under job_mutex
    // and returns true; otherwise returns false without taking the lock. job_seq is advanced
    // inside job_mutex before a job's fields are stored, so a copy is always a complete job.
    bool refresh_job_copy(Job& copy);

    // A consistent picture of the connection for the monitoring side. Takes only the client's
    // own status lock and, briefly, job_mutex; called by the main loop once a tick.
    PoolStatus status() const;

    std::function<void(const std::string&)> on_log;           // "net  " lines; may be empty
    std::function<void(bool, const std::string&)> on_result;  // share verdicts; may be empty

    std::string host;
    uint16_t port = 0;
    std::string address;
    std::string worker;

    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> job_seq{0};         // jobs accepted so far
    static constexpr uint64_t LOGIN_ID = 1;   // the id of every login request
    std::atomic<uint64_t> next_submit_id{2};  // submits follow the login's id
    std::atomic<uint64_t> conn_gen{0};        // connections made so far
    // Requests of the current connection still awaiting their reply: only a reply that takes
    // its id from here counts (the login reply is the one that takes id 1).
    PendingReplies pending;

    // Injectable machine inputs; tests shorten the times, the miner keeps the defaults.
    // One "second" of the reconnect delays; waits sleep in slices of a tenth of it.
    std::chrono::milliseconds delay_unit{1000};
    // Longest the outgoing queue may stay undrained before the connection is given up.
    std::chrono::milliseconds send_timeout{10000};
    // Longest the pool may leave the login, or the oldest submit, without a reply.
    std::chrono::milliseconds login_timeout{30000};
    std::chrono::milliseconds reply_timeout{60000};
    // How long a pool other than the first serves before the next reconnect returns to the first.
    std::chrono::milliseconds failover_return{FAILOVER_RETURN_AFTER};
    ResolveFn resolve = system_resolve;

  private:
    enum class Ending { closed, write_stalled, login_unanswered, submit_unanswered };
    friend struct PoolTestAccess;  // tests wire a socket pair in place of a connection

    std::thread thread;  // the connection thread; not joinable while stopped
    mutable std::mutex job_mutex;
    std::mutex send_mutex;
    Job job;             // guarded by job_mutex
    int sock = -1;       // guarded by send_mutex; -1 without a connection
    std::string outbox;  // lines queued for the connection thread; guarded by send_mutex
    // Job ids published on the connection conn_gen = used_ids_conn (newest last, bounded):
    // a job id comes back only as a repeat of the job in force. Connection thread only.
    std::deque<std::string> used_job_ids;
    uint64_t used_ids_conn = 0;

    void connection_thread();
    int connect_to(const PoolEndpoint& endpoint);  // a connected non-blocking socket, or -1
    Ending serve_connection(int fd);
    bool flush_outgoing(int fd, std::string& out);
    void wake_connection_thread();
    void announce_switch(size_t index, const char* why);
    void back_off(int& delay, std::optional<size_t> next);
    void wait_delay(int seconds);
    void apply_job(const JsonValue& source);
    void log(const std::string& text) const;

    std::vector<PoolEndpoint> pools_;  // first, then the backups; written only while stopped
    Failover failover_;                // used only by the connection thread (or while stopped)
    int wake_fd_ = -1;                 // eventfd that tells the connection thread to look up

    // What status() reports beyond the atomics; written by the connection thread (and by start
    // while stopped), guarded by status_mutex_, which is never held while another lock is taken.
    mutable std::mutex status_mutex_;
    size_t status_in_use_ = 0;  // index into pools_ of the pool in use
    std::chrono::steady_clock::time_point status_since_{};
    uint64_t status_lost_ = 0;
    void note_connection(size_t index, bool up);
};

// Receive-buffer limit: a partial line longer than this ends the connection.
inline constexpr size_t POOL_MAX_PARTIAL_LINE = 1048576;
// Outgoing limit: lines queued beyond this are dropped (send_line returns false).
inline constexpr size_t POOL_MAX_OUTBOX = 1048576;

}  // namespace orvo::qel
