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
// Longest the connection thread sleeps in poll; bounds how late it notices anything it is not
// woken for.
constexpr milliseconds POLL_SLICE{1000};
constexpr size_t RECV_CHUNK = 8192;
// Slice in which a pending connect or name resolution re-checks the running flag.
constexpr milliseconds CONNECT_SLICE{100};
// Dead-peer detection by the kernel: probes after a minute of silence, every 10 s, 6 of them.
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_COUNT = 6;
// The connection thread takes queued lines into its own buffer while that holds less than this,
// so a pool that stops reading fills the bounded queue instead of the thread's buffer.
constexpr size_t OUT_BUFFER_REFILL = 65536;

void set_int_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);  // best effort
}

long long whole_seconds(milliseconds d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

}  // namespace

Pool::Pool() : wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Pool::~Pool() {
    stop();
    if (wake_fd_ >= 0) close(wake_fd_);
}

void Pool::start(const Config& config) {
    if (thread.joinable()) stop();
    host = config.host;
    port = config.port;
    address = config.address;
    worker = config.worker;
    std::vector<PoolEndpoint> pools{{config.host, config.port}};
    pools.insert(pools.end(), config.backups.begin(), config.backups.end());
    // A restart with the same pools (the fee switch) stays on the pool in use.
    if (pools != pools_) {
        std::lock_guard<std::mutex> lock(status_mutex_);
        pools_ = std::move(pools);
        failover_ = Failover(pools_.size(), failover_return);
        status_in_use_ = 0;
    }
    running = true;
    try {
        thread = std::thread(&Pool::connection_thread, this);
    } catch (const std::system_error&) {
        // Out of threads: the miner keeps running without a pool (threads idle) rather than
        // ending; the next start, at a fee switch, tries again.
        running = false;
        log("cannot start the connection thread");
    }
}

void Pool::stop() {
    running = false;
    {
        std::lock_guard<std::mutex> lock(send_mutex);
        if (sock != -1) shutdown(sock, SHUT_RDWR);  // wakes the receive wait at once
    }
    wake_connection_thread();
    if (thread.joinable()) thread.join();
}

bool Pool::send_line(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(send_mutex);
        if (sock == -1 || outbox.size() >= POOL_MAX_OUTBOX) return false;
        outbox += line;
        outbox.push_back('\n');
    }
    wake_connection_thread();
    return true;
}

void Pool::wake_connection_thread() {
    if (wake_fd_ < 0) return;
    const uint64_t one = 1;
    // Non-blocking: a full counter means a wake-up is pending anyway.
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
}

void Pool::log(const std::string& text) const {
    if (on_log) on_log(text);
}

void Pool::wait_delay(int seconds) {
    const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(delay_unit) / 10;
    for (int i = 0; i < 10 * seconds; ++i) {
        if (!running) return;
        sleep_resuming(slice);
    }
}

void Pool::announce_switch(size_t index, const char* why) {
    log("switching to pool " + pools_[index].text() + " (" + why + ")");
}

// Tries every resolved address in order. Neither the resolution nor a connect has a time limit
// of its own (the resolver and the operating system decide when they fail), but both are waited
// for in short slices so that a stop does not wait for them.
int Pool::connect_to(const PoolEndpoint& endpoint) {
    AddressList list = resolve_abandonable(
        resolve, endpoint.host, std::to_string(endpoint.port), [this] { return running.load(); },
        CONNECT_SLICE);
    int fd = -1;
    for (addrinfo* ai = list.get(); ai != nullptr && running; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS) {
            for (;;) {
                pollfd p{fd, POLLOUT, 0};
                int r = poll(&p, 1, static_cast<int>(CONNECT_SLICE.count()));
                if (r < 0 && errno != EINTR) break;
                if (r > 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
                    break;
                }
                if (!running) break;
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
    while (running) {
        if (auto back = failover_.reconnecting(Clock::now())) {
            announce_switch(*back, "back to the first pool");
            delay = FIRST_DELAY_S;
        }
        const PoolEndpoint endpoint = pools_[failover_.current()];
        const int fd = connect_to(endpoint);
        if (fd < 0) {
            // A connect abandoned because of a stop is not a failure worth reporting.
            if (!running) break;
            log("cannot reach " + endpoint.text() + ", retry in " + std::to_string(delay) + " s");
            back_off(delay, failover_.failed(Clock::now()));
            continue;
        }

        set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S);
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S);
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_COUNT);
        pending.clear();  // nothing sent on an earlier connection can be answered on this one
        {
            std::lock_guard<std::mutex> lock(send_mutex);
            sock = fd;
            outbox.clear();
        }
        note_connection(failover_.current(), true);
        conn_gen.fetch_add(1);
        connected = true;
        const uint64_t seq_at_connect = job_seq.load();
        log("connected to " + endpoint.text());
        send_login();

        const Ending ending = serve_connection(fd);

        connected = false;
        {
            std::lock_guard<std::mutex> lock(send_mutex);
            close(sock);
            sock = -1;
            outbox.clear();  // lines for this connection mean nothing on the next one
        }
        pending.clear();
        {
            std::lock_guard<std::mutex> lock(job_mutex);
            job.valid = false;
        }
        if (!running) break;
        note_connection(failover_.current(), false);
        switch (ending) {
            case Ending::closed:
                break;
            case Ending::write_stalled:
                log("pool stopped reading: nothing could be sent for " +
                    std::to_string(whole_seconds(send_timeout)) + " s");
                break;
            case Ending::login_unanswered:
                log("no reply to the login within " + std::to_string(whole_seconds(login_timeout)) +
                    " s");
                break;
            case Ending::submit_unanswered:
                log("no reply to a share within " + std::to_string(whole_seconds(reply_timeout)) +
                    " s");
                break;
        }
        // A connection that delivered a job was healthy: start the back-off afresh.
        std::optional<size_t> next;
        if (job_seq.load() != seq_at_connect) {
            delay = FIRST_DELAY_S;
            failover_.worked();
        } else {
            next = failover_.failed(Clock::now());
        }
        log("connection lost, reconnecting in " + std::to_string(delay) + " s");
        back_off(delay, next);
    }
}

// Records the pool in use; a connection that ends while the client runs counts as lost.
void Pool::note_connection(size_t index, bool up) {
    std::lock_guard<std::mutex> lock(status_mutex_);
    status_in_use_ = index;
    if (up) {
        status_since_ = Clock::now();
    } else {
        ++status_lost_;
    }
}

PoolStatus Pool::status() const {
    PoolStatus s;
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        if (status_in_use_ < pools_.size()) {
            s.host = pools_[status_in_use_].host;
            s.port = pools_[status_in_use_].port;
        }
        s.backup = status_in_use_ != 0;
        s.connected_since = status_since_;
        s.reconnects = status_lost_;
    }
    s.connected = connected.load();
    if (job_seq.load() > 0) {
        std::lock_guard<std::mutex> lock(job_mutex);
        s.job_height = job.height;
        s.job_difficulty = job.difficulty;
    }
    return s;
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
        std::lock_guard<std::mutex> lock(send_mutex);
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
Pool::Ending Pool::serve_connection(int fd) {
    std::string buffer;
    size_t scanned = 0;  // bytes of `buffer` known to hold no line feed
    std::string out;     // bytes taken from the queue, not yet written
    std::optional<Clock::time_point> undrained_since;
    char chunk[RECV_CHUNK];
    while (running) {
        if (!flush_outgoing(fd, out)) return Ending::closed;
        const auto now = Clock::now();
        if (out.empty()) {
            undrained_since.reset();
        } else if (!undrained_since) {
            undrained_since = now;
        }

        // The earliest deadline bounds the poll, so each is noticed when it passes.
        Clock::time_point wake = now + POLL_SLICE;
        if (undrained_since) {
            if (now - *undrained_since >= send_timeout) return Ending::write_stalled;
            wake = std::min(wake, *undrained_since + send_timeout);
        }
        if (auto login = pending.sent_at(LOGIN_ID)) {
            if (now - *login >= login_timeout) return Ending::login_unanswered;
            wake = std::min(wake, *login + login_timeout);
        }
        if (auto oldest = pending.oldest_except(LOGIN_ID)) {
            if (now - *oldest >= reply_timeout) return Ending::submit_unanswered;
            wake = std::min(wake, *oldest + reply_timeout);
        }
        const auto wait = std::chrono::ceil<milliseconds>(wake - now);

        pollfd p[2] = {{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0},
                       {wake_fd_, POLLIN, 0}};
        int r = poll(p, wake_fd_ >= 0 ? 2 : 1, static_cast<int>(wait.count()));
        if (r < 0) {
            if (errno == EINTR) continue;
            return Ending::closed;
        }
        if (p[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wake_fd_, &count, sizeof count);
        }
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;

        ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return Ending::closed;
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
        if (buffer.size() > POOL_MAX_PARTIAL_LINE) return Ending::closed;
    }
    return Ending::closed;
}

}  // namespace orvo::qel
