// The hashing threads' 8 MiB arenas: mapping, the memory budget that caps the automatic thread
// count, and the start-up accounting of where the arenas went.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "base/report_line.h"
#include "base/run_control.h"
#include "base/sleep.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

inline constexpr char MEMINFO_PATH[] = "/proc/meminfo";
// Memory left to the rest of the system before any arena is counted (1536 MiB).
inline constexpr int64_t MEMORY_RESERVE_BYTES = 0x60000000;

// Maps ARENA_BYTES, first from reserved huge pages (populated at once, huge = true), else as
// ordinary anonymous memory advised for transparent huge pages (huge = false). Returns false,
// leaving the record untouched, when neither mapping succeeds.
bool map_arena(Arena& arena);
// Releases the mapping if there is one; base is null afterwards in every case.
void unmap_arena(Arena& arena);

// The number after the token `key` (with its colon, e.g. "MemAvailable:") in a meminfo file; 0
// when the file, the key or a readable number is missing.
int64_t read_meminfo_value(const std::string& key, const std::string& meminfo = MEMINFO_PATH);
// The three meminfo values the memory budget needs, 0 when missing.
struct MemInfo {
    int64_t available_kib = 0;    // MemAvailable
    int64_t huge_free_pages = 0;  // HugePages_Free
    int64_t huge_page_kib = 0;    // Hugepagesize
};
MemInfo read_meminfo(const std::string& meminfo = MEMINFO_PATH);
// Arenas that fit MemAvailable plus the free reserved huge pages after the reserve; at least 0.
int32_t memory_thread_limit(const MemInfo& info);
int32_t memory_thread_limit(const std::string& meminfo = MEMINFO_PATH);
// Arenas that the free reserved huge pages alone can hold.
int32_t huge_page_arenas(const MemInfo& info);

// Where the hashing threads' arenas went. Each thread increments at most one of ready_count
// (mapped and self-checked, its intensity known: it hashes), failed_count (no arena) and
// check_failed_count (its self-check failed). A thread that passed its self-check counts itself
// in checked_count first, then waits for the run's intensity before it is ready. arena_count
// and huge_count count the arenas a ready thread hashes in, and of those the ones in reserved
// huge pages. Nothing is ever decremented.
struct ArenaCounters {
    std::atomic<int32_t> ready_count{0};
    std::atomic<int32_t> huge_count{0};
    std::atomic<int32_t> failed_count{0};
    std::atomic<int32_t> check_failed_count{0};
    std::atomic<int32_t> checked_count{0};
    std::atomic<int32_t> arena_count{0};
};

// Sleeps for the duration; empty means the run control's sleep, which a stop ends early.
using SleepFn = std::function<void(std::chrono::nanoseconds)>;

// Returns once every one of `threads` threads is ready (or, with `passed` = checked_count, has
// passed its self-check) or has given up (no arena, failed self-check), or once a stop is
// requested; polls every 100 ms. `sleep` should end early at a stop (the default does).
void wait_for_arenas(const ArenaCounters& counters, int32_t threads, const RunControl& control,
                     const SleepFn& sleep = {},
                     std::atomic<int32_t> ArenaCounters::*passed = &ArenaCounters::ready_count);

// "<n> thread(s) stopped: not enough memory for an 8 MiB arena"
std::string arena_failure_text(int32_t failed);
// "<huge> arena(s) in reserved huge pages, <arenas - huge> in transparent huge pages"
std::string arena_pages_text(int32_t arenas, int32_t huge);
// The red "mem  " line when a thread stopped, then always the gray "pages" line.
void report_arenas(const ArenaCounters& counters, const ReportSink& report);

}  // namespace orvo::qel
