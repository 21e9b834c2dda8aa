// Loopback sockets for tests that play the pool's side or need a port that refuses, and clients
// that misuse an HTTP endpoint.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace orvo::qel::test_support {

// 127.0.0.1:`port` as a socket address.
sockaddr_in loopback_address(uint16_t port);

// A TCP socket bound to an ephemeral port of 127.0.0.1 and not listening, so connects to the
// port are refused until listen(); `port` receives the port. The descriptor, or -1.
int bound_loopback_socket(uint16_t& port);

// A blocking TCP connection to 127.0.0.1:`port`: the descriptor, or -1.
int connect_to(uint16_t port);

// `method path` over HTTP/1.1 with "Connection: close" (and "Authorization: Bearer token" when
// the token is not empty): the whole answer, head and body, as read until the server closes or
// a second passes; empty when nothing connects.
std::string http_exchange(uint16_t port, const std::string& method, const std::string& path,
                          const std::string& token = "");

// The port named by the miner's "http " line in `output`, or 0 when there is none.
uint16_t api_port_in(const std::string& output);

enum class Hostility {
    silent,         // connects and says nothing
    dribbling,      // sends a request head one byte every 100 ms, never finishing it
    keep_alive,     // a valid request (with the token) every 2 s on one kept connection
    without_token,  // a request without the token, again as soon as the answer is read
    oversized,      // a request head of a mebibyte, then hangs up
    garbage,        // bytes that are no HTTP, then hangs up
};

struct HostileKind {
    Hostility what;
    int connections;  // how many such clients at once
};

// Clients of the kinds given, all at once on one thread of their own, until destroyed; a client
// whose connection the server closed connects again at once. Every descriptor is closed before
// the destructor returns.
class HostileClients {
  public:
    HostileClients(uint16_t port, std::vector<HostileKind> kinds, std::string token = "");
    ~HostileClients();
    HostileClients(const HostileClients&) = delete;
    HostileClients& operator=(const HostileClients&) = delete;

    // True once every client has connected and acted at least twice.
    bool wait_until_attacking(std::chrono::milliseconds timeout) const;

  private:
    void attack(uint16_t port, std::vector<HostileKind> kinds, std::string token);

    std::atomic<bool> attacking_{true};
    std::atomic<int> rounds_{0};
    std::thread thread_;
};

}  // namespace orvo::qel::test_support
