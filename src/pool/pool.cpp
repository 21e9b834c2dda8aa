#include "pool/pool.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include "base/sleep.h"
#include "pool/send_watch.h"
#include "pool/socket_connector.h"

namespace orvo::qel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int FIRST_DELAY_S = 2;
constexpr int MAX_DELAY_S = 15;
constexpr size_t RECV_CHUNK = 8192;
// The connection thread takes queued lines into its own buffer while that holds less than this,
// so a pool that stops reading fills the bounded queue instead of the thread's buffer.
constexpr size_t OUT_BUFFER_REFILL = 65536;

int64_t steady_ns(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

Pool::Pool(ReportSink report, ResultSink on_result, Timing timing,
           std::unique_ptr<Connector> connector)
    : report_(std::move(report)),
      on_result_(std::move(on_result)),
      timing_(timing),
      own_connector_(connector == nullptr),
      connector_(connector ? std::move(connector) : std::make_unique<SocketConnector>(timing)),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Pool::~Pool() {
    stop();
    if (wake_fd_ >= 0) close(wake_fd_);
}

void Pool::start(const Config& config) {
    if (thread.joinable()) stop();
    if (own_connector_ && config.proxy != config_.proxy) {
        connector_ =
            std::make_unique<SocketConnector>(timing_, system_resolve, std::string{}, config.proxy);
    }
    config_ = config;
    {
        MutexLock lock(status_mutex_);
        proxy_text_ = config.proxy ? config.proxy->text() : std::string();
    }
    std::vector<PoolEndpoint> pools{{config.host, config.port, config.tls, config.pin}};
    pools.insert(pools.end(), config.backups.begin(), config.backups.end());
    // A restart with the same pools (the fee switch) stays on the pool in use.
    if (pools != pools_) {
        pools_ = std::move(pools);
        failover_ = Failover(pools_.size(), timing_.failover_return);
    }
    use_pool(failover_.current());
    running_ = true;
    try {
        thread = std::thread(&Pool::connection_thread, this);
    } catch (const std::system_error&) {
        // Out of threads: the miner keeps running without a pool (threads idle) rather than
        // ending; the next start, at a fee switch, tries again.
        running_ = false;
        log("cannot start the connection thread");
    }
}

void Pool::stop() {
    running_ = false;
    {
        MutexLock lock(send_mutex);
        if (transport_) transport_->shut_down();  // wakes the receive wait at once
    }
    wake_connection_thread();
    if (thread.joinable()) thread.join();
}

bool Pool::send_line(const std::string& line) {
    {
        MutexLock lock(send_mutex);
        if (!transport_ || outbox.size() >= POOL_MAX_OUTBOX) return false;
        outbox += line;
        outbox.push_back('\n');
    }
    wake_connection_thread();
    return true;
}

SubmitFn Pool::submitter() {
    return [this](const std::string& job_id, uint64_t nonce, const uint8_t* hash32) {
        submit(job_id, nonce, hash32);
    };
}

PoolStatus Pool::status() const {
    PoolStatus s;
    {
        MutexLock lock(status_mutex_);
        s.host = in_use_.host;
        s.port = in_use_.port;
        s.backup = backup_in_use_;
        s.tls = in_use_.tls;
        s.tls_pinned = in_use_.tls && in_use_.pin.has_value();
        s.failovers = failovers_;
        s.proxy = proxy_text_;
        if (certificate_) s.tls_fingerprint = fingerprint_hex(*certificate_);
    }
    s.connected = board_.connected();
    if (s.connected) {
        const auto since = Clock::time_point(std::chrono::nanoseconds(connected_since_ns_.load()));
        const auto up = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since);
        s.seconds_connected = static_cast<uint64_t>(std::max<int64_t>(up.count(), 0));
    }
    const uint64_t connections = board_.conn_gen();
    s.reconnects = connections > 0 ? connections - 1 : 0;
    if (had_job_.load()) {
        s.job_height = last_height_.load();
        s.job_difficulty = last_difficulty_.load();
    }
    return s;
}

void Pool::use_pool(size_t index) {
    MutexLock lock(status_mutex_);
    if (!(in_use_ == pools_[index])) certificate_.reset();
    in_use_ = pools_[index];
    backup_in_use_ = index != 0;
}

void Pool::wake_connection_thread() {
    if (wake_fd_ < 0) return;
    const uint64_t one = 1;
    // Non-blocking: a full counter means a wake-up is pending anyway.
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
}

void Pool::log(const std::string& text) const {
    if (report_) report_({LineColour::gray, "net  ", text});
}

void Pool::log_error(const std::string& text) const {
    if (report_) report_({LineColour::red, "net  ", text});
}

void Pool::wait_delay(int seconds) {
    const auto slice =
        std::chrono::duration_cast<std::chrono::nanoseconds>(timing_.delay_unit) / 10;
    for (int i = 0; i < 10 * seconds; ++i) {
        if (!running_) return;
        sleep_resuming(slice);
    }
}

void Pool::announce_switch(size_t index, const char* why) {
    {
        MutexLock lock(status_mutex_);
        ++failovers_;
    }
    use_pool(index);
    log("switching to pool " + pools_[index].text() + " (" + why + ")");
}

void Pool::connection_thread() {
    int delay = FIRST_DELAY_S;
    while (running_) {
        if (auto back = failover_.reconnecting(Clock::now())) {
            announce_switch(*back, "back to the first pool");
            delay = FIRST_DELAY_S;
        }
        const PoolEndpoint endpoint = pools_[failover_.current()];
        ConnectAttempt attempt = connector_->connect(endpoint, [this] { return running_.load(); });
        if (!attempt.transport) {
            // A connect abandoned because of a stop is not a failure worth reporting.
            if (!running_) break;
            if (!attempt.problem.empty()) log_error(attempt.problem);
            log("cannot reach " + endpoint.text() + ", retry in " + std::to_string(delay) + " s");
            back_off(delay, failover_.failed(Clock::now()));
            continue;
        }

        Transport& link = *attempt.transport;
        const TransportSecurity security = link.security();
        std::string how;
        if (security.tls) {
            how = " · " + security.protocol;
            if (security.peer) how += " · fingerprint " + fingerprint_hex(*security.peer);
            MutexLock lock(status_mutex_);
            certificate_ = security.peer;
        }
        pending_.clear();  // nothing sent on an earlier connection can be answered on this one
        login_refused_ = false;
        {
            MutexLock lock(send_mutex);
            transport_ = std::move(attempt.transport);
            outbox.clear();
        }
        connected_since_ns_ = steady_ns(Clock::now());
        board_.connection_opened();
        const uint64_t seq_at_connect = board_.job_seq();
        log("connected to " + endpoint.text() + how);
        send_login();

        const ConnectionEnding ending = serve_connection(link, seq_at_connect);

        std::unique_ptr<Transport> ended;
        {
            MutexLock lock(send_mutex);
            ended = std::move(transport_);
            outbox.clear();  // lines for this connection mean nothing on the next one
        }
        ended.reset();  // closes it, outside the lock
        pending_.clear();
        board_.connection_closed();
        if (!running_) break;
        if (ending == ConnectionEnding::tls_answer) {
            log_error(endpoint.text() + " answered in TLS: write the pool as stratum+ssl://" +
                      endpoint.text());
        } else if (ending == ConnectionEnding::closed_unheard) {
            // What a TLS port does with a plain login, and what a pool that will not serve this
            // rig does: either way the user must look.
            log_error(endpoint.text() +
                      " closed the connection without a word (a TLS port? then write "
                      "stratum+ssl://" +
                      endpoint.text() + ")");
        } else if (ending == ConnectionEnding::line_too_long) {
            // No pool message comes near this size: whatever answers is no pool, or a broken one.
            log_error(endpoint.text() +
                      " sent a line longer than 1 MiB: that is no pool message, so the "
                      "connection was dropped");
        }
        if (auto reason = ending_reason(ending, timing_)) log(*reason);
        // A connection that delivered a job was healthy: start the back-off afresh. A refused
        // login, or a pool that wants TLS, is a failed attempt whatever came before it.
        std::optional<size_t> next;
        if (board_.job_seq() != seq_at_connect && ending != ConnectionEnding::login_refused &&
            ending != ConnectionEnding::tls_answer) {
            delay = FIRST_DELAY_S;
            failover_.worked();
        } else {
            next = failover_.failed(Clock::now());
        }
        log("connection lost, reconnecting in " + std::to_string(delay) + " s");
        back_off(delay, next);
    }
}

// After a failed attempt: announces a hand-over to the next pool, waits, and doubles the delay
// (up to its cap), or starts it afresh on the pool just handed over to.
void Pool::back_off(int& delay, std::optional<size_t> next) {
    if (next) announce_switch(*next, "3 failed attempts in a row");
    wait_delay(delay);
    delay = next ? FIRST_DELAY_S : std::min(2 * delay, MAX_DELAY_S);
}

std::optional<ConnectionEnding> Pool::flush_outgoing(Transport& link, std::string& out,
                                                     uint64_t& written) {
    if (out.size() < OUT_BUFFER_REFILL) {
        MutexLock lock(send_mutex);
        out += outbox;
        outbox.clear();
    }
    while (!out.empty()) {
        const IoResult r = link.write(out.data(), out.size());
        switch (r.status) {
            case IoResult::Status::done:
                out.erase(0, r.bytes);
                written += r.bytes;
                break;
            case IoResult::Status::again:
                return std::nullopt;
            case IoResult::Status::closed:
                return ConnectionEnding::closed;
            case IoResult::Status::failed:
                return ending_for_socket_error(r.error);
        }
    }
    return std::nullopt;
}

// Runs one connection until it ends or the client stops: frames the received bytes into lines,
// writes the queued lines, and watches the deadlines. A carriage return before the line feed
// stays in the line (the parser skips it as whitespace).
ConnectionEnding Pool::serve_connection(Transport& link, uint64_t seq_at_connect) {
    std::string buffer;
    size_t scanned = 0;    // bytes of `buffer` known to hold no line feed
    std::string out;       // bytes taken from the queue, not yet written
    uint64_t written = 0;  // bytes the transport has taken from `out`
    SendWatch watch(timing_.send_timeout);
    const bool plain = !link.security().tls;
    bool first_bytes = true;
    char chunk[RECV_CHUNK];
    while (running_) {
        if (auto ending = flush_outgoing(link, out, written)) return *ending;
        // Everything readable now, until the transport has nothing more: a TLS transport may
        // hold decrypted bytes that no poll would announce.
        for (;;) {
            const IoResult r = link.read(chunk, sizeof chunk);
            if (r.status == IoResult::Status::again) break;
            if (r.status != IoResult::Status::done) {
                const ConnectionEnding ending = r.status == IoResult::Status::closed
                                                    ? ConnectionEnding::closed
                                                    : ending_for_socket_error(r.error);
                // A reset counts as closing: a server that drops unread bytes sends one.
                const bool unheard = first_bytes && plain && ending == ConnectionEnding::closed;
                return unheard ? ConnectionEnding::closed_unheard : ending;
            }
            if (first_bytes && plain && looks_like_tls_record(chunk, r.bytes)) {
                return ConnectionEnding::tls_answer;
            }
            first_bytes = false;
            buffer.append(chunk, r.bytes);

            size_t line_start = 0;
            for (;;) {
                size_t lf = buffer.find('\n', scanned);
                if (lf == std::string::npos) break;
                if (lf > line_start) handle_line(buffer.substr(line_start, lf - line_start));
                line_start = lf + 1;
                scanned = line_start;
            }
            buffer.erase(0, line_start);
            scanned = buffer.size();
            if (login_refused_) return ConnectionEnding::login_refused;
            if (buffer.size() > POOL_MAX_PARTIAL_LINE) return ConnectionEnding::line_too_long;
            if (!running_) return ConnectionEnding::closed;
        }

        const auto now = Clock::now();
        // What the pool has not taken waits in `out` and in the kernel, whose count of
        // acknowledged bytes tells whether the pool takes any. Without the kernel's counts only
        // what the transport refuses can be seen.
        const auto kernel = read_kernel_send_queue(link.fd());
        watch.observe(now, out.size() + (kernel ? kernel->queued : 0),
                      kernel ? kernel->acked : written);
        if (watch.stalled(now)) return ConnectionEnding::write_stalled;

        // The earliest deadline bounds the poll, so each is noticed when it passes.
        Clock::time_point wake = now + timing_.poll_slice;
        if (auto look = watch.next_look(now)) wake = std::min(wake, *look);
        // A pool that sends a job has taken the login, whether or not it ever replies to it.
        if (board_.job_seq() == seq_at_connect) {
            if (auto login = pending_.sent_at(LOGIN_ID)) {
                if (now - *login >= timing_.login_timeout) {
                    return ConnectionEnding::login_unanswered;
                }
                wake = std::min(wake, *login + timing_.login_timeout);
            }
        }
        if (auto oldest = pending_.oldest_after(LOGIN_ID)) {
            if (now - *oldest >= timing_.reply_timeout) return ConnectionEnding::submit_unanswered;
            wake = std::min(wake, *oldest + timing_.reply_timeout);
        }
        const auto wait = std::chrono::ceil<milliseconds>(wake - now);

        pollfd p[2] = {{link.fd(), link.wanted_events(!out.empty()), 0}, {wake_fd_, POLLIN, 0}};
        int r = poll(p, wake_fd_ >= 0 ? 2 : 1, static_cast<int>(wait.count()));
        if (r < 0) {
            if (errno == EINTR) continue;
            return ConnectionEnding::closed;
        }
        if (p[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wake_fd_, &count, sizeof count);
        }
    }
    return ConnectionEnding::closed;
}

}  // namespace orvo::qel
