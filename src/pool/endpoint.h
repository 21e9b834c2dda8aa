// Where a pool listens: a host name or address literal (handed to the resolver as is), a port,
// and whether the connection is TLS, with the certificate it must present when pinned.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace orvo::qel {

// SHA-256 of a certificate's DER encoding.
using Fingerprint = std::array<uint8_t, 32>;

struct PoolEndpoint {
    std::string host;
    uint16_t port = 0;
    bool tls = false;
    // TLS only: the one certificate trusted for this pool, instead of the CA store and the host
    // name (pools often use self-signed certificates).
    std::optional<Fingerprint> pin{};

    bool operator==(const PoolEndpoint&) const = default;
    // "host:port", as the console shows it.
    std::string text() const;
};

// "host:port", an IPv6 address (any host with a colon) in brackets: "[::1]:3333".
std::string host_port_text(const std::string& host, uint16_t port);

// 64 hex digits in either case, optionally with a colon between pairs (as `openssl x509
// -fingerprint -sha256` prints it). Nothing for any other text.
std::optional<Fingerprint> parse_fingerprint(const std::string& text);
// 64 lower-case hex digits, no separators: the form the miner prints and accepts.
std::string fingerprint_hex(const Fingerprint& fingerprint);

}  // namespace orvo::qel
