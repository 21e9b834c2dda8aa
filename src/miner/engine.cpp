#include "miner/engine.h"

#include <cpuid.h>

#include <cstdint>

#include "pow/engine_table.h"
#include "pow/store_mode.h"

namespace orvo::qel {

namespace {

constexpr unsigned LEAF1_ECX_OSXSAVE = 1u << 27;
constexpr unsigned LEAF7_EBX_AVX2 = 1u << 5;
constexpr unsigned LEAF7_EBX_AVX512F = 1u << 16;
constexpr unsigned LEAF7_EBX_AVX512BW = 1u << 30;
constexpr unsigned LEAF7_EBX_AVX512VL = 1u << 31;

// XCR0 state components the OS must save and restore: SSE and AVX (bits 1, 2) for AVX2; those
// plus the opmask registers and both halves of the ZMM file (bits 5, 6, 7) for AVX-512.
constexpr unsigned long long XCR0_AVX_STATE = 0x6;
constexpr unsigned long long XCR0_AVX512_STATE = 0xE6;

const char NO_ENGINE_TEXT[] = "this CPU has neither AVX-512 nor AVX2: not supported";
const char NO_AVX512_TEXT[] = "AVX-512 engine requested but this CPU has no AVX-512 (F, VL, BW)";

// XGETBV raises #UD unless the OS set CR4.OSXSAVE, so callers check leaf 1 ECX bit 27 first.
unsigned long long read_xcr0() {
    uint32_t eax = 0;
    uint32_t edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<unsigned long long>(edx) << 32) | eax;
}

}  // namespace

CpuidReadings read_cpuid() {
    CpuidReadings r;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    // GCC declares the result unsigned, clang int; the highest leaf is never negative.
    r.max_basic_leaf = static_cast<unsigned>(__get_cpuid_max(0, nullptr));
    if (r.max_basic_leaf >= 1) {
        __cpuid(1, eax, ebx, ecx, edx);
        r.leaf1_ecx = ecx;
    }
    if (r.max_basic_leaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        r.leaf7_ebx = ebx;
    }
    if (r.leaf1_ecx & LEAF1_ECX_OSXSAVE) r.xcr0 = read_xcr0();
    return r;
}

CpuFeatures features_from_cpuid(const CpuidReadings& r) {
    CpuFeatures f;
    if (r.max_basic_leaf < 7 || !(r.leaf1_ecx & LEAF1_ECX_OSXSAVE)) return f;
    bool avx_state = (r.xcr0 & XCR0_AVX_STATE) == XCR0_AVX_STATE;
    bool avx512_state = (r.xcr0 & XCR0_AVX512_STATE) == XCR0_AVX512_STATE;
    f.set(CpuFeature::avx2, avx_state && (r.leaf7_ebx & LEAF7_EBX_AVX2));
    f.set(CpuFeature::avx512f, avx512_state && (r.leaf7_ebx & LEAF7_EBX_AVX512F));
    f.set(CpuFeature::avx512vl, avx512_state && (r.leaf7_ebx & LEAF7_EBX_AVX512VL));
    f.set(CpuFeature::avx512bw, avx512_state && (r.leaf7_ebx & LEAF7_EBX_AVX512BW));
    return f;
}

CpuFeatures detect_cpu_features() {
    return features_from_cpuid(read_cpuid());
}

const char* engine_display_name(EngineKind kind) {
    return engine_info(kind).name;
}

EngineChoice choose_engine(const CpuFeatures& features, std::optional<EngineKind> request) {
    const std::span<const EngineInfo> engines = engine_table();
    for (const EngineInfo& engine : engines) {
        if (request != engine.kind) continue;
        if (has_features(features, engine.needs)) return {engine.kind, {}};
        // A refused AVX-512 request says why when the CPU could run the last, least demanding
        // engine; a CPU without even that has no engine at all.
        const bool runs_some_engine = has_features(features, engines.back().needs);
        if (engine.kind == EngineKind::avx512 && runs_some_engine) {
            return {std::nullopt, NO_AVX512_TEXT};
        }
        return {std::nullopt, NO_ENGINE_TEXT};
    }
    for (const EngineInfo& engine : engines) {
        if (has_features(features, engine.needs)) return {engine.kind, {}};
    }
    return {std::nullopt, NO_ENGINE_TEXT};
}

PowHashFn install_engine(EngineKind kind, StoreMode stores) {
    const EngineInfo& engine = engine_info(kind);
    if (!engine.build_table()) return nullptr;
    // The flag is set whichever engine runs; only the engines that use it read it.
    set_store_mode(stores == StoreMode::non_temporal);
    return engine.hash;
}

}  // namespace orvo::qel
