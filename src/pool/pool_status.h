// The pool client as the monitoring side sees it: which pool is in use, whether and for how long
// it is connected, how often the connection was lost, and the last job's numbers.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvo::qel {

struct PoolStatus {
    std::string host;  // the pool in use (the first until a backup takes over)
    uint16_t port = 0;
    bool connected = false;
    std::chrono::steady_clock::time_point connected_since{};  // meaningful while connected
    bool backup = false;      // the pool in use is not the first one given
    uint64_t reconnects = 0;  // connections lost (and so made again) while running
    // The newest job's numbers; absent before the first job of the run.
    std::optional<uint64_t> job_height;
    std::optional<uint64_t> job_difficulty;
};

}  // namespace orvo::qel
