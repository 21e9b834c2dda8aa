// What one hashing thread tells the monitoring side about itself: its hash count, the CPU it is
// pinned to, whether its arenas lie in reserved huge pages and the shares that went stale.
//
// Each record is written by its own thread only and read by the main loop once a tick. A single
// writer needs no locked read-modify-write: the thread loads its count and stores the next value,
// both relaxed, so counting costs two plain moves on a cache line no other thread writes
// (alignas(64): a neighbour's count never shares the line). Readers may see a value one hash old,
// never a torn one.
#pragma once

#include <atomic>
#include <cstdint>

namespace orvo::qel {

struct alignas(64) ThreadStats {
    std::atomic<uint64_t> hashes{0};
    std::atomic<int32_t> cpu{-1};   // the CPU the thread is pinned to; -1 unpinned
    std::atomic<bool> huge{false};  // all its arenas lie in reserved huge pages
    // Shares it found on a job of a connection already gone: the pool would not know the job.
    std::atomic<uint64_t> stale{0};

    // Called by the owning thread only, after every group of `n` hashes.
    void count_hashes(uint64_t n) {
        hashes.store(hashes.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    void count_stale() {
        stale.store(stale.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
};

}  // namespace orvo::qel
