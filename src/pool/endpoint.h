// Where a pool listens: a host name or address literal (handed to the resolver as is) and a port.
#pragma once

#include <cstdint>
#include <string>

namespace orvo::qel {

struct PoolEndpoint {
    std::string host;
    uint16_t port = 0;

    bool operator==(const PoolEndpoint&) const = default;
    // "host:port", as the console shows it.
    std::string text() const { return host + ":" + std::to_string(port); }
};

}  // namespace orvo::qel
