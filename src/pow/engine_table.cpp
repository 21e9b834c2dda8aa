// Baseline code: the table only names the engines; nothing here runs their instructions.
#include "pow/engine_table.h"

#include "pow/engine_internal.h"
#include "pow/engines.h"
#include "pow/store_mode.h"

// The emulated copy of the AVX-512 sources builds this file too (pow/avx512_namespace.h): its
// table names that copy.
namespace orvo::qel::QEL_AVX512_NAMESPACE {
namespace {

#ifdef MINTRAKEL_AVX512_EMULATED
// The emulated copy of the AVX-512 engine runs on any x86-64 CPU.
constexpr CpuFeatures AVX512_ENGINE_NEEDS{};
#else
constexpr CpuFeatures AVX512_ENGINE_NEEDS = AVX512_FEATURES;
#endif

constexpr EngineInfo ENGINES[] = {
    {EngineKind::avx512, "avx512", AVX512_ENGINE_NEEDS, build_reference_table_avx512,
     reference_table_avx512, pow_hash_avx512_dispatch, pow_hash_many_avx512_dispatch, true,
     compress_block_avx512, pow_stage_avx512_dispatch},
    {EngineKind::avx2, "avx2", AVX2_FEATURES, build_reference_table_avx2, reference_table_avx2,
     pow_hash_avx2, pow_hash_many_avx2, false, compress_block_avx2, pow_stage_avx2},
};

}  // namespace

std::span<const EngineInfo> engine_table() {
    return ENGINES;
}

const EngineInfo& engine_info(EngineKind kind) {
    for (const EngineInfo& engine : ENGINES) {
        if (engine.kind == kind) return engine;
    }
    return ENGINES[0];  // unreachable: every kind has an entry
}

std::optional<EngineKind> engine_named(std::string_view name) {
    for (const EngineInfo& engine : ENGINES) {
        if (name == engine.name) return engine.kind;
    }
    return std::nullopt;
}

}  // namespace orvo::qel::QEL_AVX512_NAMESPACE
