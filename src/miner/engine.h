// CPU features and the choice and installation of the hash engine.
#pragma once

#include <optional>
#include <string>

#include "pow/engine_table.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// Raw CPUID/XGETBV readings, so the feature test can be checked on inputs no real CPU has.
struct CpuidReadings {
    unsigned max_basic_leaf = 0;  // leaf 0 EAX
    unsigned leaf1_ecx = 0;
    unsigned leaf7_ebx = 0;       // leaf 7 sub-leaf 0 (0 when max_basic_leaf < 7)
    unsigned long long xcr0 = 0;  // XGETBV(0), 0 when OSXSAVE is clear
};

CpuidReadings read_cpuid();
CpuFeatures features_from_cpuid(const CpuidReadings& readings);
CpuFeatures detect_cpu_features();

const char* engine_display_name(EngineKind kind);  // "avx512" / "avx2"

// The engine for a request (an engine, or nothing for the best engine that the CPU runs), or the
// refusal text. The engines and what they need come from the engine table.
struct EngineChoice {
    std::optional<EngineKind> engine;
    std::string error;
};
EngineChoice choose_engine(const CpuFeatures& features, std::optional<EngineKind> request);

// Builds the engine's reference table and sets the store mode. Returns the hash to install as
// pow_hash, or null when the table could not be allocated.
PowHashFn install_engine(EngineKind kind, StoreMode stores);

}  // namespace orvo::qel
