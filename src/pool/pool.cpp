#include "pool/pool.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include "base/sleep.h"

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

void set_int_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);  // best effort
}

int64_t steady_ns(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

Pool::Pool(ReportSink report, ResultSink on_result, Timing timing)
    : report_(std::move(report)),
      on_result_(std::move(on_result)),
      timing_(timing),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Pool::~Pool() {
    stop();
    if (wake_fd_ >= 0) close(wake_fd_);
}

void Pool::start(const Config& config) {
    if (thread.joinable()) stop();
    config_ = config;
    std::vector<PoolEndpoint> pools{{config.host, config.port}};
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
        if (sock != -1) shutdown(sock, SHUT_RDWR);  // wakes the receive wait at once
    }
    wake_connection_thread();
    if (thread.joinable()) thread.join();
}

bool Pool::send_line(const std::string& line) {
    {
        MutexLock lock(send_mutex);
        if (sock == -1 || outbox.size() >= POOL_MAX_OUTBOX) return false;
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

void Pool::wait_delay(int seconds) {
    const auto slice =
        std::chrono::duration_cast<std::chrono::nanoseconds>(timing_.delay_unit) / 10;
    for (int i = 0; i < 10 * seconds; ++i) {
        if (!running_) return;
        sleep_resuming(slice);
    }
}

void Pool::announce_switch(size_t index, const char* why) {
    use_pool(index);
    log("switching to pool " + pools_[index].text() + " (" + why + ")");
}

// Tries every resolved address in order. Neither the resolution nor a connect has a time limit
// of its own (the resolver and the operating system decide when they fail), but both are waited
// for in short slices so that a stop does not wait for them.
int Pool::connect_to(const PoolEndpoint& endpoint) {
    AddressList list = resolve_abandonable(
        resolve_, endpoint.host, std::to_string(endpoint.port), [this] { return running_.load(); },
        timing_.connect_slice);
    int fd = -1;
    for (addrinfo* ai = list.get(); ai != nullptr && running_; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS) {
            for (;;) {
                pollfd p{fd, POLLOUT, 0};
                int r = poll(&p, 1, static_cast<int>(timing_.connect_slice.count()));
                if (r < 0 && errno != EINTR) break;
                if (r > 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
                    break;
                }
                if (!running_) break;
            }
        }
        if (ok) break;
        close(fd);
        fd = -1;
    }
    return fd;
}

void Pool::connection_thread() {
    int delay = FIRST_DELAY_S;
    while (running_) {
        if (auto back = failover_.reconnecting(Clock::now())) {
            announce_switch(*back, "back to the first pool");
            delay = FIRST_DELAY_S;
        }
        const PoolEndpoint endpoint = pools_[failover_.current()];
        const int fd = connect_to(endpoint);
        if (fd < 0) {
            // A connect abandoned because of a stop is not a failure worth reporting.
            if (!running_) break;
            log("cannot reach " + endpoint.text() + ", retry in " + std::to_string(delay) + " s");
            back_off(delay, failover_.failed(Clock::now()));
            continue;
        }

        set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE,
                       static_cast<int>(timing_.keepalive_idle.count()));
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL,
                       static_cast<int>(timing_.keepalive_interval.count()));
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, timing_.keepalive_count);
        pending_.clear();  // nothing sent on an earlier connection can be answered on this one
        login_refused_ = false;
        {
            MutexLock lock(send_mutex);
            sock = fd;
            outbox.clear();
        }
        connected_since_ns_ = steady_ns(Clock::now());
        board_.connection_opened();
        const uint64_t seq_at_connect = board_.job_seq();
        log("connected to " + endpoint.text());
        send_login();

        const ConnectionEnding ending = serve_connection(fd, seq_at_connect);

        {
            MutexLock lock(send_mutex);
            close(sock);
            sock = -1;
            outbox.clear();  // lines for this connection mean nothing on the next one
        }
        pending_.clear();
        board_.connection_closed();
        if (!running_) break;
        if (auto reason = ending_reason(ending, timing_)) log(*reason);
        // A connection that delivered a job was healthy: start the back-off afresh. A refused
        // login is a failed attempt whatever came before it.
        std::optional<size_t> next;
        if (board_.job_seq() != seq_at_connect && ending != ConnectionEnding::login_refused) {
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

// Writes what it can of `out` (and of the queue) without blocking. False when the socket
// failed.
bool Pool::flush_outgoing(int fd, std::string& out) {
    if (out.size() < OUT_BUFFER_REFILL) {
        MutexLock lock(send_mutex);
        out += outbox;
        outbox.clear();
    }
    while (!out.empty()) {
        ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) return false;
        out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

// Runs one connection until it ends or the client stops: frames the received bytes into lines,
// writes the queued lines, and watches the deadlines. A carriage return before the line feed
// stays in the line (the parser skips it as whitespace).
ConnectionEnding Pool::serve_connection(int fd, uint64_t seq_at_connect) {
    std::string buffer;
    size_t scanned = 0;  // bytes of `buffer` known to hold no line feed
    std::string out;     // bytes taken from the queue, not yet written
    std::optional<Clock::time_point> undrained_since;
    char chunk[RECV_CHUNK];
    while (running_) {
        if (!flush_outgoing(fd, out)) return ending_for_socket_error(errno);
        const auto now = Clock::now();
        if (out.empty()) {
            undrained_since.reset();
        } else if (!undrained_since) {
            undrained_since = now;
        }

        // The earliest deadline bounds the poll, so each is noticed when it passes.
        Clock::time_point wake = now + timing_.poll_slice;
        if (undrained_since) {
            if (now - *undrained_since >= timing_.send_timeout) {
                return ConnectionEnding::write_stalled;
            }
            wake = std::min(wake, *undrained_since + timing_.send_timeout);
        }
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

        pollfd p[2] = {{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0},
                       {wake_fd_, POLLIN, 0}};
        int r = poll(p, wake_fd_ >= 0 ? 2 : 1, static_cast<int>(wait.count()));
        if (r < 0) {
            if (errno == EINTR) continue;
            return ConnectionEnding::closed;
        }
        if (p[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wake_fd_, &count, sizeof count);
        }
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;

        ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0) return ending_for_socket_error(errno);
        if (n == 0) return ConnectionEnding::closed;
        buffer.append(chunk, static_cast<size_t>(n));

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
        if (buffer.size() > POOL_MAX_PARTIAL_LINE) return ConnectionEnding::closed;
    }
    return ConnectionEnding::closed;
}

}  // namespace orvo::qel
