#include "support/loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <utility>

namespace orvo::qel::test_support {

sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

int bound_loopback_socket(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr = loopback_address(0);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

int connect_to(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in addr = loopback_address(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {  // NOLINT
        close(fd);
        return -1;
    }
    return fd;
}

std::string http_exchange(uint16_t port, const std::string& method, const std::string& path,
                          const std::string& token) {
    const int fd = connect_to(port);
    if (fd < 0) return "";
    std::string request = method + " " + path + " HTTP/1.1\r\nConnection: close\r\n";
    if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
    request += "\r\n";
    [[maybe_unused]] ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

uint16_t api_port_in(const std::string& output) {
    std::smatch m;
    if (!std::regex_search(output, m,
                           std::regex(" http  API on http://127\\.0\\.0\\.1:([0-9]+) "))) {
        return 0;
    }
    return static_cast<uint16_t>(std::stoul(m[1]));
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Hostile {
    Hostility what;
    int fd = -1;
    size_t sent = 0;               // bytes of the current text sent
    Clock::time_point next_act{};  // when it sends again
};

// Sends what it can without blocking; false when the connection is gone.
bool send_some(int fd, const std::string& text, size_t& at) {
    if (at >= text.size()) return true;
    const ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) at += static_cast<size_t>(n);
    return n > 0 || errno == EAGAIN || errno == EWOULDBLOCK;
}

// Reads and drops what arrived; false once the server closed the connection.
bool drain(int fd) {
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

}  // namespace

HostileClients::HostileClients(uint16_t port, std::vector<HostileKind> kinds, std::string token)
    : thread_([this, port, k = std::move(kinds), t = std::move(token)] { attack(port, k, t); }) {}

HostileClients::~HostileClients() {
    attacking_ = false;
    thread_.join();
}

bool HostileClients::wait_until_attacking(std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (rounds_ < 2) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

void HostileClients::attack(uint16_t port, std::vector<HostileKind> kinds, std::string token) {
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: rig\r\n";
    const std::string valid = head + "Authorization: Bearer " + token + "\r\n\r\n";
    const std::string anonymous = head + "\r\n";
    const std::string huge = head + "X: " + std::string(1 << 20, 'x');
    const std::string garbage = "\x01\x02\xff\xfe garbage\r\n\r\n";
    std::vector<Hostile> clients;
    for (const HostileKind& kind : kinds) {
        for (int i = 0; i < kind.connections; ++i) clients.push_back({kind.what});
    }
    while (attacking_) {
        const auto now = Clock::now();
        for (Hostile& c : clients) {
            if (c.fd >= 0 && !drain(c.fd)) {
                close(c.fd);
                c.fd = -1;
            }
            if (c.fd < 0) {
                c.fd = connect_to(port);
                c.sent = 0;
                c.next_act = now;
                if (c.fd < 0) continue;
            }
            if (now < c.next_act) continue;
            bool alive = true;
            switch (c.what) {
                case Hostility::silent:
                    break;
                case Hostility::dribbling:
                    // Never the blank line that ends the head.
                    alive = send(c.fd, anonymous.data() + c.sent % (anonymous.size() - 2), 1,
                                 MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
                    ++c.sent;
                    c.next_act = now + 100ms;
                    break;
                case Hostility::keep_alive:
                    c.sent = 0;
                    alive = send_some(c.fd, valid, c.sent);
                    c.next_act = now + 2s;
                    break;
                case Hostility::without_token:
                    // One request per connection: the 401 closes it, and the client is back.
                    alive = send_some(c.fd, anonymous, c.sent);
                    c.next_act = now + 2s;
                    break;
                case Hostility::oversized:
                case Hostility::garbage:
                    send_some(c.fd, c.what == Hostility::garbage ? garbage : huge, c.sent);
                    alive = false;
                    break;
            }
            if (!alive) {
                close(c.fd);
                c.fd = -1;
            }
        }
        ++rounds_;
        std::this_thread::sleep_for(50ms);
    }
    for (const Hostile& c : clients) {
        if (c.fd >= 0) close(c.fd);
    }
}

}  // namespace orvo::qel::test_support
