// Which engines of the engine table this test program tests, and whether they run on this CPU.
#pragma once

#include <ostream>
#include <vector>

#include "miner/engine.h"
#include "pow/engine_table.h"

namespace orvo::qel {

// Test parameters print as the engine's name.
inline void PrintTo(const EngineInfo& engine, std::ostream* os) {
    *os << engine.name;
}

namespace test_support {

#ifdef MINTRAKEL_AVX512_EMULATED
inline constexpr bool AVX512_EMULATED = true;
#else
inline constexpr bool AVX512_EMULATED = false;
#endif

// The CPU's features, by the miner's own test.
inline const CpuFeatures& this_cpu() {
    static const CpuFeatures features = detect_cpu_features();
    return features;
}

// Every engine of the table; in the program built on the emulated AVX-512 copy, only that copy
// (its other engines are the ordinary program's).
inline std::vector<EngineInfo> engines_under_test() {
    std::vector<EngineInfo> engines;
    for (const EngineInfo& engine : engine_table()) {
        if (!AVX512_EMULATED || engine.kind == EngineKind::avx512) engines.push_back(engine);
    }
    return engines;
}

// The emulated copy runs anywhere, but is tested only where the real instructions are missing:
// elsewhere the real code is tested instead, in a fraction of the time.
inline bool runs_here(const EngineInfo& engine) {
    if (AVX512_EMULATED && engine.kind == EngineKind::avx512 &&
        has_features(this_cpu(), AVX512_FEATURES)) {
        return false;
    }
    return has_features(this_cpu(), engine.needs);
}

inline const char* why_not_here(const EngineInfo& engine) {
    return AVX512_EMULATED && has_features(this_cpu(), engine.needs)
               ? "this CPU has AVX-512: the real code is tested instead"
               : "this CPU lacks the engine's instruction set";
}

}  // namespace test_support
}  // namespace orvo::qel
