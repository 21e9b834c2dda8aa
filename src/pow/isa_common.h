// Pieces shared by the per-instruction-set files (*_avx2.cpp, *_avx512.cpp) and their headers.
//
// Everything here has internal linkage: each including file gets its own copy, compiled with its
// own instruction-set flags, so the linker can never merge an AVX copy with baseline code or with
// another instruction set's copy (a merged copy could run AVX instructions on a CPU without them).
#pragma once

#include <cstdint>

// Functions of those files: internal linkage, inlining left to the compiler (it inlines small
// ones anyway) ...
#define QEL_ISA_INLINE static inline
// ... or forced, for the larger steps of a hash whose inlining the loop's speed depends on.
#define QEL_ISA_FORCE_INLINE static inline __attribute__((always_inline))

namespace orvo::qel {

// How many blocks ahead of one hash the data-independent half prefetches a reference (with n
// hashes in flight, 1/n of that in each hash's own steps: the same lead in time). The lead must
// cover one load's latency, but every block on its way sits in the first-level cache until it
// is used, next to the blocks being written: a longer lead evicts them. Four compressions cover
// a latency of some 300 ns, well beyond a DRAM access; eight and more measured slower (see
// docs/prefetch.md).
inline constexpr uint32_t INDEPENDENT_PREFETCH_BLOCKS = 4;

// Argon2's reference index for a block whose reference area is blocks 0..w-1 (w = j - 1 for
// block j of the first pass, one lane), from the low 32 bits J1 of its pseudo-random word:
// x = J1 * J1 >> 32, y = w * x >> 32, index = w - 1 - y, in 64-bit arithmetic. The result lies
// in 0..w-1.
QEL_ISA_FORCE_INLINE uint32_t reference_index(uint64_t pseudo_rand, uint64_t w) {
    const uint64_t j1 = pseudo_rand & 0xffffffffu;
    const uint64_t x = (j1 * j1) >> 32;
    const uint64_t y = (w * x) >> 32;
    return static_cast<uint32_t>(w - 1 - y);
}

}  // namespace orvo::qel
