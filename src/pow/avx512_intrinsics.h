// The vector intrinsics of the AVX-512 sources: the compiler's own, or, in the emulated test copy
// (MINTRAKEL_AVX512_EMULATED, see pow/avx512_namespace.h), portable versions under the same names
// from SIMDe, which run on any x86-64 CPU. The few that SIMDe lacks are defined here with the
// semantics of the real instructions.
#pragma once

#ifndef MINTRAKEL_AVX512_EMULATED

// GCC 12's AVX-512 intrinsics self-initialise their "undefined" operands, which its own
// -Wuninitialized then reports wherever they are inlined; the values are never read. The warning
// follows the pragma state at the intrinsics' own lines, so silencing it while their header is
// read covers every use and leaves the including file's warnings alone. This must be the first
// inclusion of the header in the file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#else

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <cstdint>

// Within each 256-bit half, result word i = source word (imm >> 2i) & 3 of the same half.
static inline simde__m512i qel_emulated_permutex_epi64(simde__m512i a, int imm) {
    const simde__m512i_private a_ = simde__m512i_to_private(a);
    simde__m512i_private r_;
    for (int i = 0; i < 8; ++i) r_.i64[i] = a_.i64[(i & 4) | ((imm >> (2 * (i & 3))) & 3)];
    return simde__m512i_from_private(r_);
}

// A non-temporal store has no visible effect beyond an ordinary one, except that the real
// instruction faults on an address that is not 64-byte aligned; so does this one.
static inline void qel_emulated_stream_si512(void* p, simde__m512i v) {
    if (reinterpret_cast<uintptr_t>(p) % 64 != 0) __builtin_trap();
    simde_mm512_store_si512(p, v);
}

#define _mm512_permutex_epi64(a, imm) qel_emulated_permutex_epi64(a, imm)
#define _mm512_stream_si512(p, v) qel_emulated_stream_si512(p, v)
// Without masks, selecting 128-bit lanes by 64-bit or by 32-bit elements is the same operation.
#define _mm512_shuffle_i64x2(a, b, imm) simde_mm512_shuffle_i32x4(a, b, imm)

#endif
