#include "miner/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>

namespace orvo::qel {

namespace {

constexpr std::chrono::nanoseconds ARENA_POLL_INTERVAL = std::chrono::milliseconds(100);
// Transparent huge pages back only 2 MiB-aligned stretches; an unaligned 8 MiB mapping gets
// three of them instead of four, and the hash runs ~15% slower on the 4 KiB-page part.
constexpr size_t THP_ALIGNMENT = 2 * 1024 * 1024;

// Anonymous memory whose start is 2 MiB-aligned: maps a little more, then returns the slop on
// both sides to the system. Null when the mapping fails.
void* map_aligned_anonymous() {
    const size_t length = ARENA_BYTES + THP_ALIGNMENT;
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + THP_ALIGNMENT - 1) & ~(uintptr_t{THP_ALIGNMENT} - 1);
    const size_t head = aligned - start;
    const size_t tail = length - head - ARENA_BYTES;
    if (head > 0) munmap(p, head);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + ARENA_BYTES), tail);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

bool map_arena(Arena& arena) {
    // Reserved huge pages, populated now so hashing never takes a fault on them.
    void* p = mmap(nullptr, ARENA_BYTES, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE | MAP_HUGETLB, -1, 0);
    if (p != MAP_FAILED) {
        arena.base = p;
        arena.huge = true;
        return true;
    }
    p = map_aligned_anonymous();
    if (p == nullptr) return false;
    // Advice only: kernels without transparent huge pages refuse it and the arena still works.
    (void)madvise(p, ARENA_BYTES, MADV_HUGEPAGE);
    arena.base = p;
    arena.huge = false;
    return true;
}

void unmap_arena(Arena& arena) {
    if (arena.base != nullptr) munmap(arena.base, ARENA_BYTES);
    arena.base = nullptr;
}

int64_t read_meminfo_value(const std::string& key, const std::string& meminfo) {
    std::ifstream in(meminfo);
    std::string token;
    int64_t value = 0;
    while (in >> token >> value) {
        if (token == key) return value;
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0;
}

MemInfo read_meminfo(const std::string& meminfo) {
    return {read_meminfo_value("MemAvailable:", meminfo),
            read_meminfo_value("HugePages_Free:", meminfo),
            read_meminfo_value("Hugepagesize:", meminfo)};
}

int32_t memory_thread_limit(const std::string& meminfo) {
    return memory_thread_limit(read_meminfo(meminfo));
}

int32_t huge_page_arenas(const MemInfo& info) {
    int64_t huge_kib = 0;
    if (info.huge_free_pages <= 0 || info.huge_page_kib <= 0 ||
        __builtin_mul_overflow(info.huge_free_pages, info.huge_page_kib, &huge_kib)) {
        return 0;
    }
    const int64_t arenas = huge_kib / (static_cast<int64_t>(ARENA_BYTES) / 1024);
    return static_cast<int32_t>(std::min<int64_t>(arenas, std::numeric_limits<int32_t>::max()));
}

int32_t memory_thread_limit(const MemInfo& info) {
    const int64_t available_kib = info.available_kib;
    const int64_t free_pages = info.huge_free_pages;
    const int64_t page_kib = info.huge_page_kib;

    // A damaged file must not overflow the arithmetic: treat overflow as "plenty".
    int64_t kib = 0;
    int64_t huge_kib = 0;
    int64_t bytes = 0;
    if (__builtin_mul_overflow(free_pages, page_kib, &huge_kib) ||
        __builtin_add_overflow(available_kib, huge_kib, &kib) ||
        __builtin_mul_overflow(kib, int64_t{1024}, &bytes)) {
        return std::numeric_limits<int32_t>::max();
    }
    if (bytes < MEMORY_RESERVE_BYTES + static_cast<int64_t>(ARENA_BYTES)) return 0;
    int64_t limit = (bytes - MEMORY_RESERVE_BYTES) / static_cast<int64_t>(ARENA_BYTES);
    if (limit > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(limit);
}

void wait_for_arenas(const ArenaCounters& counters, int32_t threads, const RunControl& control,
                     const SleepFn& sleep, std::atomic<int32_t> ArenaCounters::*passed) {
    for (;;) {
        int64_t settled = static_cast<int64_t>((counters.*passed).load()) +
                          counters.failed_count.load() + counters.check_failed_count.load();
        if (settled >= threads || control.stop_requested()) return;
        if (sleep) {
            sleep(ARENA_POLL_INTERVAL);
        } else {
            control.sleep_unless_stopped(ARENA_POLL_INTERVAL);
        }
    }
}

std::string arena_failure_text(int32_t failed) {
    return std::to_string(failed) + " thread(s) stopped: not enough memory for an 8 MiB arena";
}

std::string arena_pages_text(int32_t arenas, int32_t huge) {
    return std::to_string(huge) + " arena(s) in reserved huge pages, " +
           std::to_string(arenas - huge) + " in transparent huge pages";
}

void report_arenas(const ArenaCounters& counters, const ReportSink& report) {
    int32_t failed = counters.failed_count.load();
    if (failed > 0) report({LineColour::red, "mem  ", arena_failure_text(failed)});
    int32_t arenas = counters.arena_count.load();
    // A report cut short by a stop can see a thread between its increments; a huge arena is
    // always also a counted one, so the second number is never negative.
    int32_t huge = std::min(counters.huge_count.load(), arenas);
    report({LineColour::gray, "pages", arena_pages_text(arenas, huge)});
}

}  // namespace orvo::qel
