// Every time the pool client waits for or bounds, in one record given at construction. The
// defaults are the miner's; tests shorten them to run the same scenarios in milliseconds.
#pragma once

#include <chrono>

#include "pool/failover.h"

namespace orvo::qel {

struct PoolTiming {
    // One "second" of the reconnect delays (2, 4, 8, 15 s); waits sleep in tenths of it.
    std::chrono::milliseconds delay_unit{1000};
    // Longest bytes may wait, in the client's queue or the kernel's, without the pool taking any
    // before the connection is given up.
    std::chrono::milliseconds send_timeout{10000};
    // Longest the pool may leave the login (until it sends a job), or the oldest submit,
    // without a reply.
    std::chrono::milliseconds login_timeout{30000};
    std::chrono::milliseconds reply_timeout{60000};
    // How long a pool other than the first serves before the next reconnect returns to the first.
    std::chrono::milliseconds failover_return{FAILOVER_RETURN_AFTER};
    // Longest the connection thread sleeps in poll; bounds how late it notices anything it is
    // not woken for.
    std::chrono::milliseconds poll_slice{1000};
    // Slice in which a pending connect, handshake or name resolution re-checks whether to go on.
    std::chrono::milliseconds connect_slice{100};
    // Longest a TCP connect to one address, and then a TLS handshake, may take. A pool that
    // accepts and then stalls the handshake costs one attempt, never the connection thread.
    std::chrono::milliseconds connect_timeout{10000};
    // Dead-peer detection by the kernel: probes after keepalive_idle of silence, one every
    // keepalive_interval, the connection dead after keepalive_count unanswered ones.
    std::chrono::seconds keepalive_idle{60};
    std::chrono::seconds keepalive_interval{10};
    int keepalive_count = 6;
};

}  // namespace orvo::qel
