// The pool client's one door to the network. A Connector opens a connection to an endpoint
// within a deadline; the Transport it hands back carries the bytes, plain TCP or TLS alike.
// The client's protocol, framing and failover see only this interface.
//
// Threads: the connection thread alone connects, reads and writes. shut_down may come from any
// thread at any time (a stop) and only wakes the connection thread: whatever it waits in or
// calls next fails at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "pool/endpoint.h"

namespace orvo::qel {

// What one read or write did. `bytes` counts only with `done`.
struct IoResult {
    enum class Status {
        done,    // `bytes` > 0 moved
        again,   // nothing can move now; wait for wanted_events()
        closed,  // the peer ended the connection
        failed,  // the connection is broken; `error` is the errno when the socket said why
    };
    Status status;
    size_t bytes = 0;
    int error = 0;
};

// What the console and the monitoring say about a connection's security.
struct TransportSecurity {
    bool tls = false;
    std::string protocol;               // "TLS 1.3"; empty for plain TCP
    std::optional<Fingerprint> peer{};  // the certificate the pool presented
};

class Transport {
  public:
    virtual ~Transport() = default;

    virtual IoResult read(char* buffer, size_t size) = 0;
    virtual IoResult write(const char* data, size_t size) = 0;
    // The socket to poll, and the poll events that let the next read (and, with `writing`, the
    // next write) make progress. A TLS read may first need to write, and a write to read.
    virtual int fd() const = 0;
    virtual short wanted_events(bool writing) const = 0;
    // Wakes whatever waits on the connection: any thread, any time, several times. Reading is
    // shut down at once; a layer that says goodbye when it is destroyed (TLS's close_notify)
    // keeps the writing direction open for it.
    virtual void shut_down() = 0;
    virtual TransportSecurity security() const = 0;
};

// The outcome of one connection attempt: a transport, or nothing and, when the attempt met
// something the user must hear about (a certificate refused, a handshake that failed), that in
// one line.
struct ConnectAttempt {
    std::unique_ptr<Transport> transport;
    std::string problem;
};

class Connector {
  public:
    virtual ~Connector() = default;
    // Resolves and connects, each step within its deadline. Gives up, with no problem to
    // report, soon after `keep_going` returns false: it is asked at least every connect slice.
    virtual ConnectAttempt connect(const PoolEndpoint& endpoint,
                                   const std::function<bool()>& keep_going) = 0;
};

// One layer of a connection to a pool (TCP, a proxy's tunnel, TLS). A connector builds the
// connection by handing each layer, in order, what the layers before it built; a new kind of
// layer is one more unit and one more line where the chain is put together (socket_connector.cpp).
class ConnectionLayer {
  public:
    virtual ~ConnectionLayer() = default;
    // `below`: the connection so far, null for the first layer (which makes one). Returns it
    // extended, or as it came when this layer has nothing to do for `pool`; or no transport and,
    // unless `keep_going` ended the attempt, the problem in one line. Every step that waits on
    // the peer is bounded by a deadline and asks `keep_going` at least every connect slice.
    virtual ConnectAttempt open(std::unique_ptr<Transport> below, const PoolEndpoint& pool,
                                const std::function<bool()>& keep_going) = 0;
};

// Waits until `fd` has one of `events`, `deadline` passes, or `keep_going` (asked every `slice`)
// returns false.
enum class SocketWait { ready, timed_out, stopped, failed };
SocketWait wait_for_socket(int fd, short events, std::chrono::steady_clock::time_point deadline,
                           std::chrono::milliseconds slice,
                           const std::function<bool()>& keep_going);

// Whether received bytes begin like a TLS record (a handshake or an alert, any TLS version):
// what a TLS server answers to a client that spoke plain text to it.
bool looks_like_tls_record(const char* data, size_t size);

}  // namespace orvo::qel
