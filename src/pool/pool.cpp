#include "pool/pool.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "app/sleep.h"

namespace orvo::qel {
namespace {

constexpr int FIRST_DELAY_S = 2;
constexpr int MAX_DELAY_S = 15;
constexpr int POLL_TIMEOUT_MS = 1000;
constexpr size_t RECV_CHUNK = 8192;
// Slice in which a pending connect re-checks the running flag.
constexpr int CONNECT_SLICE_MS = 100;

void set_int_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);  // best effort
}

void set_blocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return;
    fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

Pool::~Pool() {
    stop();
}

void Pool::start(const Config& config) {
    if (thread.joinable()) stop();
    host = config.host;
    port = config.port;
    address = config.address;
    worker = config.worker;
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
    if (thread.joinable()) thread.join();
}

bool Pool::send_line(const std::string& line) {
    std::lock_guard<std::mutex> lock(send_mutex);
    if (sock == -1) return false;
    std::string data = line;
    data.push_back('\n');
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(sock, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            shutdown(sock, SHUT_RDWR);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
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

// Tries every resolved address in order. The connect itself has no time limit of its own (the
// operating system decides when it fails), but it is polled in short slices so that a stop does
// not wait for an unresponsive host.
int Pool::connect_to_pool() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return -1;
    int fd = -1;
    for (addrinfo* ai = list; ai != nullptr && running; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        set_blocking(fd, false);
        bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS) {
            for (;;) {
                pollfd p{fd, POLLOUT, 0};
                int r = poll(&p, 1, CONNECT_SLICE_MS);
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
        if (ok) {
            set_blocking(fd, true);
            break;
        }
        close(fd);
        fd = -1;
    }
    freeaddrinfo(list);
    return fd;
}

void Pool::connection_thread() {
    int delay = FIRST_DELAY_S;
    while (running) {
        const int fd = connect_to_pool();
        if (fd < 0) {
            // A connect abandoned because of a stop is not a failure worth reporting.
            if (!running) break;
            log("cannot reach " + host + ":" + std::to_string(port) + ", retry in " +
                std::to_string(delay) + " s");
            wait_delay(delay);
            delay = std::min(2 * delay, MAX_DELAY_S);
            continue;
        }

        set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        const auto timeout_us =
            std::chrono::duration_cast<std::chrono::microseconds>(send_timeout).count();
        timeval tv{static_cast<time_t>(timeout_us / 1000000),
                   static_cast<suseconds_t>(timeout_us % 1000000)};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        pending.clear();  // nothing sent on an earlier connection can be answered on this one
        {
            std::lock_guard<std::mutex> lock(send_mutex);
            sock = fd;
        }
        conn_gen.fetch_add(1);
        connected = true;
        const uint64_t seq_at_connect = job_seq.load();
        log("connected to " + host + ":" + std::to_string(port));
        send_login();

        receive_lines(fd);

        connected = false;
        {
            std::lock_guard<std::mutex> lock(send_mutex);
            close(sock);
            sock = -1;
        }
        {
            std::lock_guard<std::mutex> lock(job_mutex);
            job.valid = false;
        }
        // A connection that delivered a job was healthy: start the back-off afresh.
        if (job_seq.load() != seq_at_connect) delay = FIRST_DELAY_S;
        if (running) log("connection lost, reconnecting in " + std::to_string(delay) + " s");
        wait_delay(delay);
        delay = std::min(2 * delay, MAX_DELAY_S);
    }
}

// Frames the byte stream into lines until the connection ends or the client stops. A carriage
// return before the line feed stays in the line (the parser skips it as whitespace).
void Pool::receive_lines(int fd) {
    std::string buffer;
    size_t scanned = 0;  // bytes of `buffer` known to hold no line feed
    char chunk[RECV_CHUNK];
    while (running) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, POLL_TIMEOUT_MS);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (r == 0) continue;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
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
        if (buffer.size() > POOL_MAX_PARTIAL_LINE) return;
    }
}

}  // namespace orvo::qel
