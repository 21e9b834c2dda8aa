// The hashing threads' start-up self-check: one hash of a compiled-in known answer with the
// installed engine, on the CPU the thread is pinned to and in the arena it will mine with. It
// catches what no build-time test can: an unstable overclock, a faulty core, a compiler or CPU
// erratum that only this machine shows. A thread that fails it never hashes for the pool.
#pragma once

#include <cstdint>
#include <string>

#include "base/report_line.h"
#include "base/run_control.h"
#include "miner/hasher.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

struct KnownAnswer {
    uint8_t header[HEADER_BYTES];
    uint64_t nonce;
    uint8_t hash[HASH_BYTES];
};

// A block header with its nonce and hash, computed with an independent Argon2id.
extern const KnownAnswer SELF_CHECK_ANSWER;

// Hashes the answer's header and nonce in `arena` with `hash` and compares all 32 bytes.
bool passes_self_check(PowHashFn hash, const Arena& arena, const KnownAnswer& answer);

// The same n hashes one at a time and side by side, as a thread's check timed them.
struct IntensityTiming {
    int64_t one_at_a_time_ns = 0;
    int64_t side_by_side_ns = 0;
};
// Nanoseconds of CPU time the calling thread has used. The timed check reads this clock rather
// than the wall clock: on a busy machine the scheduler may run other processes in the middle of
// any pass, and that time must not count against it.
using CpuClockNs = int64_t (*)();
int64_t thread_cpu_ns();

// Rounds of the timed check; the fastest of each kind counts. One pass is a few milliseconds, so
// a single one is at the mercy of any other process the scheduler runs in between.
inline constexpr int32_t INTENSITY_TIMING_ROUNDS = 4;

// The check of a thread that hashes with n arenas (1..MAX_INTENSITY) side by side. The answer's
// header goes into every slot, the answer's nonce into the last and the nonces after it into the
// others. Every slot of the group must equal the same input hashed alone in the same arena, and
// the last one the known answer, so a fault in any slot or arena fails the thread. With
// `timing`, INTENSITY_TIMING_ROUNDS rounds each hash the n inputs one at a time and then side by
// side, every result compared, and the fastest pass of each kind is kept. A first group has
// touched every arena, so no timed pass pays for first use of the memory. A stop seen between
// rounds (with `control`) ends the timing early: what was checked passed, `timing` is untouched.
bool passes_self_check(const Hasher& engine, const Arena* arenas, int32_t n,
                       const KnownAnswer& answer, IntensityTiming* timing = nullptr,
                       CpuClockNs now = thread_cpu_ns, const RunControl* control = nullptr);

// The CPU a failed thread ran on, for its report: the CPU it was pinned to, or, for an unpinned
// thread, the one it was last seen on (-1 when unknown).
struct CheckedCpu {
    int32_t cpu = -1;
    bool pinned = false;
};
// "thread <i> on CPU <c>: wrong hash for the known answer — thread stopped"; an unpinned
// thread reads "thread <i> (unpinned, last on CPU <c>)" or "thread <i> (unpinned)".
std::string self_check_failure_text(int32_t index, CheckedCpu where);
// The red "check" line of a failed thread.
void report_self_check_failure(int32_t index, CheckedCpu where, const ReportSink& report);

// After every thread has been checked: the gray "check" line "known answer matched on <passed>
// of <passed + failed> thread(s)" when at least one thread passed; nothing otherwise.
void report_self_check_outcome(int32_t passed, int32_t failed, const ReportSink& report);
// The red "check" line of a run in which every checked thread failed.
void report_no_thread_passed(const ReportSink& report);

}  // namespace orvo::qel
