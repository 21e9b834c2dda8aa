// The AVX-512 proof-of-work engines. The arena holds every block in row order
// (pow/blamka_avx512.h); the previous block never leaves the registers x0..x15, and R = previous
// xor reference lives in the other 16 registers as far as they reach, the rest in a 1 KiB stack
// buffer that stays in the first-level cache. With several hashes in flight, each hash's previous
// block waits in a stack buffer of its own while the others take their steps.
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

// The 16 rows of the block in the registers, handed from step to step of a hash. Every step is
// inlined into the hash, so they stay registers.
#define QEL_ROW_REFS                                                                           \
    __m512i &x0, __m512i &x1, __m512i &x2, __m512i &x3, __m512i &x4, __m512i &x5, __m512i &x6, \
        __m512i &x7, __m512i &x8, __m512i &x9, __m512i &x10, __m512i &x11, __m512i &x12,       \
        __m512i &x13, __m512i &x14, __m512i &x15
#define QEL_ROWS x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15

namespace {

QEL_ISA_FORCE_INLINE void load_block(QEL_ROW_REFS, const __m512i* src_rows) {
    QEL_FOR_ROWS(QEL_LOAD_ROW);
}

QEL_ISA_FORCE_INLINE void save_block(QEL_ROW_REFS, __m512i* dst_rows) {
    QEL_FOR_ROWS(QEL_STORE_ROW);
}

// H0, then blocks 0 and 1 from H', stored in row order; block 1 stays in the registers as the
// previous block of block 2.
QEL_ISA_FORCE_INLINE void seed_blocks(QEL_ROW_REFS, __m512i* arena, const uint8_t* header,
                                      uint64_t nonce, bool nt) {
    alignas(64) Block scratch;
    uint8_t h0[64];
    uint8_t seed[72];
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
}

// Block j of the data-independent half: its reference from the table, that of block
// j + INDEPENDENT_PREFETCH_BLOCKS prefetched (never past block 4095, whose successors take their
// references from the data).
QEL_ISA_FORCE_INLINE void independent_block(QEL_ROW_REFS, __m512i* r, __m512i* arena,
                                            const uint32_t* table, uint32_t j, uint32_t distance,
                                            bool nt) {
    if (j + distance < DATA_INDEPENDENT_BLOCKS) {
        const __m512i* const pf_rows = arena + ROWS_PER_BLOCK * table[j + distance];
        QEL_FOR_ROWS(QEL_PREFETCH);
    }
    const __m512i* const ref_rows = arena + ROWS_PER_BLOCK * table[j];
    QEL_FOR_ROWS(QEL_XOR_REF);
    QEL_P();
    QEL_FOR_ROWS(QEL_XOR_R);
    __m512i* const dst_rows = arena + ROWS_PER_BLOCK * j;
    QEL_FOR_ROWS(QEL_STORE_ARENA);
}

// The reference of block 4096, from word 0 of block 4095.
QEL_ISA_FORCE_INLINE uint32_t first_dependent_ref(__m512i row0) {
    return reference_index(low_word(row0), DATA_INDEPENDENT_BLOCKS - 1);
}

// Block j (4096..8191) of the data-dependent half, on reference `ref`; before j = 8191, `ref`
// then names the reference of block j + 1, which is on its way.
//
// The reference of block j + 1 is known as soon as word 0 of block j is, and the wait for that
// block's lines is the cost of this half. Word 0 comes out of the column round of Argon2 columns
// 0 and 1 (group 0, which Q leaves in place), and that group needs only the Sa registers of the
// row round. So the row round stops after its last A steps, group 0 runs on copies of the four Sa
// registers, the next reference is computed and prefetched, and only then do the rest of the row
// round, the other three column groups and the stores of block j follow, overlapping the fetch.
//
// With ordinary stores the reference is prefetched into L1 only (NTA): L2 then holds the
// recently written blocks, which later references favour, rather than old blocks read once.
// Non-temporal stores keep written blocks out of the caches, so there is nothing to protect and
// the reference goes to every level. The destination lines of block j are fetched for writing
// at the start, so that their ownership requests do not queue behind, or in front of, the fetch
// of the next reference at the end (non-temporal stores need no ownership of the line).
QEL_ISA_FORCE_INLINE void dependent_block(QEL_ROW_REFS, __m512i* r, __m512i* arena, uint32_t& ref,
                                          uint32_t j, bool nt) {
    const __m512i* const ref_rows = arena + ROWS_PER_BLOCK * ref;
    __m512i* const dst_rows = arena + ROWS_PER_BLOCK * j;
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
    QEL_BLAMKA_HALF4(32, 24, x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15);
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
    QEL_BLAMKA_HALF4_DCB(16, 63, x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14,
                         x15);
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

// The tag of the block in the registers, which the tag reads in standard order. The caller has
// fenced the arena stores.
QEL_ISA_FORCE_INLINE void tag_block(QEL_ROW_REFS, uint8_t* out) {
    alignas(64) Block last;
    uint64_t* const dst_words = last.v;
    QEL_FOR_ROWS(QEL_STORE_STANDARD);
    pow_tag(reinterpret_cast<const uint8_t*>(last.v), out);
}

// --- One hash: the previous block never leaves the registers. ---

QEL_ISA_FORCE_INLINE void fill_independent(QEL_ROW_REFS, __m512i* r, __m512i* arena, bool nt) {
    const uint32_t* const table = reference_table_avx512()->index;
    for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j)
        independent_block(QEL_ROWS, r, arena, table, j, INDEPENDENT_PREFETCH_BLOCKS, nt);
}

QEL_ISA_FORCE_INLINE void fill_dependent(QEL_ROW_REFS, __m512i* r, __m512i* arena, bool nt) {
    uint32_t ref = first_dependent_ref(x0);
    for (uint32_t j = DATA_INDEPENDENT_BLOCKS; j < ARENA_BLOCKS; ++j)
        dependent_block(QEL_ROWS, r, arena, ref, j, nt);
}

// The whole hash; `nt` is a constant at every call site, so each engine gets its own loop with
// one kind of store and no branch on it.
QEL_ISA_FORCE_INLINE void hash_one(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out,
                                   bool nt) {
    __m512i* const arena = static_cast<__m512i*>(base);  // row k of block j: arena[16j + k]
    alignas(64) __m512i r[ROWS_PER_BLOCK];
    QEL_FOR_ROWS(QEL_DECLARE_ROW);
    seed_blocks(QEL_ROWS, arena, header, nonce, nt);
    fill_independent(QEL_ROWS, r, arena, nt);
    fill_dependent(QEL_ROWS, r, arena, nt);
    _mm_sfence();
    tag_block(QEL_ROWS, out);
}

QEL_ISA_FORCE_INLINE void stage_one(HashStage stage, void* base, const uint8_t* header,
                                    uint64_t nonce, uint8_t* out, bool nt) {
    __m512i* const arena = static_cast<__m512i*>(base);
    alignas(64) __m512i r[ROWS_PER_BLOCK];
    QEL_FOR_ROWS(QEL_DECLARE_ROW);
    switch (stage) {
        case HashStage::seed:
            seed_blocks(QEL_ROWS, arena, header, nonce, nt);
            break;
        case HashStage::data_independent:
            load_block(QEL_ROWS, arena + ROWS_PER_BLOCK);
            fill_independent(QEL_ROWS, r, arena, nt);
            break;
        case HashStage::data_dependent:
            load_block(QEL_ROWS, arena + ROWS_PER_BLOCK * (DATA_INDEPENDENT_BLOCKS - 1));
            fill_dependent(QEL_ROWS, r, arena, nt);
            break;
        case HashStage::tag:
            _mm_sfence();
            load_block(QEL_ROWS, arena + ROWS_PER_BLOCK * (ARENA_BLOCKS - 1));
            tag_block(QEL_ROWS, out);
            break;
    }
}

// --- Hashes in flight, stepped block by block in turn: while one computes, the references the
// others named are on their way. Each previous block waits in its lane between its steps. ---

struct Lane {
    alignas(64) __m512i prev[ROWS_PER_BLOCK];
    __m512i* arena;
    uint32_t ref;  // data-dependent half: the reference of the lane's next block
};

QEL_ISA_FORCE_INLINE void lanes_seed(Lane* lanes, int32_t n, const uint8_t* const* headers,
                                     const uint64_t* nonces, bool nt) {
    for (int32_t i = 0; i < n; ++i) {
        QEL_FOR_ROWS(QEL_DECLARE_ROW);
        seed_blocks(QEL_ROWS, lanes[i].arena, headers[i], nonces[i], nt);
        save_block(QEL_ROWS, lanes[i].prev);
    }
}

QEL_ISA_FORCE_INLINE void lanes_independent(Lane* lanes, int32_t n, __m512i* r, bool nt) {
    const uint32_t* const table = reference_table_avx512()->index;
    // With n hashes stepped in turn, a step is n compressions long: the same lead in time as one
    // hash's takes 1/n of its steps, and keeps about as many blocks on their way to the cache.
    const uint32_t distance =
        (INDEPENDENT_PREFETCH_BLOCKS + static_cast<uint32_t>(n) - 1) / static_cast<uint32_t>(n);
    for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j) {
        for (int32_t i = 0; i < n; ++i) {
            QEL_FOR_ROWS(QEL_DECLARE_ROW);
            load_block(QEL_ROWS, lanes[i].prev);
            independent_block(QEL_ROWS, r, lanes[i].arena, table, j, distance, nt);
            save_block(QEL_ROWS, lanes[i].prev);
        }
    }
}

QEL_ISA_FORCE_INLINE void lanes_dependent(Lane* lanes, int32_t n, __m512i* r, bool nt) {
    for (int32_t i = 0; i < n; ++i) lanes[i].ref = first_dependent_ref(lanes[i].prev[0]);
    for (uint32_t j = DATA_INDEPENDENT_BLOCKS; j < ARENA_BLOCKS; ++j) {
        for (int32_t i = 0; i < n; ++i) {
            QEL_FOR_ROWS(QEL_DECLARE_ROW);
            load_block(QEL_ROWS, lanes[i].prev);
            dependent_block(QEL_ROWS, r, lanes[i].arena, lanes[i].ref, j, nt);
            save_block(QEL_ROWS, lanes[i].prev);
        }
    }
}

QEL_ISA_FORCE_INLINE void lanes_tag(Lane* lanes, int32_t n, uint8_t (*outs)[HASH_BYTES]) {
    _mm_sfence();
    for (int32_t i = 0; i < n; ++i) {
        QEL_FOR_ROWS(QEL_DECLARE_ROW);
        load_block(QEL_ROWS, lanes[i].prev);
        tag_block(QEL_ROWS, outs[i]);
    }
}

QEL_ISA_FORCE_INLINE void set_up_lanes(Lane* lanes, const Arena* arenas, int32_t n) {
    for (int32_t i = 0; i < n; ++i) lanes[i].arena = static_cast<__m512i*>(arenas[i].base);
}

QEL_ISA_FORCE_INLINE void hash_many(const Arena* arenas, const uint8_t* const* headers,
                                    const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n,
                                    bool nt) {
    if (n == 1) {
        hash_one(arenas[0].base, headers[0], nonces[0], outs[0], nt);
        return;
    }
    Lane lanes[MAX_INTENSITY];
    alignas(64) __m512i r[ROWS_PER_BLOCK];
    set_up_lanes(lanes, arenas, n);
    lanes_seed(lanes, n, headers, nonces, nt);
    lanes_independent(lanes, n, r, nt);
    lanes_dependent(lanes, n, r, nt);
    lanes_tag(lanes, n, outs);
}

QEL_ISA_FORCE_INLINE void stage_many(HashStage stage, const Arena* arenas,
                                     const uint8_t* const* headers, const uint64_t* nonces,
                                     uint8_t (*outs)[HASH_BYTES], int32_t n, bool nt) {
    if (n == 1) {
        stage_one(stage, arenas[0].base, headers[0], nonces[0], outs[0], nt);
        return;
    }
    Lane lanes[MAX_INTENSITY];
    alignas(64) __m512i r[ROWS_PER_BLOCK];
    set_up_lanes(lanes, arenas, n);
    // A stage run alone starts from the block before it in the arena.
    const uint32_t before = stage == HashStage::data_independent ? 1
                            : stage == HashStage::data_dependent ? DATA_INDEPENDENT_BLOCKS - 1
                                                                 : ARENA_BLOCKS - 1;
    if (stage != HashStage::seed) {
        for (int32_t i = 0; i < n; ++i) {
            QEL_FOR_ROWS(QEL_DECLARE_ROW);
            load_block(QEL_ROWS, lanes[i].arena + ROWS_PER_BLOCK * before);
            save_block(QEL_ROWS, lanes[i].prev);
        }
    }
    switch (stage) {
        case HashStage::seed:
            lanes_seed(lanes, n, headers, nonces, nt);
            break;
        case HashStage::data_independent:
            lanes_independent(lanes, n, r, nt);
            break;
        case HashStage::data_dependent:
            lanes_dependent(lanes, n, r, nt);
            break;
        case HashStage::tag:
            lanes_tag(lanes, n, outs);
            break;
    }
}

}  // namespace

void pow_hash_avx512(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    hash_one(base, header, nonce, out, false);
}

void pow_hash_avx512_nt(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    hash_one(base, header, nonce, out, true);
}

void pow_hash_many_avx512(const Arena* arenas, const uint8_t* const* headers,
                          const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n) {
    hash_many(arenas, headers, nonces, outs, n, false);
}

void pow_hash_many_avx512_nt(const Arena* arenas, const uint8_t* const* headers,
                             const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n) {
    hash_many(arenas, headers, nonces, outs, n, true);
}

void pow_stage_avx512(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                      const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n) {
    stage_many(stage, arenas, headers, nonces, outs, n, false);
}

void pow_stage_avx512_nt(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                         const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n) {
    stage_many(stage, arenas, headers, nonces, outs, n, true);
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
