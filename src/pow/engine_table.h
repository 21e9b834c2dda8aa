// The hash engines of this program, best first: what each needs of the CPU, how it is set up and
// what it runs. The miner's engine choice, the benchmark and the tests all walk this one table;
// none of them names an engine's functions itself.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "pow/avx512_namespace.h"
#include "pow/engine_internal.h"
#include "pow/engines.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// The instruction sets an engine may need. Each is present on a CPU when the CPU has the
// instructions and the operating system has enabled the register state that they need.
enum class CpuFeature : unsigned { avx2, avx512f, avx512vl, avx512bw };

// A set of instruction sets: what a CPU has, or what an engine needs. One bit per CpuFeature, so
// a new feature is part of every comparison without being named there.
class CpuFeatures {
  public:
    constexpr CpuFeatures() = default;
    constexpr CpuFeatures(std::initializer_list<CpuFeature> features) {
        for (CpuFeature feature : features) set(feature);
    }
    constexpr bool has(CpuFeature feature) const { return (bits_ & bit(feature)) != 0; }
    constexpr void set(CpuFeature feature, bool present = true) {
        bits_ = present ? (bits_ | bit(feature)) : (bits_ & ~bit(feature));
    }
    // True when every feature of `other` is in this set.
    constexpr bool contains(const CpuFeatures& other) const { return (other.bits_ & ~bits_) == 0; }
    friend constexpr bool operator==(const CpuFeatures&, const CpuFeatures&) = default;

  private:
    static constexpr uint32_t bit(CpuFeature feature) {
        return uint32_t{1} << static_cast<unsigned>(feature);
    }
    uint32_t bits_ = 0;
};

// True when the CPU has every instruction set that `needs` asks for.
constexpr bool has_features(const CpuFeatures& cpu, const CpuFeatures& needs) {
    return cpu.contains(needs);
}

inline constexpr CpuFeatures AVX2_FEATURES{CpuFeature::avx2};
inline constexpr CpuFeatures AVX512_FEATURES{CpuFeature::avx512f, CpuFeature::avx512vl,
                                             CpuFeature::avx512bw};

enum class EngineKind { avx512, avx2 };

// How an engine that follows the store mode writes its arena blocks: ordinary stores, or
// non-temporal stores that bypass the caches.
enum class StoreMode { ordinary, non_temporal };

using CompressFn = void (*)(const Block& prev, const Block& ref, Block& out);

struct EngineInfo {
    EngineKind kind;
    const char* name;  // display name, also the text that requests the engine: "avx512", "avx2"
    CpuFeatures needs;
    // Builds the engine's reference table once; false when it could not be allocated, and then
    // the engine must not hash.
    bool (*build_table)();
    // The built table, or null before build_table ran.
    const ReferenceTable* (*table)();
    // The hash to install as pow_hash once the table is built.
    PowHashFn hash;
    // The same hash with up to MAX_INTENSITY hashes in flight.
    PowHashManyFn hash_many;
    // Whether the hash follows the store mode (set_store_mode in pow/store_mode.h).
    bool uses_store_mode;
    // One block compression G(prev, ref) in the engine's arena word order: the compute floor
    // that the benchmark relates the hash to.
    CompressFn compress;
    // The stages of hash_many one at a time.
    HashStageFn stage;
};

inline namespace QEL_AVX512_NAMESPACE {

// Every engine, best first.
std::span<const EngineInfo> engine_table();

// The entry of `kind`.
const EngineInfo& engine_info(EngineKind kind);

// The engine whose name is exactly `name` (case-sensitive); nothing for any other text.
std::optional<EngineKind> engine_named(std::string_view name);

}  // namespace QEL_AVX512_NAMESPACE

}  // namespace orvo::qel
