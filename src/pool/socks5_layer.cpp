#include "pool/socks5_layer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <optional>
#include <string>

namespace orvo::qel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char VERSION = 5;
constexpr unsigned char NO_AUTH = 0;
constexpr unsigned char USER_PASSWORD = 2;
constexpr unsigned char NO_ACCEPTABLE = 0xff;
constexpr unsigned char CONNECT = 1;
constexpr unsigned char IPV4 = 1;
constexpr unsigned char DOMAIN = 3;
constexpr unsigned char IPV6 = 4;

// One exchange with the proxy over the connection below, all of it before one deadline.
class Exchange {
  public:
    Exchange(Transport& link, std::chrono::milliseconds deadline, std::chrono::milliseconds slice,
             const std::function<bool()>& keep_going)
        : link_(link),
          deadline_(deadline),
          until_(Clock::now() + deadline),
          slice_(slice),
          keep_going_(keep_going) {}

    // On failure, `why` holds the cause (empty when keep_going ended it).
    bool write_all(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const IoResult r = link_.write(bytes.data() + done, bytes.size() - done);
            if (r.status == IoResult::Status::done) {
                done += r.bytes;
            } else if (!settle(r, true)) {
                return false;
            }
        }
        return true;
    }
    // Exactly `size` bytes, never more: what follows belongs to the layers above.
    bool read_exact(unsigned char* out, size_t size) {
        for (size_t done = 0; done < size;) {
            const IoResult r = link_.read(reinterpret_cast<char*>(out) + done, size - done);
            if (r.status == IoResult::Status::done) {
                done += r.bytes;
            } else if (!settle(r, false)) {
                return false;
            }
        }
        return true;
    }

    std::string why;

  private:
    // After a read or write that moved nothing: waits when it may go on, else sets `why`.
    bool settle(const IoResult& r, bool writing) {
        switch (r.status) {
            case IoResult::Status::done:
            case IoResult::Status::again:
                break;
            case IoResult::Status::closed:
                why = "the proxy closed the connection before its reply was complete";
                return false;
            case IoResult::Status::failed:
                why = std::string("the connection to the proxy failed: ") +
                      (r.error != 0 ? std::strerror(r.error) : "unknown error");
                return false;
        }
        switch (wait_for_socket(link_.fd(), link_.wanted_events(writing), until_, slice_,
                                keep_going_)) {
            case SocketWait::ready:
                return true;
            case SocketWait::stopped:
                return false;
            case SocketWait::timed_out:
                why = "the proxy did not answer within " +
                      std::to_string(std::chrono::ceil<std::chrono::seconds>(deadline_).count()) +
                      " s";
                return false;
            case SocketWait::failed:
                why = std::string("the connection to the proxy failed: ") + std::strerror(errno);
                return false;
        }
        return false;
    }
    Transport& link_;
    const std::chrono::milliseconds deadline_;
    const Clock::time_point until_;
    const std::chrono::milliseconds slice_;
    const std::function<bool()>& keep_going_;
};

// The destination of the CONNECT request: ATYP, address, port.
std::string address_field(const std::string& host, uint16_t port, const sockaddr* resolved) {
    std::string out;
    unsigned char buf[sizeof(in6_addr)];
    if (resolved != nullptr && resolved->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(resolved);
        out.push_back(static_cast<char>(IPV4));
        out.append(reinterpret_cast<const char*>(&v4->sin_addr), 4);
    } else if (resolved != nullptr && resolved->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(resolved);
        out.push_back(static_cast<char>(IPV6));
        out.append(reinterpret_cast<const char*>(&v6->sin6_addr), 16);
    } else if (inet_pton(AF_INET, host.c_str(), buf) == 1) {
        out.push_back(static_cast<char>(IPV4));
        out.append(reinterpret_cast<const char*>(buf), 4);
    } else if (inet_pton(AF_INET6, host.c_str(), buf) == 1) {
        out.push_back(static_cast<char>(IPV6));
        out.append(reinterpret_cast<const char*>(buf), 16);
    } else {
        out.push_back(static_cast<char>(DOMAIN));
        out.push_back(static_cast<char>(host.size()));
        out += host;
    }
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xff));
    return out;
}

bool is_address_literal(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

std::string socks5_reply_text(unsigned char code) {
    static constexpr const char* MEANINGS[] = {
        "succeeded",
        "general SOCKS server failure",
        "connection not allowed by the proxy's rules",
        "network unreachable",
        "host unreachable",
        "connection refused",
        "TTL expired",
        "command not supported",
        "address type not supported",
    };
    const std::string meaning = code < std::size(MEANINGS) ? MEANINGS[code] : "unknown reply";
    return meaning + " (reply " + std::to_string(code) + ")";
}

Socks5Layer::Socks5Layer(ProxyConfig proxy, const PoolTiming& timing, ResolveFn resolve)
    : proxy_(std::move(proxy)), timing_(timing), resolve_(std::move(resolve)) {}

ConnectAttempt Socks5Layer::open(std::unique_ptr<Transport> below, const PoolEndpoint& pool,
                                 const std::function<bool()>& keep_going) {
    const std::string prefix = "proxy " + proxy_.text() + " for pool " + pool.text() + ": ";
    auto fail = [&](const std::string& why) {
        return ConnectAttempt{nullptr, why.empty() ? "" : prefix + why};
    };
    if (!proxy_.remote_dns && pool.host.size() > 255) {
        return fail("the pool's name is too long for SOCKS5");
    }

    // socks5: the pool's name is resolved here, before the proxy's deadline starts.
    AddressList resolved;
    if (!proxy_.remote_dns && !is_address_literal(pool.host)) {
        resolved = resolve_abandonable(resolve_, pool.host, std::to_string(pool.port), keep_going,
                                       timing_.connect_slice);
        if (!resolved) {
            if (!keep_going()) return {};
            return fail(
                "the pool's name does not resolve here (with socks5h:// the proxy "
                "resolves it)");
        }
    } else if (pool.host.size() > 255) {
        return fail("the pool's name is too long for SOCKS5");
    }

    Exchange io(*below, timing_.connect_timeout, timing_.connect_slice, keep_going);
    const bool with_password = !proxy_.user.empty();
    std::string greeting{static_cast<char>(VERSION), static_cast<char>(with_password ? 2 : 1),
                         static_cast<char>(NO_AUTH)};
    if (with_password) greeting.push_back(static_cast<char>(USER_PASSWORD));
    unsigned char choice[2];
    if (!io.write_all(greeting) || !io.read_exact(choice, 2)) return fail(io.why);
    if (choice[0] != VERSION) return fail("the proxy does not answer in SOCKS5");
    if (choice[1] == NO_ACCEPTABLE) {
        return fail(with_password ? "the proxy accepts neither no authentication nor a user name "
                                    "and password"
                                  : "the proxy wants an authentication (a user name and password "
                                    "in the --proxy URL?)");
    }
    if (choice[1] == USER_PASSWORD && with_password) {
        std::string auth{1, static_cast<char>(proxy_.user.size())};
        auth += proxy_.user;
        auth.push_back(static_cast<char>(proxy_.password.size()));
        auth += proxy_.password;
        unsigned char verdict[2];
        if (!io.write_all(auth) || !io.read_exact(verdict, 2)) return fail(io.why);
        if (verdict[1] != 0) return fail("the proxy refused the user name and password");
    } else if (choice[1] != NO_AUTH) {
        return fail("the proxy chose an authentication method that was not offered (" +
                    std::to_string(choice[1]) + ")");
    }

    std::string request{static_cast<char>(VERSION), static_cast<char>(CONNECT), 0};
    request += address_field(pool.host, pool.port, resolved ? resolved->ai_addr : nullptr);
    unsigned char head[5];  // VER REP RSV ATYP, and the first byte of the bound address
    if (!io.write_all(request) || !io.read_exact(head, 4)) return fail(io.why);
    if (head[0] != VERSION) return fail("the proxy does not answer in SOCKS5");
    if (head[1] != 0) return fail("the proxy could not connect: " + socks5_reply_text(head[1]));
    size_t rest = 0;  // of the bound address and port
    switch (head[3]) {
        case IPV4:
            rest = 4 + 2;
            break;
        case IPV6:
            rest = 16 + 2;
            break;
        case DOMAIN:
            if (!io.read_exact(head + 4, 1)) return fail(io.why);
            rest = head[4] + 2;
            break;
        default:
            return fail("the proxy's reply names an unknown address type (" +
                        std::to_string(head[3]) + ")");
    }
    unsigned char bound[255 + 2];
    if (!io.read_exact(bound, rest)) return fail(io.why);
    return {std::move(below), {}};
}

}  // namespace orvo::qel
