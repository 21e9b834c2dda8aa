// The AVX-512 proof-of-work engines. The arena holds every block in row order
// (pow/blamka_avx512.h); the previous block never leaves the registers x0..x15, and R = previous
// xor reference lives in the other 16 registers as far as they reach, the rest in a 1 KiB stack
// buffer that stays in the first-level cache.
//
// Compiled with AVX-512 flags: only functions of internal linkage and macros here, no
// standard-library templates, so no AVX-512 code can be shared with baseline callers.

#include <cstddef>
#include <cstdint>

#include "pow/avx512_intrinsics.h"
#include "pow/blake2b.h"
#include "pow/blamka_avx512.h"
#include "pow/engine_internal.h"
#include "pow/engines.h"
#include "pow/isa_common.h"
#include "pow/pow_hash.h"

namespace orvo::qel::QEL_AVX512_NAMESPACE {
namespace {

constexpr size_t ROWS_PER_BLOCK = BLOCK_BYTES / sizeof(__m512i);  // 16
// Blocks ahead whose reference is prefetched in the data-independent half.
constexpr uint32_t PREFETCH_DISTANCE = 8;

QEL_ISA_INLINE uint64_t low_word(__m512i v) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(v)));
}

// Asks for the line at `p` in a writable state ahead of the stores that will overwrite it. A
// plain instruction rather than the intrinsic, which would need -mprfchw; every AVX-512 CPU has it.
QEL_ISA_FORCE_INLINE void prefetch_for_write(const void* p) {
    asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
}

QEL_ISA_FORCE_INLINE void store_row(__m512i* dst, __m512i v, bool nt) {
    if (nt) {
        _mm512_stream_si512(dst, v);
    } else {
        _mm512_store_si512(dst, v);
    }
}

}  // namespace

// Engine-specific statement macros, in the conventions of pow/blamka_avx512.h.
#define QEL_LOAD_ROW(k) x##k = _mm512_load_si512(src_rows + k)
#define QEL_STORE_ROW(k) _mm512_store_si512(dst_rows + k, x##k)
#define QEL_XOR_REF(k)                                              \
    x##k = _mm512_xor_si512(x##k, _mm512_load_si512(ref_rows + k)); \
    _mm512_store_si512(r + k, x##k)
#define QEL_PREFETCH(k) _mm_prefetch(reinterpret_cast<const char*>(pf_rows + k), _MM_HINT_T0)
#define QEL_PREFETCH_NTA(k) _mm_prefetch(reinterpret_cast<const char*>(pf_rows + k), _MM_HINT_NTA)
#define QEL_PREFETCH_DST(k) prefetch_for_write(dst_rows + k)
#define QEL_STORE_ARENA(k) store_row(dst_rows + k, x##k, nt)

namespace {

// The whole hash; `nt` is a constant at both call sites, so each engine gets its own loop with
// one kind of store and no branch on it.
QEL_ISA_FORCE_INLINE void pow_hash_impl(void* base, const uint8_t* header, uint64_t nonce,
                                        uint8_t* out, bool nt) {
    __m512i* const arena = static_cast<__m512i*>(base);  // row k of block j: arena[16j + k]
    const uint32_t* const table = reference_table_avx512()->index;

    alignas(64) Block scratch;  // blocks 0 and 1 from H', and the last block for the tag
    alignas(64) __m512i r[ROWS_PER_BLOCK];
    uint8_t h0[64];
    uint8_t seed[72];
    QEL_FOR_ROWS(QEL_DECLARE_ROW);

    pow_h0(header, nonce, h0);
    const uint64_t* const src_words = scratch.v;
    __m512i* dst_rows = arena;
    pow_seed_input(h0, 0, seed);
    blake2b_long(reinterpret_cast<uint8_t*>(scratch.v), seed);
    QEL_FOR_ROWS(QEL_LOAD_STANDARD);
    QEL_FOR_ROWS(QEL_STORE_ARENA);
    pow_seed_input(h0, 1, seed);
    blake2b_long(reinterpret_cast<uint8_t*>(scratch.v), seed);
    QEL_FOR_ROWS(QEL_LOAD_STANDARD);
    dst_rows = arena + ROWS_PER_BLOCK;
    QEL_FOR_ROWS(QEL_STORE_ARENA);

    // Data-independent half: references from the table, prefetched PREFETCH_DISTANCE ahead
    // (never past block 4095, whose successors take their references from the data).
    for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j) {
        if (j + PREFETCH_DISTANCE < DATA_INDEPENDENT_BLOCKS) {
            const __m512i* const pf_rows = arena + ROWS_PER_BLOCK * table[j + PREFETCH_DISTANCE];
            QEL_FOR_ROWS(QEL_PREFETCH);
        }
        const __m512i* const ref_rows = arena + ROWS_PER_BLOCK * table[j];
        QEL_FOR_ROWS(QEL_XOR_REF);
        QEL_P();
        QEL_FOR_ROWS(QEL_XOR_R);
        dst_rows = arena + ROWS_PER_BLOCK * j;
        QEL_FOR_ROWS(QEL_STORE_ARENA);
    }

    // Data-dependent half: the reference of block j + 1 is known as soon as word 0 of block j
    // is, and the wait for that block's lines is the cost of this half. Word 0 comes out of the
    // column round of Argon2 columns 0 and 1 (group 0, which Q leaves in place), and that group
    // needs only the Sa registers of the row round. So the row round stops after its last A
    // steps, group 0 runs on copies of the four Sa registers, the next reference is computed and
    // prefetched, and only then do the rest of the row round, the other three column groups and
    // the stores of block j follow, overlapping the fetch.
    //
    // With ordinary stores the reference is prefetched into L1 only (NTA): L2 then holds the
    // recently written blocks, which later references favour, rather than old blocks read once.
    // Non-temporal stores keep written blocks out of the caches, so there is nothing to protect
    // and the reference goes to every level. The destination lines of block j are fetched for
    // writing at the start of its iteration, so that their ownership requests do not queue behind,
    // or in front of, the fetch of the next reference at the end of it (non-temporal stores need no
    // ownership of the line).
    uint32_t ref = reference_index(low_word(x0), DATA_INDEPENDENT_BLOCKS - 1);
    for (uint32_t j = DATA_INDEPENDENT_BLOCKS; j < ARENA_BLOCKS; ++j) {
        const __m512i* const ref_rows = arena + ROWS_PER_BLOCK * ref;
        dst_rows = arena + ROWS_PER_BLOCK * j;
        if (!nt) {
            QEL_FOR_ROWS(QEL_PREFETCH_DST);
        }
        QEL_FOR_ROWS(QEL_XOR_REF);
        const uint64_t r_word0 = low_word(x0);
        QEL_BLAMKA_G4(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15);
        QEL_DIAGONALIZE(x1, x2, x3);
        QEL_DIAGONALIZE(x5, x6, x7);
        QEL_DIAGONALIZE(x9, x10, x11);
        QEL_DIAGONALIZE(x13, x14, x15);
        QEL_BLAMKA_HALF4(32, 24, x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14,
                         x15);
        QEL_BLAMKA_HALF4_A(x0, x1, x4, x5, x8, x9, x12, x13);
        // Column group 0: the Sa registers after Q (Sa is never rotated).
        __m512i c0 = q_avx512(x0), c4 = q_avx512(x4), c8 = q_avx512(x8), c12 = q_avx512(x12);
        QEL_ROUND1_DIAG(c0, c4, c8, c12);
        if (j + 1 < ARENA_BLOCKS) {
            ref = reference_index(low_word(c0) ^ r_word0, j);
            const __m512i* const pf_rows = arena + ROWS_PER_BLOCK * ref;
            if (nt) {
                QEL_FOR_ROWS(QEL_PREFETCH);
            } else {
                QEL_FOR_ROWS(QEL_PREFETCH_NTA);
            }
        }
        QEL_BLAMKA_HALF4_DCB(16, 63, x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13,
                             x14, x15);
        QEL_UNDIAG_Q_BCD(x1, x2, x3);
        QEL_UNDIAG_Q_BCD(x5, x6, x7);
        QEL_UNDIAG_Q_BCD(x9, x10, x11);
        QEL_UNDIAG_Q_BCD(x13, x14, x15);
        x0 = c0;
        x4 = c4;
        x8 = c8;
        x12 = c12;
        QEL_ROUND1_DIAG(x1, x5, x9, x13);
        QEL_ROUND1_DIAG(x2, x6, x10, x14);
        QEL_ROUND1_DIAG(x3, x7, x11, x15);
        QEL_P_COLUMN_FINISH();
        QEL_FOR_ROWS(QEL_XOR_R);
        QEL_FOR_ROWS(QEL_STORE_ARENA);
    }

    // The last block is still in the registers; the tag reads it in standard order.
    uint64_t* const dst_words = scratch.v;
    QEL_FOR_ROWS(QEL_STORE_STANDARD);
    _mm_sfence();
    pow_tag(reinterpret_cast<const uint8_t*>(scratch.v), out);
}

}  // namespace

void pow_hash_avx512(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    pow_hash_impl(base, header, nonce, out, false);
}

void pow_hash_avx512_nt(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    pow_hash_impl(base, header, nonce, out, true);
}

void compress_block_avx512(const Block& prev, const Block& ref, Block& out) {
    alignas(64) __m512i r[ROWS_PER_BLOCK];
    QEL_FOR_ROWS(QEL_DECLARE_ROW);
    const __m512i* src_rows = reinterpret_cast<const __m512i*>(prev.v);
    QEL_FOR_ROWS(QEL_LOAD_ROW);
    const __m512i* const ref_rows = reinterpret_cast<const __m512i*>(ref.v);
    QEL_FOR_ROWS(QEL_XOR_REF);
    QEL_P();
    QEL_FOR_ROWS(QEL_XOR_R);
    __m512i* const dst_rows = reinterpret_cast<__m512i*>(out.v);
    QEL_FOR_ROWS(QEL_STORE_ROW);
}

void block_to_row_order_avx512(const Block& standard, Block& rows) {
    QEL_FOR_ROWS(QEL_DECLARE_ROW);
    const uint64_t* const src_words = standard.v;
    QEL_FOR_ROWS(QEL_LOAD_STANDARD);
    __m512i* const dst_rows = reinterpret_cast<__m512i*>(rows.v);
    QEL_FOR_ROWS(QEL_STORE_ROW);
}

void block_from_row_order_avx512(const Block& rows, Block& standard) {
    QEL_FOR_ROWS(QEL_DECLARE_ROW);
    const __m512i* const src_rows = reinterpret_cast<const __m512i*>(rows.v);
    QEL_FOR_ROWS(QEL_LOAD_ROW);
    uint64_t* const dst_words = standard.v;
    QEL_FOR_ROWS(QEL_STORE_STANDARD);
}

}  // namespace orvo::qel::QEL_AVX512_NAMESPACE
