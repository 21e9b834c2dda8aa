// The hashing threads: pin, map an arena, then hash the pool's job (or the benchmark header)
// until the stop flag is set.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/report_line.h"
#include "base/run_control.h"
#include "miner/arena.h"
#include "miner/arena_gate.h"
#include "miner/hasher.h"
#include "miner/intensity.h"
#include "miner/self_check.h"
#include "miner/thread_stats.h"
#include "pool/job_board.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

inline constexpr int64_t IDLE_SLEEP_NS = 200'000'000;
inline constexpr uint8_t BENCH_HEADER_BYTE = 0x5A;  // 'Z'

// What hashing thread `index` is given; everything but the numbers and the two functions refers
// to state owned by main, which outlives the threads. Of the pool client a thread sees only its
// job board and its submit function.
struct WorkerContext {
    int32_t index = 0;
    int32_t thread_count = 1;
    const std::vector<int32_t>& pin_order;  // thread i is pinned to entry i when it exists
    ArenaCounters& arenas;
    int32_t bench_seconds = 0;  // above 0: hash the benchmark header, no pool
    // The installed engine, one hash at a time and several side by side.
    Hasher engine;
    // Arenas the thread maps and hashes side by side (1..MAX_INTENSITY). With a trial, this is
    // the candidate: the self-check times it against 1 and the thread goes on with what main
    // chooses.
    int32_t intensity = 1;
    IntensityTrial* trial = nullptr;
    std::atomic<uint64_t>& total_hashes;
    JobBoard& board;  // the pool's jobs, and the memory of the shares sent
    SubmitFn submit;  // hands a share to the pool; called on the hashing thread
    // Stop and pause: a paused thread sleeps between groups, keeping its arenas and its place.
    const RunControl& control;
    // Where the thread's lines go (a block candidate, a failed self-check). Every hashing
    // thread calls its copy, never on the hash path itself.
    ReportSink report;
    // Counts threads whose pin the kernel refused (they run unpinned); may be null.
    std::atomic<int32_t>* refused_pins = nullptr;
    // The thread's own counters for the monitoring side, and the run's count of block
    // candidates; either may be absent (tests), then nothing is counted there.
    ThreadStats* stats = nullptr;
    std::atomic<uint64_t>* blocks_found = nullptr;
    // When set, the arena is mapped only if the memory limits, read again now, still hold it.
    ArenaGate* arena_gate = nullptr;
    // Seams for tests; the defaults are the real ones.
    std::chrono::nanoseconds idle_sleep{IDLE_SLEEP_NS};
    bool (*map)(Arena&) = map_arena;
    const KnownAnswer* known_answer = &SELF_CHECK_ANSWER;
    CpuClockNs now = thread_cpu_ns;
};

// Step k of thread `index` of `thread_count` walks nonce_start + index + k * thread_count in
// wrap-around arithmetic; none once the sum wrapped or passed nonce_end (inclusive).
std::optional<uint64_t> nonce_for_step(uint64_t nonce_start, uint64_t nonce_end, int32_t index,
                                       uint64_t k, int32_t thread_count);
// The benchmark nonce of step k: index * 2^40 + k, so threads never overlap for 2^40 hashes.
inline uint64_t bench_nonce(int32_t index, uint64_t k) {
    return (static_cast<uint64_t>(index) << 40) + k;
}

// Pins, maps its arenas, passes the self-check (or reports the failure, counts it in
// check_failed_count and ends), learns the run's intensity, and only then counts itself ready
// and hashes. A stop before then ends it quietly, between arenas or between timing rounds, and
// counts it nowhere. Thread i walks its steps k in groups of consecutive steps, one per arena, each
// group hashed side by side; a new job is taken up between groups. A thread that could map only
// some of its arenas hashes with those. While the run is paused the thread sleeps between groups
// and then goes on with the job in force, at its place in it.
void hashing_thread(const WorkerContext& context);

}  // namespace orvo::qel
