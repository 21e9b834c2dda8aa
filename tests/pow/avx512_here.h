// Whether this test program can run the AVX-512 code it was built with. The real instructions
// need a CPU that has them. The emulated copy runs anywhere, but is tested only where the real
// instructions are missing: elsewhere the real code is tested instead, at a fraction of the time.
#pragma once

namespace orvo::qel::testing {

inline bool cpu_has_avx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512bw");
}

#ifdef MINTRAKEL_AVX512_EMULATED
inline constexpr bool AVX512_EMULATED = true;
inline bool avx512_runs_here() { return !cpu_has_avx512(); }
#else
inline constexpr bool AVX512_EMULATED = false;
inline bool avx512_runs_here() { return cpu_has_avx512(); }
#endif

}  // namespace orvo::qel::testing
