// The pool client: one background thread that connects to the pool, logs in, frames the received
// newline-delimited JSON and hands every line to the protocol handler, reconnecting with a
// doubling delay (2, 4, 8, 15, 15, ... s) whenever the pool cannot be reached or the connection
// drops. Hashing threads read the current job and submit shares through it.
//
// Locks: job_mutex guards `job`; send_mutex guards `sock` and serialises whole outgoing lines.
// The two are never held together, and neither is held while on_log or on_result runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "pool/job.h"
#include "pool/pending_replies.h"

namespace orvo::qel {

struct JsonValue;

class Pool {
  public:
    struct Config {
        std::string host;  // host name or address literal, passed to the resolver as is
        uint16_t port = 0;
        std::string address;  // payout address sent in the login
        std::string worker;   // worker name sent in the login
    };

    Pool() = default;
    ~Pool();  // stops the connection thread
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Copies the configuration and starts the connection thread. Counters and the job are kept
    // from any earlier run. A thread that is still running is stopped first.
    void start(const Config& config);
    // Ends the connection (no "connection lost" line) and joins the thread. Returns within about
    // one wait slice when the thread is waiting to reconnect or receiving.
    void stop();

    // Writes the line and a line feed as one unit. False when there is no connection or the
    // write failed; a write that fails or times out shuts the connection down, because a line
    // cut short would corrupt the next one (the receive side then reconnects).
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

    std::function<void(const std::string&)> on_log;           // "net  " lines; may be empty
    std::function<void(bool, const std::string&)> on_result;  // share verdicts; may be empty

    std::string host;
    uint16_t port = 0;
    std::string address;
    std::string worker;

    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> job_seq{0};         // jobs accepted so far
    std::atomic<uint64_t> next_submit_id{2};  // the login always uses id 1
    std::atomic<uint64_t> conn_gen{0};        // connections made so far
    // Requests of the current connection still awaiting their reply: only a reply that takes
    // its id from here counts (the login reply is the one that takes id 1).
    PendingReplies pending;

    // One "second" of the reconnect delays; waits sleep in slices of a tenth of it. Tests
    // shorten it; the miner keeps the default.
    std::chrono::milliseconds delay_unit{1000};
    // Longest a single write may block before the connection is given up. Bounds how long a
    // pool that stops reading can hold send_mutex (and so stop()).
    std::chrono::milliseconds send_timeout{10000};

  private:
    friend struct PoolTestAccess;  // tests wire a socket pair in place of a connection

    std::thread thread;  // the connection thread; not joinable while stopped
    std::mutex job_mutex;
    std::mutex send_mutex;
    Job job;        // guarded by job_mutex
    int sock = -1;  // guarded by send_mutex; -1 without a connection
    // Job ids published on the connection conn_gen = used_ids_conn (newest last, bounded):
    // a job id comes back only as a repeat of the job in force. Connection thread only.
    std::deque<std::string> used_job_ids;
    uint64_t used_ids_conn = 0;

    void connection_thread();
    int connect_to_pool();  // a connected blocking socket, or -1
    void receive_lines(int fd);
    void wait_delay(int seconds);
    void apply_job(const JsonValue& source);
    void log(const std::string& text) const;
};

// Receive-buffer limit: a partial line longer than this ends the connection.
inline constexpr size_t POOL_MAX_PARTIAL_LINE = 1048576;

}  // namespace orvo::qel
