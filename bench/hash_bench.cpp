// Single-thread hash speed, side by side: libsodium's Argon2id with the coin's parameters, every
// engine of the engine table that this CPU runs (in both store modes where the engine has them),
// and one block compression of each engine on cached data (the compute floor). After the run, a
// table relates them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "miner/arena.h"
#include "miner/engine.h"
#include "pow/engine_table.h"
#include "pow/pow_hash.h"
#include "pow/store_mode.h"

#ifdef MINTRAKEL_HAVE_SODIUM
#include <sodium.h>
#endif

namespace orvo::qel {
namespace {

constexpr double FILL_COMPRESSIONS = ARENA_BLOCKS - 2;  // 8190

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

void BM_engine(benchmark::State& state, const EngineInfo& engine, bool non_temporal) {
    if (!engine.build_table()) {
        state.SkipWithError("no memory for the reference table");
        return;
    }
    set_store_mode(non_temporal);
    run_engine(state, engine.hash);
    set_store_mode(false);
}

// One compression per iteration, each on the previous output, as in the fill loop, with every
// operand in L1.
void run_compress(benchmark::State& state, void (*compress)(const Block&, const Block&, Block&)) {
    static Block blocks[3];
    for (uint64_t b = 0; b < 3; ++b)
        for (uint64_t i = 0; i < 128; ++i)
            blocks[b].v[i] = 0x9e3779b97f4a7c15ULL * (b * 128 + i + 1);
    int cur = 0;
    for (auto _ : state) {
        compress(blocks[cur], blocks[2], blocks[cur ^ 1]);
        cur ^= 1;
    }
    benchmark::DoNotOptimize(blocks);
}

std::string hash_run_name(const EngineInfo& engine, bool non_temporal) {
    std::string name = std::string("BM_") + engine.name;
    if (engine.uses_store_mode) name += non_temporal ? "/nt" : "/stores";
    return name;
}

std::string compress_run_name(const EngineInfo& engine) {
    return std::string("BM_compress_") + engine.name;
}

// The engines that this CPU runs, by the miner's own feature test.
std::vector<EngineInfo> engines_here() {
    const CpuFeatures cpu = detect_cpu_features();
    std::vector<EngineInfo> engines;
    for (const EngineInfo& engine : engine_table()) {
        if (has_features(cpu, engine.needs)) engines.push_back(engine);
    }
    return engines;
}

void register_benchmarks(const std::vector<EngineInfo>& engines) {
    benchmark::RegisterBenchmark("BM_libsodium", BM_libsodium)->Unit(benchmark::kMillisecond);
    for (const EngineInfo& engine : engines) {
        for (bool non_temporal : {false, true}) {
            if (non_temporal && !engine.uses_store_mode) continue;
            benchmark::RegisterBenchmark(hash_run_name(engine, non_temporal).c_str(), BM_engine,
                                         engine, non_temporal)
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const EngineInfo& engine : engines) {
        benchmark::RegisterBenchmark(compress_run_name(engine).c_str(), run_compress,
                                     engine.compress);
    }
}

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

void print_ratios(const std::vector<EngineInfo>& engines,
                  const std::map<std::string, double>& seconds) {
    const double sodium = find(seconds, "BM_libsodium");
    std::printf("\n%-10s %12s %14s %18s\n", "engine", "hashes/s", "x libsodium", "hash / 8190 G");
    if (sodium > 0) std::printf("%-10s %12.1f %14s %18s\n", "libsodium", 1.0 / sodium, "1.00", "-");
    for (const EngineInfo& engine : engine_table()) {
        const bool here = std::any_of(engines.begin(), engines.end(),
                                      [&](const EngineInfo& e) { return e.kind == engine.kind; });
        for (bool non_temporal : {false, true}) {
            if (non_temporal && !engine.uses_store_mode) continue;
            const std::string label = std::string(engine.name) + (non_temporal ? " nt" : "");
            const double hash = here ? find(seconds, hash_run_name(engine, non_temporal)) : 0.0;
            if (hash <= 0) {
                std::printf("%-10s %12s\n", label.c_str(), "skipped");
                continue;
            }
            const double floor = find(seconds, compress_run_name(engine)) * FILL_COMPRESSIONS;
            char vs_sodium[32] = "-";
            char vs_floor[32] = "-";
            if (sodium > 0) std::snprintf(vs_sodium, sizeof vs_sodium, "%.2f", sodium / hash);
            if (floor > 0) std::snprintf(vs_floor, sizeof vs_floor, "%.3f", hash / floor);
            std::printf("%-10s %12.1f %14s %18s\n", label.c_str(), 1.0 / hash, vs_sodium, vs_floor);
        }
    }
}

}  // namespace
}  // namespace orvo::qel

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const std::vector<orvo::qel::EngineInfo> engines = orvo::qel::engines_here();
    orvo::qel::register_benchmarks(engines);
    orvo::qel::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    orvo::qel::print_ratios(engines, reporter.seconds);
    benchmark::Shutdown();
    return 0;
}
