// What the HTTP endpoint shows: one snapshot of the run, built by the main loop once a tick and
// read by the HTTP thread, which never touches the live counters, the pool client or any lock a
// hashing thread takes. The documents it serves are pure functions of a snapshot
// (monitor/api_documents.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/run_control.h"
#include "pool/pool_status.h"

namespace orvo::qel {

struct ThreadSnapshot {
    int32_t index = 0;
    std::optional<int32_t> cpu;  // absent for an unpinned thread
    uint64_t hashes = 0;
    double rate_10s = 0;  // H/s over its last 10 one-second samples
    bool huge_pages = false;
    std::vector<uint64_t> history;  // hashes per one-second sample, oldest first
};

// The pool as shown, with its connected time already turned into seconds.
struct PoolSnapshot {
    PoolStatus status;
    uint64_t connected_s = 0;
};

struct ApiSnapshot {
    std::string version;  // without the leading "v": "1.0.1"
    std::string engine;   // "avx512" or "avx2"
    uint64_t uptime_s = 0;
    double rate_10s = 0, rate_60s = 0, rate_15m = 0;  // the speed line's three rates
    uint64_t hashes_total = 0;
    uint64_t accepted = 0, rejected = 0, blocks_found = 0;
    uint64_t stale = 0;             // shares found on a job of a connection already gone, not sent
    std::string last_rejection;     // the pool's reason for the last share it rejected
    int32_t intensity = 0;          // arenas per hashing thread
    std::vector<uint64_t> history;  // the run's hashes per one-second sample, oldest first
    std::vector<ThreadSnapshot> threads;
    std::optional<PoolSnapshot> pool;  // absent in a benchmark
    bool dev_fee_active = false;
    PauseReasons pause_reasons = 0;           // hashing is paused while any holds
    std::optional<double> cpu_temperature_c;  // absent without a sensor or a reading
    // When the main loop took these numbers: the steady time tells how old they are, the Unix
    // time in milliseconds is what the documents show. A snapshot never published is as old as
    // the steady clock, so it is never taken for fresh numbers.
    std::chrono::steady_clock::time_point taken{};
    int64_t taken_unix_ms = 0;
};

}  // namespace orvo::qel
