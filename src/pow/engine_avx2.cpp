// The AVX2 engine: blocks in the arena in standard word order, the previous block in a stack
// buffer that stays in L1, aligned 32-byte stores.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/blake2b.h"
#include "pow/blamka_avx2.h"
#include "pow/engine_internal.h"
#include "pow/engines.h"
#include "pow/isa_common.h"
#include "pow/pow_hash.h"

namespace orvo::qel {
namespace {

QEL_ISA_FORCE_INLINE __m256i load(const __m256i* p) {
    return _mm256_load_si256(p);
}
QEL_ISA_FORCE_INLINE void store(__m256i* p, __m256i v) {
    _mm256_store_si256(p, v);
}

QEL_ISA_FORCE_INLINE void prefetch_block(const uint8_t* block) {
    for (int line = 0; line < 16; ++line)
        _mm_prefetch(reinterpret_cast<const char*>(block + 64 * line), _MM_HINT_T0);
}

// Into L1 only: in the data-dependent half a reference is mostly an old block read once, and
// keeping it out of L2 leaves L2 to the recently written blocks, which later references favour.
QEL_ISA_FORCE_INLINE void prefetch_block_l1(const uint8_t* block) {
    for (int line = 0; line < 16; ++line)
        _mm_prefetch(reinterpret_cast<const char*>(block + 64 * line), _MM_HINT_NTA);
}

// Unit u of R = prev ^ ref, also kept in the running buffer for the feed-forward.
QEL_ISA_FORCE_INLINE __m256i load_r(const __m256i* prev, const __m256i* ref, __m256i* running,
                                    int u) {
    const __m256i r = _mm256_xor_si256(load(prev + u), load(ref + u));
    store(running + u, r);
    return r;
}

// Unit u of the new block: P(R) ^ R, with R in the running buffer.
QEL_ISA_FORCE_INLINE void feed_forward(__m256i* out, __m256i* running, int u, __m256i permuted) {
    const __m256i v = _mm256_xor_si256(permuted, load(running + u));
    store(out + u, v);
    store(running + u, v);
}

// Row pass over Argon2 rows 4h..4h + 3 (units 16h..16h + 15): R = prev ^ ref replaces prev in
// the running buffer, P's row output goes to scratch.
QEL_ISA_FORCE_INLINE void row_quad(const __m256i* prev, const __m256i* ref, __m256i* running,
                                   __m256i* scratch, int h) {
    const int u = 16 * h;
    __m256i a0 = load_r(prev, ref, running, u + 0), b0 = load_r(prev, ref, running, u + 1);
    __m256i c0 = load_r(prev, ref, running, u + 2), d0 = load_r(prev, ref, running, u + 3);
    __m256i a1 = load_r(prev, ref, running, u + 4), b1 = load_r(prev, ref, running, u + 5);
    __m256i c1 = load_r(prev, ref, running, u + 6), d1 = load_r(prev, ref, running, u + 7);
    __m256i a2 = load_r(prev, ref, running, u + 8), b2 = load_r(prev, ref, running, u + 9);
    __m256i c2 = load_r(prev, ref, running, u + 10), d2 = load_r(prev, ref, running, u + 11);
    __m256i a3 = load_r(prev, ref, running, u + 12), b3 = load_r(prev, ref, running, u + 13);
    __m256i c3 = load_r(prev, ref, running, u + 14), d3 = load_r(prev, ref, running, u + 15);
    round_rows_x2(a0, b0, c0, d0, a1, b1, c1, d1, a2, b2, c2, d2, a3, b3, c3, d3);
    store(scratch + u + 0, a0);
    store(scratch + u + 1, b0);
    store(scratch + u + 2, c0);
    store(scratch + u + 3, d0);
    store(scratch + u + 4, a1);
    store(scratch + u + 5, b1);
    store(scratch + u + 6, c1);
    store(scratch + u + 7, d1);
    store(scratch + u + 8, a2);
    store(scratch + u + 9, b2);
    store(scratch + u + 10, c2);
    store(scratch + u + 11, d2);
    store(scratch + u + 12, a3);
    store(scratch + u + 13, b3);
    store(scratch + u + 14, c3);
    store(scratch + u + 15, d3);
}

// Column pass over quarters k and k + 1 of all eight rows, then the feed-forward and the stores.
// Quarter k's results are written first.
QEL_ISA_FORCE_INLINE void column_quad(const __m256i* scratch, __m256i* out, __m256i* running,
                                      int k) {
    const int m = k + 1;
    __m256i r0 = load(scratch + 0 + k), r1 = load(scratch + 4 + k);
    __m256i r2 = load(scratch + 8 + k), r3 = load(scratch + 12 + k);
    __m256i r4 = load(scratch + 16 + k), r5 = load(scratch + 20 + k);
    __m256i r6 = load(scratch + 24 + k), r7 = load(scratch + 28 + k);
    __m256i q0 = load(scratch + 0 + m), q1 = load(scratch + 4 + m);
    __m256i q2 = load(scratch + 8 + m), q3 = load(scratch + 12 + m);
    __m256i q4 = load(scratch + 16 + m), q5 = load(scratch + 20 + m);
    __m256i q6 = load(scratch + 24 + m), q7 = load(scratch + 28 + m);
    round_columns_x2(r0, r1, r2, r3, r4, r5, r6, r7, q0, q1, q2, q3, q4, q5, q6, q7);
    feed_forward(out, running, 0 + k, r0);
    feed_forward(out, running, 4 + k, r1);
    feed_forward(out, running, 8 + k, r2);
    feed_forward(out, running, 12 + k, r3);
    feed_forward(out, running, 16 + k, r4);
    feed_forward(out, running, 20 + k, r5);
    feed_forward(out, running, 24 + k, r6);
    feed_forward(out, running, 28 + k, r7);
    feed_forward(out, running, 0 + m, q0);
    feed_forward(out, running, 4 + m, q1);
    feed_forward(out, running, 8 + m, q2);
    feed_forward(out, running, 12 + m, q3);
    feed_forward(out, running, 16 + m, q4);
    feed_forward(out, running, 20 + m, q5);
    feed_forward(out, running, 24 + m, q6);
    feed_forward(out, running, 28 + m, q7);
}

// The column pass over quarter k alone (columns 2k and 2k + 1), then its feed-forward and stores.
// Word 0 of the new block is final after quarter 0: the one column pair on the way to the next
// reference in the data-dependent half.
QEL_ISA_FORCE_INLINE void column_quarter(const __m256i* scratch, __m256i* out, __m256i* running,
                                         int k) {
    __m256i r0 = load(scratch + 0 + k), r1 = load(scratch + 4 + k);
    __m256i r2 = load(scratch + 8 + k), r3 = load(scratch + 12 + k);
    __m256i r4 = load(scratch + 16 + k), r5 = load(scratch + 20 + k);
    __m256i r6 = load(scratch + 24 + k), r7 = load(scratch + 28 + k);
    round_columns(r0, r1, r2, r3, r4, r5, r6, r7);
    feed_forward(out, running, 0 + k, r0);
    feed_forward(out, running, 4 + k, r1);
    feed_forward(out, running, 8 + k, r2);
    feed_forward(out, running, 12 + k, r3);
    feed_forward(out, running, 16 + k, r4);
    feed_forward(out, running, 20 + k, r5);
    feed_forward(out, running, 24 + k, r6);
    feed_forward(out, running, 28 + k, r7);
}

// next = G(prev, ref): written to `out` (the arena) and to `running`. `running` may equal `prev`:
// the row pass reads prev only in the rows it is about to overwrite with R, and the column pass
// over a quarter reads and writes only that quarter of every row.
//
// When `next_w` is non-zero (the data-dependent half), the new block's word 0 picks the following
// block's reference with W = next_w, into *next_ref, and that block is prefetched while the
// rest of this block is computed: the wait for those lines is that half's cost. Word 0 is final
// once quarter 0 has been through the column pass and the feed-forward, so that quarter runs
// alone, right after the row pass, and the other three follow the prefetch. In that half the
// destination lines are also fetched at the start, so that the stores' ownership requests are
// served long before the stores and do not compete with the fetch of the next reference. (A read
// prefetch: the lines arrive exclusive, since no other core holds them, and PREFETCHW is not on
// every AVX2 CPU.)
QEL_ISA_FORCE_INLINE void fill_block(const __m256i* prev, const __m256i* ref, __m256i* out,
                                     __m256i* running, __m256i* scratch, const uint8_t* arena,
                                     uint64_t next_w, uint32_t* next_ref) {
    if (next_w != 0) prefetch_block(reinterpret_cast<const uint8_t*>(out));
    row_quad(prev, ref, running, scratch, 0);
    row_quad(prev, ref, running, scratch, 1);
    if (next_w == 0) {
        column_quad(scratch, out, running, 0);
        column_quad(scratch, out, running, 2);
        return;
    }
    column_quarter(scratch, out, running, 0);
    const uint64_t word0 = static_cast<uint64_t>(_mm256_extract_epi64(load(running), 0));
    *next_ref = reference_index(word0, next_w);
    prefetch_block_l1(arena + static_cast<size_t>(*next_ref) * BLOCK_BYTES);
    column_quarter(scratch, out, running, 1);
    column_quad(scratch, out, running, 2);
}

// One hash in flight: its arena and the previous block, which never leaves the running buffer
// (the arena is only written, except for references). `ref` carries the reference of the next
// block through the data-dependent half.
struct Lane {
    alignas(64) Block running;
    uint8_t* base;
    uint32_t ref;
};

QEL_ISA_FORCE_INLINE __m256i* block_units(uint8_t* base, uint32_t j) {
    return reinterpret_cast<__m256i*>(base + static_cast<size_t>(j) * BLOCK_BYTES);
}

QEL_ISA_FORCE_INLINE __m256i* running_units(Lane& lane) {
    return reinterpret_cast<__m256i*>(lane.running.v);
}

// Arena block j becomes the previous block: how a stage run alone picks up where the arena stands.
QEL_ISA_FORCE_INLINE void resume_at(Lane& lane, uint32_t j) {
    std::memcpy(lane.running.v, lane.base + static_cast<size_t>(j) * BLOCK_BYTES, BLOCK_BYTES);
}

// H0, then blocks 0 and 1 from H'; block 1 is the previous block of block 2.
QEL_ISA_FORCE_INLINE void seed_lane(Lane& lane, const uint8_t* header, uint64_t nonce) {
    uint8_t h0[64];
    uint8_t seed[72];
    pow_h0(header, nonce, h0);
    pow_seed_input(h0, 0, seed);
    blake2b_long(lane.base, seed);
    pow_seed_input(h0, 1, seed);
    blake2b_long(lane.base + BLOCK_BYTES, seed);
    resume_at(lane, 1);
}

// Block j of the data-independent half: its reference from the table, that of block
// j + INDEPENDENT_PREFETCH_BLOCKS prefetched (never past block 4095, whose successors take their
// references from the data).
QEL_ISA_FORCE_INLINE void independent_block(Lane& lane, __m256i* scratch, const uint32_t* table,
                                            uint32_t j, uint32_t distance) {
    if (j + distance < DATA_INDEPENDENT_BLOCKS)
        prefetch_block(lane.base + static_cast<size_t>(table[j + distance]) * BLOCK_BYTES);
    fill_block(running_units(lane), block_units(lane.base, table[j]), block_units(lane.base, j),
               running_units(lane), scratch, nullptr, 0, nullptr);
}

// The reference of block 4096, from word 0 of block 4095, fetched at once.
QEL_ISA_FORCE_INLINE void start_dependent(Lane& lane) {
    lane.ref = reference_index(lane.running.v[0], DATA_INDEPENDENT_BLOCKS - 1);
    prefetch_block(lane.base + static_cast<size_t>(lane.ref) * BLOCK_BYTES);
}

// Block j (4096..8190) of the data-dependent half; names and prefetches the reference of j + 1.
QEL_ISA_FORCE_INLINE void dependent_block(Lane& lane, __m256i* scratch, uint32_t j) {
    fill_block(running_units(lane), block_units(lane.base, lane.ref), block_units(lane.base, j),
               running_units(lane), scratch, lane.base, j, &lane.ref);
}

QEL_ISA_FORCE_INLINE void last_block(Lane& lane, __m256i* scratch) {
    fill_block(running_units(lane), block_units(lane.base, lane.ref),
               block_units(lane.base, ARENA_BLOCKS - 1), running_units(lane), scratch, nullptr, 0,
               nullptr);
}

// The stages over n hashes in flight, stepped block by block in turn: while one hash computes,
// the references the others named are on their way. With n = 1 (a constant at the single hash's
// call sites) the loops over the lanes vanish.
QEL_ISA_FORCE_INLINE void stage_seed(Lane* lanes, int32_t n, const uint8_t* const* headers,
                                     const uint64_t* nonces) {
    for (int32_t i = 0; i < n; ++i) seed_lane(lanes[i], headers[i], nonces[i]);
}

QEL_ISA_FORCE_INLINE void stage_independent(Lane* lanes, int32_t n, __m256i* scratch) {
    const uint32_t* const table = reference_table_avx2()->index;
    // With n hashes stepped in turn, a step is n compressions long: the same lead in time as one
    // hash's takes 1/n of its steps, and keeps about as many blocks on their way to the cache.
    const uint32_t distance =
        (INDEPENDENT_PREFETCH_BLOCKS + static_cast<uint32_t>(n) - 1) / static_cast<uint32_t>(n);
    for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j) {
        for (int32_t i = 0; i < n; ++i) independent_block(lanes[i], scratch, table, j, distance);
    }
}

QEL_ISA_FORCE_INLINE void stage_dependent(Lane* lanes, int32_t n, __m256i* scratch) {
    for (int32_t i = 0; i < n; ++i) start_dependent(lanes[i]);
    for (uint32_t j = DATA_INDEPENDENT_BLOCKS; j < ARENA_BLOCKS - 1; ++j) {
        for (int32_t i = 0; i < n; ++i) dependent_block(lanes[i], scratch, j);
    }
    for (int32_t i = 0; i < n; ++i) last_block(lanes[i], scratch);
}

// The store fence orders the arena stores before the tag and before the next hash reuses the
// arena.
QEL_ISA_FORCE_INLINE void stage_tag(Lane* lanes, int32_t n, uint8_t (*outs)[HASH_BYTES]) {
    _mm_sfence();
    for (int32_t i = 0; i < n; ++i)
        pow_tag(reinterpret_cast<const uint8_t*>(lanes[i].running.v), outs[i]);
}

QEL_ISA_FORCE_INLINE void hash_lanes(const Arena* arenas, const uint8_t* const* headers,
                                     const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES],
                                     int32_t n) {
    Lane lanes[MAX_INTENSITY];
    alignas(64) Block scratch;
    __m256i* const scratch_units = reinterpret_cast<__m256i*>(scratch.v);
    for (int32_t i = 0; i < n; ++i) lanes[i].base = static_cast<uint8_t*>(arenas[i].base);
    stage_seed(lanes, n, headers, nonces);
    stage_independent(lanes, n, scratch_units);
    stage_dependent(lanes, n, scratch_units);
    stage_tag(lanes, n, outs);
}

QEL_ISA_FORCE_INLINE void run_stage(HashStage stage, const Arena* arenas,
                                    const uint8_t* const* headers, const uint64_t* nonces,
                                    uint8_t (*outs)[HASH_BYTES], int32_t n) {
    Lane lanes[MAX_INTENSITY];
    alignas(64) Block scratch;
    __m256i* const scratch_units = reinterpret_cast<__m256i*>(scratch.v);
    for (int32_t i = 0; i < n; ++i) lanes[i].base = static_cast<uint8_t*>(arenas[i].base);
    switch (stage) {
        case HashStage::seed:
            stage_seed(lanes, n, headers, nonces);
            break;
        case HashStage::data_independent:
            for (int32_t i = 0; i < n; ++i) resume_at(lanes[i], 1);
            stage_independent(lanes, n, scratch_units);
            break;
        case HashStage::data_dependent:
            for (int32_t i = 0; i < n; ++i) resume_at(lanes[i], DATA_INDEPENDENT_BLOCKS - 1);
            stage_dependent(lanes, n, scratch_units);
            break;
        case HashStage::tag:
            for (int32_t i = 0; i < n; ++i) resume_at(lanes[i], ARENA_BLOCKS - 1);
            stage_tag(lanes, n, outs);
            break;
    }
}

}  // namespace

void compress_block_avx2(const Block& prev, const Block& ref, Block& out) {
    alignas(64) Block running;
    alignas(64) Block scratch;
    fill_block(reinterpret_cast<const __m256i*>(prev.v), reinterpret_cast<const __m256i*>(ref.v),
               reinterpret_cast<__m256i*>(out.v), reinterpret_cast<__m256i*>(running.v),
               reinterpret_cast<__m256i*>(scratch.v), nullptr, 0, nullptr);
}

void pow_hash_avx2(const Arena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    hash_lanes(&arena, &header, &nonce, reinterpret_cast<uint8_t(*)[HASH_BYTES]>(out), 1);
}

void pow_hash_many_avx2(const Arena* arenas, const uint8_t* const* headers, const uint64_t* nonces,
                        uint8_t (*outs)[HASH_BYTES], int32_t n) {
    if (n == 1) {
        hash_lanes(arenas, headers, nonces, outs, 1);
    } else {
        hash_lanes(arenas, headers, nonces, outs, n);
    }
}

void pow_stage_avx2(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                    const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n) {
    if (n == 1) {
        run_stage(stage, arenas, headers, nonces, outs, 1);
    } else {
        run_stage(stage, arenas, headers, nonces, outs, n);
    }
}

}  // namespace orvo::qel
