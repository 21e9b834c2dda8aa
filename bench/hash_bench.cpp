// Single-thread hash speed, side by side: libsodium's Argon2id with the coin's parameters, the
// AVX2 engine, the AVX-512 engine in both store modes, and one block compression of each engine
// on cached data (the compute floor). After the run, a table relates them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "miner/arena.h"
#include "pow/engine_internal.h"
#include "pow/engines.h"
#include "pow/pow_hash.h"
#include "pow/store_mode.h"

#ifdef MINTRAKEL_HAVE_SODIUM
#include <sodium.h>
#endif

namespace orvo::qel {
namespace {

constexpr double FILL_COMPRESSIONS = ARENA_BLOCKS - 2;  // 8190

bool cpu_has_avx2() {
    return __builtin_cpu_supports("avx2");
}
bool cpu_has_avx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512bw");
}

// The arena as the hashing threads get it: reserved or transparent huge pages when available.
struct ArenaMemory {
    ArenaMemory() {
        if (!map_arena(arena)) return;
        std::memset(arena.base, 0, ARENA_BYTES);  // fault every page in before timing
    }
    ~ArenaMemory() { unmap_arena(arena); }
    Arena arena;
};

void fill_header(uint8_t* header) {
    for (size_t i = 0; i < HEADER_BYTES; ++i) header[i] = static_cast<uint8_t>(i * 29 + 3);
}

void BM_libsodium(benchmark::State& state) {
#ifdef MINTRAKEL_HAVE_SODIUM
    if (sodium_init() < 0) {
        state.SkipWithError("sodium_init failed");
        return;
    }
    uint8_t password[HEADER_BYTES + 8];
    fill_header(password);
    uint64_t nonce = 0;
    uint8_t out[HASH_BYTES];
    for (auto _ : state) {
        std::memcpy(password + HEADER_BYTES, &nonce, 8);
        ++nonce;
        if (crypto_pwhash(out, sizeof out, reinterpret_cast<const char*>(password), sizeof password,
                          reinterpret_cast<const uint8_t*>(POW_SALT), 1, ARENA_BYTES,
                          crypto_pwhash_ALG_ARGON2ID13) != 0) {
            state.SkipWithError("crypto_pwhash failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
#else
    state.SkipWithError("libsodium not available");
#endif
}

void run_engine(benchmark::State& state, PowHashFn hash) {
    ArenaMemory memory;
    if (memory.arena.base == nullptr) {
        state.SkipWithError("no memory for the arena");
        return;
    }
    uint8_t header[HEADER_BYTES];
    fill_header(header);
    uint8_t out[HASH_BYTES];
    uint64_t nonce = 0;
    hash(memory.arena, header, nonce++, out);  // warm the arena and the table
    for (auto _ : state) {
        hash(memory.arena, header, nonce++, out);
        benchmark::DoNotOptimize(out);
    }
}

void BM_avx2(benchmark::State& state) {
    if (!cpu_has_avx2() || !build_reference_table_avx2()) {
        state.SkipWithError("no AVX2");
        return;
    }
    run_engine(state, pow_hash_avx2);
}

void BM_avx512(benchmark::State& state, bool non_temporal) {
    if (!cpu_has_avx512() || !build_reference_table_avx512()) {
        state.SkipWithError("no AVX-512");
        return;
    }
    set_store_mode(non_temporal);
    run_engine(state, pow_hash_avx512_dispatch);
    set_store_mode(false);
}

// One compression per iteration, each on the previous output, as in the fill loop, with every
// operand in L1.
void run_compress(benchmark::State& state, void (*compress)(const Block&, const Block&, Block&)) {
    static Block blocks[3];
    for (int b = 0; b < 3; ++b)
        for (int i = 0; i < 128; ++i) blocks[b].v[i] = 0x9e3779b97f4a7c15ULL * (b * 128 + i + 1);
    int cur = 0;
    for (auto _ : state) {
        compress(blocks[cur], blocks[2], blocks[cur ^ 1]);
        cur ^= 1;
    }
    benchmark::DoNotOptimize(blocks);
}

void BM_compress_avx2(benchmark::State& state) {
    if (!cpu_has_avx2()) {
        state.SkipWithError("no AVX2");
        return;
    }
    run_compress(state, compress_block_avx2);
}

void BM_compress_avx512(benchmark::State& state) {
    if (!cpu_has_avx512()) {
        state.SkipWithError("no AVX-512");
        return;
    }
    run_compress(state, compress_block_avx512);
}

BENCHMARK(BM_libsodium)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_avx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_avx512, stores, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_avx512, nt, true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compress_avx2);
BENCHMARK(BM_compress_avx512);

// Prints as usual and remembers the CPU seconds per iteration of every run that completed (CPU
// time rather than wall time, so that other load on the machine distorts the ratios less).
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            // Single runs, or the median when only aggregates of repetitions are reported.
            const bool usable =
                run.run_type == Run::RT_Iteration ||
                (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median");
            if (run.error_occurred || run.iterations == 0 || !usable) continue;
            // With several repetitions the fastest one counts.
            const double t = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            const auto [it, fresh] = seconds.emplace(run.run_name.str(), t);
            if (!fresh && t < it->second) it->second = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

double find(const std::map<std::string, double>& m, const std::string& name) {
    const auto it = m.find(name);
    return it == m.end() ? 0.0 : it->second;
}

void print_ratios(const std::map<std::string, double>& seconds) {
    struct Row {
        const char* label;
        const char* hash;
        const char* compress;
    };
    const Row rows[] = {
        {"avx2", "BM_avx2", "BM_compress_avx2"},
        {"avx512", "BM_avx512/stores", "BM_compress_avx512"},
        {"avx512 nt", "BM_avx512/nt", "BM_compress_avx512"},
    };
    const double sodium = find(seconds, "BM_libsodium");
    std::printf("\n%-10s %12s %14s %18s\n", "engine", "hashes/s", "x libsodium", "hash / 8190 G");
    if (sodium > 0) std::printf("%-10s %12.1f %14s %18s\n", "libsodium", 1.0 / sodium, "1.00", "-");
    for (const Row& r : rows) {
        const double hash = find(seconds, r.hash);
        if (hash <= 0) {
            std::printf("%-10s %12s\n", r.label, "skipped");
            continue;
        }
        const double floor = find(seconds, r.compress) * FILL_COMPRESSIONS;
        char vs_sodium[32] = "-";
        char vs_floor[32] = "-";
        if (sodium > 0) std::snprintf(vs_sodium, sizeof vs_sodium, "%.2f", sodium / hash);
        if (floor > 0) std::snprintf(vs_floor, sizeof vs_floor, "%.3f", hash / floor);
        std::printf("%-10s %12.1f %14s %18s\n", r.label, 1.0 / hash, vs_sodium, vs_floor);
    }
}

}  // namespace
}  // namespace orvo::qel

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    orvo::qel::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    orvo::qel::print_ratios(reporter.seconds);
    benchmark::Shutdown();
    return 0;
}
