// What the arena's page size is worth: the installed hash over an arena in reserved huge pages,
// in memory advised for transparent huge pages, and in 4 KiB pages only. The reserved case runs
// only when the machine has free huge pages (e.g. `echo 8 > /proc/sys/vm/nr_hugepages`).
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstdint>

#include "miner/arena.h"
#include "miner/engine.h"

namespace orvo::qel {
namespace {

enum class Pages { reserved, transparent, small };

PowHashFn best_hash() {
    static PowHashFn hash = [] {
        EngineChoice choice = choose_engine(detect_cpu_features(), std::nullopt);
        return choice.engine ? install_engine(*choice.engine, StoreMode::ordinary) : nullptr;
    }();
    return hash;
}

void BM_hash_by_arena_pages(benchmark::State& state, Pages pages) {
    PowHashFn hash = best_hash();
    if (hash == nullptr) {
        state.SkipWithError("no engine for this CPU");
        return;
    }
    Arena arena;
    if (pages == Pages::reserved) {
        if (!map_arena(arena) || !arena.huge) {
            unmap_arena(arena);
            state.SkipWithError("no free reserved huge pages");
            return;
        }
    } else {
        void* p =
            mmap(nullptr, ARENA_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            return;
        }
        madvise(p, ARENA_BYTES, pages == Pages::transparent ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
        arena.base = p;
    }
    uint8_t header[HEADER_BYTES] = {};
    uint8_t out[HASH_BYTES];
    uint64_t nonce = 0;
    hash(arena, header, nonce++, out);  // first touch of the fallback arenas
    for (auto _ : state) {
        hash(arena, header, nonce++, out);
        benchmark::DoNotOptimize(out);
    }
    state.counters["H/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    unmap_arena(arena);
}

BENCHMARK_CAPTURE(BM_hash_by_arena_pages, reserved, Pages::reserved)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_hash_by_arena_pages, transparent, Pages::transparent)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_hash_by_arena_pages, small, Pages::small)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvo::qel
