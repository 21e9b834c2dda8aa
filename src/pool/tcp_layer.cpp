#include "pool/tcp_layer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace orvo::qel {
namespace {

using Clock = std::chrono::steady_clock;

void set_int_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);  // best effort
}

class PlainTransport : public Transport {
  public:
    explicit PlainTransport(int fd) : fd_(fd) {}
    ~PlainTransport() override { close(fd_); }
    PlainTransport(const PlainTransport&) = delete;
    PlainTransport& operator=(const PlainTransport&) = delete;

    IoResult read(char* buffer, size_t size) override {
        for (;;) {
            const ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
            if (n > 0) return {IoResult::Status::done, static_cast<size_t>(n)};
            if (n == 0) return {IoResult::Status::closed};
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Status::again};
            return {IoResult::Status::failed, 0, errno};
        }
    }
    IoResult write(const char* data, size_t size) override {
        for (;;) {
            const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) return {IoResult::Status::done, static_cast<size_t>(n)};
            if (n == 0) return {IoResult::Status::failed};
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Status::again};
            return {IoResult::Status::failed, 0, errno};
        }
    }
    int fd() const override { return fd_; }
    short wanted_events(bool writing) const override {
        return static_cast<short>(POLLIN | (writing ? POLLOUT : 0));
    }
    void shut_down() override { shutdown(fd_, SHUT_RDWR); }
    TransportSecurity security() const override { return {}; }

  private:
    const int fd_;
};

}  // namespace

std::unique_ptr<Transport> plain_transport(int fd) {
    return std::make_unique<PlainTransport>(fd);
}

TcpLayer::TcpLayer(const PoolTiming& timing, ResolveFn resolve, std::optional<ProxyConfig> proxy)
    : timing_(timing), resolve_(std::move(resolve)), proxy_(std::move(proxy)) {}

ConnectAttempt TcpLayer::open(std::unique_ptr<Transport>, const PoolEndpoint& pool,
                              const std::function<bool()>& keep_going) {
    const int fd = proxy_ ? connect_tcp(proxy_->host, proxy_->port, keep_going)
                          : connect_tcp(pool.host, pool.port, keep_going);
    if (fd < 0) {
        // Without a proxy the retry line says it all; with one, the user must learn that it was
        // the proxy that could not be reached.
        if (!proxy_ || !keep_going()) return {};
        return {nullptr, "proxy " + proxy_->text() + " for pool " + pool.text() +
                             ": the proxy cannot be reached"};
    }
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(timing_.keepalive_idle.count()));
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL,
                   static_cast<int>(timing_.keepalive_interval.count()));
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, timing_.keepalive_count);
    return {plain_transport(fd), {}};
}

// Tries every resolved address in order, each connect within the connect deadline. The
// resolution has no time limit of its own (the resolver decides when it fails), but it is
// waited for in slices so that a stop does not wait for it.
int TcpLayer::connect_tcp(const std::string& host, uint16_t port,
                          const std::function<bool()>& keep_going) {
    AddressList list = resolve_abandonable(resolve_, host, std::to_string(port), keep_going,
                                           timing_.connect_slice);
    for (addrinfo* ai = list.get(); ai != nullptr && keep_going(); ai = ai->ai_next) {
        const int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS &&
            wait_for_socket(fd, POLLOUT, Clock::now() + timing_.connect_timeout,
                            timing_.connect_slice, keep_going) == SocketWait::ready) {
            int err = 0;
            socklen_t len = sizeof err;
            ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        if (ok) return fd;
        close(fd);
    }
    return -1;
}

}  // namespace orvo::qel
