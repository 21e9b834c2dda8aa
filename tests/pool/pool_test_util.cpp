#include "pool_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "support/loopback.h"

namespace orvo::qel::test_support {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ReportSink Recorder::lines() {
    return [this](const ReportLine& line) {
        // Every line of the client is a "net  " line, gray or (a failure the user must act on)
        // red, which is recorded with a "red: " prefix; any other shows up in the comparisons.
        const bool net = std::string(line.tag) == "net  ";
        std::string text = line.text;
        if (!net || line.colour == LineColour::green) {
            text = "not a net line: " + text;
        } else if (line.colour == LineColour::red) {
            text = "red: " + text;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        logs_.push_back(std::move(text));
    };
}

Pool::ResultSink Recorder::verdicts() {
    return [this](bool accepted, const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex_);
        results_.push_back({accepted, reason});
    };
}

std::vector<std::string> Recorder::logs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
}

std::vector<Recorder::Result> Recorder::results() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
}

size_t Recorder::count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& l : logs_) n += l == line;
    return n;
}

size_t Recorder::count_prefix(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& l : logs_) n += l.rfind(prefix, 0) == 0;
    return n;
}

namespace {

bool wait_readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

int bound_ipv6_loopback_socket(uint16_t& port) {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_addr = in6addr_loopback;
    socklen_t size = sizeof at;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(at.sin6_port);
    return fd;
}

LoopbackPeer::LoopbackPeer(Family family, int receive_buffer) {
    listener_ =
        family == Family::ipv6 ? bound_ipv6_loopback_socket(port_) : bound_loopback_socket(port_);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set before listen, so the window offered in the handshake already fits it.
    if (receive_buffer > 0) {
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    listen(listener_, 8);
}

LoopbackPeer::~LoopbackPeer() {
    close_client();
    close_listener();
}

bool LoopbackPeer::accept_client(std::chrono::milliseconds timeout) {
    close_client();
    if (!wait_readable(listener_, timeout)) return false;
    client_ = accept(listener_, nullptr, nullptr);
    pending_.clear();
    return client_ >= 0;
}

bool LoopbackPeer::receive_more(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !wait_readable(client_, left)) return false;
    char buf[4096];
    const ssize_t n = recv(client_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
    return true;
}

bool LoopbackPeer::read_line(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            return true;
        }
        if (!receive_more(deadline)) return false;
    }
}

bool LoopbackPeer::read_bytes(std::string& out, size_t size, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.size() < size) {
        if (!receive_more(deadline)) return false;
    }
    out = pending_.substr(0, size);
    pending_.erase(0, size);
    return true;
}

bool LoopbackPeer::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool LoopbackPeer::client_closed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait_readable(client_, left)) return false;
        char buf[4096];
        ssize_t n = recv(client_, buf, sizeof buf, 0);
        if (n <= 0) return true;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void LoopbackPeer::close_client() {
    if (client_ >= 0) close(client_);
    client_ = -1;
}

void LoopbackPeer::close_listener() {
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

Pool::Config loopback_config(uint16_t port) {
    Pool::Config config;
    config.host = "127.0.0.1";
    config.port = port;
    config.address = "addr";
    config.worker = "rig";
    return config;
}

uint16_t closed_port() {
    uint16_t port = 0;
    const int fd = bound_loopback_socket(port);  // bound but not listening: connects are refused
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace orvo::qel::test_support
