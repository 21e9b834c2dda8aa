// Single-thread hash speed, side by side: libsodium's Argon2id with the coin's parameters, every
// engine of the engine table that this CPU runs (in both store modes where the engine has them)
// with 1 to MAX_INTENSITY hashes in flight, each stage of those hashes timed alone, and one block
// compression of each engine on cached data (the compute floor). After the run, two tables relate
// them: the whole hash, and where its time goes.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "miner/arena.h"
#include "miner/engine.h"
#include "pow/engine_internal.h"
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

// N arenas, N headers (one shared) and N consecutive nonces, as a hashing thread carries them.
struct Slots {
    explicit Slots(int32_t n) : count(n) {
        fill_header(header);
        for (int32_t i = 0; i < n; ++i) {
            if (memory[i].arena.base == nullptr) return;
            arenas[i] = memory[i].arena;
            headers[i] = header;
        }
        ready = true;
    }
    void next_nonces() {
        for (int32_t i = 0; i < count; ++i) nonces[i] = next_nonce++;
    }
    int32_t count;
    bool ready = false;
    ArenaMemory memory[MAX_INTENSITY];
    Arena arenas[MAX_INTENSITY];
    uint8_t header[HEADER_BYTES];
    const uint8_t* headers[MAX_INTENSITY] = {};
    uint64_t nonces[MAX_INTENSITY] = {};
    uint8_t outs[MAX_INTENSITY][HASH_BYTES];
    uint64_t next_nonce = 0;
};

// Sets up the engine and its store mode for one benchmark; false (and the run skipped) when the
// table or the arenas cannot be had.
bool prepare(benchmark::State& state, const EngineInfo& engine, bool non_temporal,
             const Slots& slots) {
    if (!engine.build_table()) {
        state.SkipWithError("no memory for the reference table");
        return false;
    }
    if (!slots.ready) {
        state.SkipWithError("no memory for the arenas");
        return false;
    }
    set_store_mode(non_temporal);
    return true;
}

// The whole hash with n in flight; one iteration is n hashes.
void BM_engine(benchmark::State& state, const EngineInfo& engine, bool non_temporal, int32_t n) {
    Slots slots(n);
    if (!prepare(state, engine, non_temporal, slots)) return;
    slots.next_nonces();
    engine.hash_many(slots.arenas, slots.headers, slots.nonces, slots.outs, n);  // warm up
    for (auto _ : state) {
        slots.next_nonces();
        engine.hash_many(slots.arenas, slots.headers, slots.nonces, slots.outs, n);
        benchmark::DoNotOptimize(slots.outs);
    }
    set_store_mode(false);
}

constexpr HashStage STAGES[] = {HashStage::seed, HashStage::data_independent,
                                HashStage::data_dependent, HashStage::tag};
constexpr const char* STAGE_COUNTERS[] = {"seed_ns", "independent_ns", "dependent_ns", "tag_ns"};
// Cached compressions each stage holds: none in the seed and the tag.
constexpr double STAGE_COMPRESSIONS[] = {0, DATA_INDEPENDENT_BLOCKS - 2,
                                         ARENA_BLOCKS - DATA_INDEPENDENT_BLOCKS, 0};

// The thread's CPU time in nanoseconds: what a stage costs however the machine's other load
// interrupts it.
double thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// The whole hash with n in flight, run stage by stage and each stage timed alone. The counters
// are each stage's median per hash over the iterations, which leaves out the odd stage that
// another process's cache traffic slowed down.
void BM_stages(benchmark::State& state, const EngineInfo& engine, bool non_temporal, int32_t n) {
    Slots slots(n);
    if (!prepare(state, engine, non_temporal, slots)) return;
    std::vector<double> ns[std::size(STAGES)];
    for (auto _ : state) {
        slots.next_nonces();
        for (size_t s = 0; s < std::size(STAGES); ++s) {
            const double start = thread_cpu_ns();
            engine.stage(STAGES[s], slots.arenas, slots.headers, slots.nonces, slots.outs, n);
            ns[s].push_back((thread_cpu_ns() - start) / n);
        }
        benchmark::DoNotOptimize(slots.outs);
    }
    for (size_t s = 0; s < std::size(STAGES); ++s) {
        std::vector<double>& v = ns[s];
        if (v.empty()) continue;
        std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
        state.counters[STAGE_COUNTERS[s]] = v[v.size() / 2];
    }
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

// The machine's memory latency as a hash meets it: one dependent load after another over every
// line of an arena, in one random cycle (no two consecutive lines near each other, so neither
// the hardware prefetchers nor the page walker help). One iteration is WALK_LOADS loads.
constexpr size_t WALK_LINES = ARENA_BYTES / 64;
constexpr double WALK_LOADS = 1 << 16;

void BM_arena_walk(benchmark::State& state) {
    ArenaMemory memory;
    if (memory.arena.base == nullptr) {
        state.SkipWithError("no memory for the arena");
        return;
    }
    // Sattolo's shuffle gives a single cycle through all lines; each line's first word is the
    // word offset of the next line.
    std::vector<uint32_t> order(WALK_LINES);
    for (size_t i = 0; i < WALK_LINES; ++i) order[i] = static_cast<uint32_t>(i);
    std::mt19937_64 rng(29);
    for (size_t i = WALK_LINES - 1; i > 0; --i) std::swap(order[i], order[rng() % i]);
    uint64_t* const words = static_cast<uint64_t*>(memory.arena.base);
    for (size_t i = 0; i < WALK_LINES; ++i) words[8 * order[i]] = 8 * order[(i + 1) % WALK_LINES];
    uint64_t at = 0;
    for (auto _ : state) {
        for (int k = 0; k < static_cast<int>(WALK_LOADS); ++k) at = words[at];
    }
    benchmark::DoNotOptimize(at);
}

// "avx512/stores", "avx512/nt", "avx2": the engine and, where it has them, its store mode.
std::string engine_label(const EngineInfo& engine, bool non_temporal) {
    std::string name = engine.name;
    if (engine.uses_store_mode) name += non_temporal ? "/nt" : "/stores";
    return name;
}

std::string hash_run_name(const EngineInfo& engine, bool non_temporal, int32_t n) {
    return "BM_" + engine_label(engine, non_temporal) + "/" + std::to_string(n);
}

std::string stages_run_name(const EngineInfo& engine, bool non_temporal, int32_t n) {
    return "BM_stages_" + engine_label(engine, non_temporal) + "/" + std::to_string(n);
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

// Every engine with each of its store modes.
template <typename F>
void for_each_variant(const std::vector<EngineInfo>& engines, F f) {
    for (const EngineInfo& engine : engines) {
        for (bool non_temporal : {false, true}) {
            if (non_temporal && !engine.uses_store_mode) continue;
            f(engine, non_temporal);
        }
    }
}

void register_benchmarks(const std::vector<EngineInfo>& engines) {
    benchmark::RegisterBenchmark("BM_libsodium", BM_libsodium)->Unit(benchmark::kMillisecond);
    for_each_variant(engines, [](const EngineInfo& engine, bool non_temporal) {
        for (int32_t n = 1; n <= MAX_INTENSITY; ++n) {
            benchmark::RegisterBenchmark(hash_run_name(engine, non_temporal, n).c_str(), BM_engine,
                                         engine, non_temporal, n)
                ->Unit(benchmark::kMillisecond);
        }
    });
    for_each_variant(engines, [](const EngineInfo& engine, bool non_temporal) {
        for (int32_t n = 1; n <= MAX_INTENSITY; ++n) {
            benchmark::RegisterBenchmark(stages_run_name(engine, non_temporal, n).c_str(),
                                         BM_stages, engine, non_temporal, n)
                ->Unit(benchmark::kMillisecond);
        }
    });
    for (const EngineInfo& engine : engines) {
        benchmark::RegisterBenchmark(compress_run_name(engine).c_str(), run_compress,
                                     engine.compress);
    }
    benchmark::RegisterBenchmark("BM_arena_walk", BM_arena_walk)->Unit(benchmark::kMillisecond);
}

// Prints as usual and remembers, for every run that completed, the CPU seconds per iteration
// (CPU time rather than wall time, so that other load on the machine distorts the ratios less)
// and its counters. With several repetitions the smallest value of each counts.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            // Single runs, or the median when only aggregates of repetitions are reported.
            const bool usable =
                run.run_type == Run::RT_Iteration ||
                (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median");
            if (run.error_occurred || run.iterations == 0 || !usable) continue;
            const std::string name = run.run_name.str();
            keep_min(name, run.cpu_accumulated_time / static_cast<double>(run.iterations));
            for (const auto& [counter, value] : run.counters) keep_min(name + ":" + counter, value);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> values;

  private:
    void keep_min(const std::string& key, double v) {
        const auto [it, fresh] = values.emplace(key, v);
        if (!fresh && v < it->second) it->second = v;
    }
};

double find(const std::map<std::string, double>& m, const std::string& name) {
    const auto it = m.find(name);
    return it == m.end() ? 0.0 : it->second;
}

// "%.3f" of a / b, or "-" when either is missing.
std::string ratio(double a, double b) {
    if (a <= 0 || b <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", a / b);
    return text;
}

// Where each half stands between its two bounds, per block of one hash: the compute floor is one
// cached compression G; the memory bound of a block that waited for its whole reference load,
// with none of it overlapped, is G + L. "exposed" is (block - G) / L: 0 at the floor, 1 when
// every block pays a whole load.
void print_memory(const std::vector<EngineInfo>& engines, const std::map<std::string, double>& v) {
    const double load = find(v, "BM_arena_walk") * 1e9 / WALK_LOADS;
    if (load <= 0) return;
    std::printf(
        "\nMemory: a dependent load over a random walk of one arena takes L = %.1f ns.\n"
        "Per block (ns): the floor G, what each half takes, and the part of L it waits, "
        "(block - G) / L;\nG + L is a block that waits for its whole reference load.\n"
        "%-14s %2s %8s %8s %20s %20s\n",
        load, "engine", "N", "G", "G + L", "2-4095 (exposed)", "4096-8191 (exposed)");
    for_each_variant(engines, [&](const EngineInfo& engine, bool non_temporal) {
        const double g = find(v, compress_run_name(engine)) * 1e9;
        if (g <= 0) return;
        for (int32_t n = 1; n <= MAX_INTENSITY; ++n) {
            const std::string run = stages_run_name(engine, non_temporal, n);
            std::string cells[2];
            bool measured = false;
            for (size_t half = 0; half < 2; ++half) {
                const double ns = find(v, run + ":" + STAGE_COUNTERS[half + 1]);
                const double per_block = ns / STAGE_COMPRESSIONS[half + 1];
                char text[48];
                std::snprintf(text, sizeof text, "%.1f (%.2f)", per_block, (per_block - g) / load);
                cells[half] = ns > 0 ? text : "-";
                measured = measured || ns > 0;
            }
            if (!measured) continue;
            std::printf("%-14s %2d %8.1f %8.1f %20s %20s\n",
                        engine_label(engine, non_temporal).c_str(), n, g, g + load,
                        cells[0].c_str(), cells[1].c_str());
        }
    });
}

void print_ratios(const std::vector<EngineInfo>& engines, const std::map<std::string, double>& v) {
    const double sodium = find(v, "BM_libsodium");
    std::printf(
        "\nWhole hash, per hash with N in flight; the floor is 8190 compressions on cached "
        "data.\n%-14s %2s %12s %12s %14s\n",
        "engine", "N", "hashes/s", "x libsodium", "hash / 8190 G");
    if (sodium > 0)
        std::printf("%-14s %2s %12.1f %12s %14s\n", "libsodium", "", 1.0 / sodium, "1.000", "-");
    for_each_variant(engines, [&](const EngineInfo& engine, bool non_temporal) {
        const double floor = find(v, compress_run_name(engine)) * FILL_COMPRESSIONS;
        for (int32_t n = 1; n <= MAX_INTENSITY; ++n) {
            const double hash = find(v, hash_run_name(engine, non_temporal, n)) / n;
            if (hash <= 0) continue;
            std::printf("%-14s %2d %12.1f %12s %14s\n", engine_label(engine, non_temporal).c_str(),
                        n, 1.0 / hash, ratio(sodium, hash).c_str(), ratio(hash, floor).c_str());
        }
    });

    std::printf(
        "\nStages of a hash, per hash with N in flight (median ns; x G: per cached "
        "compression\nof the stage, or in compressions for the seed and the tag)\n"
        "%-14s %2s %16s %20s %20s %16s %10s\n",
        "engine", "N", "seed ns (G)", "blocks 2-4095 (xG)", "4096-8191 (xG)", "tag ns (G)",
        "sum/whole");
    for_each_variant(engines, [&](const EngineInfo& engine, bool non_temporal) {
        const double g = find(v, compress_run_name(engine)) * 1e9;
        for (int32_t n = 1; n <= MAX_INTENSITY; ++n) {
            const std::string run = stages_run_name(engine, non_temporal, n);
            double sum = 0;
            std::string cells[std::size(STAGES)];
            for (size_t s = 0; s < std::size(STAGES); ++s) {
                const double ns = find(v, run + ":" + STAGE_COUNTERS[s]);
                sum += ns;
                const double per = STAGE_COMPRESSIONS[s] > 0 ? STAGE_COMPRESSIONS[s] * g : g;
                char text[48];
                std::snprintf(text, sizeof text, "%.0f (%s)", ns, ratio(ns, per).c_str());
                cells[s] = text;
            }
            if (sum <= 0) continue;
            const double whole = find(v, hash_run_name(engine, non_temporal, n)) * 1e9 / n;
            std::printf("%-14s %2d %16s %20s %20s %16s %10s\n",
                        engine_label(engine, non_temporal).c_str(), n, cells[0].c_str(),
                        cells[1].c_str(), cells[2].c_str(), cells[3].c_str(),
                        ratio(sum, whole).c_str());
        }
    });
    print_memory(engines, v);
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
    orvo::qel::print_ratios(engines, reporter.values);
    benchmark::Shutdown();
    return 0;
}
