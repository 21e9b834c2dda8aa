// What the pool client can say about its connection, for monitoring.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvo::qel {

struct PoolStatus {
    std::string host;  // the pool in use (or last tried)
    uint16_t port = 0;
    bool connected = false;
    uint64_t seconds_connected = 0;  // of the current connection; 0 without one
    bool backup = false;             // the pool in use is not the first configured
    bool tls = false;                // the pool in use is reached over TLS
    bool tls_pinned = false;         // its certificate is checked against a configured pin
    std::string proxy;               // the proxy it is reached through, without its password
    // SHA-256 of the certificate it presented on its last TLS connection (64 lower-case hex
    // digits); empty before that, and for a plain pool.
    std::string tls_fingerprint;
    uint64_t reconnects = 0;             // connections made after the first
    uint64_t failovers = 0;              // switches from one configured pool to another
    std::optional<uint64_t> job_height;  // of the last job received; none before the first
    std::optional<uint64_t> job_difficulty;
};

}  // namespace orvo::qel
