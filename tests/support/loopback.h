// Loopback sockets for tests that play the pool's side or need a port that refuses.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace orvo::qel::test_support {

// 127.0.0.1:`port` as a socket address.
sockaddr_in loopback_address(uint16_t port);

// A TCP socket bound to an ephemeral port of 127.0.0.1 and not listening, so connects to the
// port are refused until listen(); `port` receives the port. The descriptor, or -1.
int bound_loopback_socket(uint16_t& port);

}  // namespace orvo::qel::test_support
