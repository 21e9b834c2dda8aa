// The SOCKS5 proxy that every pool connection goes through, when one is configured: its address,
// how the pool's name is resolved, and the credentials it asks for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pool/endpoint.h"

namespace orvo::qel {

struct ProxyConfig {
    // socks5h: the proxy resolves the pool's name (what Tor needs); socks5: the miner resolves
    // it and hands the proxy an address.
    bool remote_dns = false;
    std::string host;  // name or address literal, without brackets
    uint16_t port = 1080;
    // Username/password authentication (RFC 1929) when `user` is not empty; both already
    // percent-decoded. The password is never shown anywhere.
    std::string user;
    std::string password;

    bool operator==(const ProxyConfig&) const = default;
    // "socks5h://user@host:port": the URL without the password, as the console and the
    // monitoring show it.
    std::string text() const;
};

// "socks5://[user[:password]@]host[:port]" or "socks5h://...": an IPv6 host in brackets, port
// 1080 when none is written, user and password percent-decoded (1 to 255 bytes each, as RFC 1929
// carries them). Nothing, and why in `error` (which never repeats the password), for anything
// else.
std::optional<ProxyConfig> parse_proxy_url(const std::string& url, std::string* error = nullptr);

}  // namespace orvo::qel
