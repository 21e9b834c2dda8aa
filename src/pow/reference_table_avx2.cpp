// The AVX2 engine's reference table: Argon2id's data-independent reference indices of blocks
// 2..4095, computed once with AVX2 instructions only (a CPU without AVX-512 runs this).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/blamka_avx2.h"
#include "pow/engines.h"
#include "pow/isa_common.h"
#include "pow/pow_hash.h"
#include "pow/table_alloc.h"

namespace orvo::qel {
namespace {

// Written once by the builder before any hashing thread exists; read-only afterwards.
ReferenceTable* table_avx2 = nullptr;

constexpr uint32_t SEGMENT_BLOCKS = ARENA_BLOCKS / 4;
constexpr uint32_t ADDRESSES_PER_BLOCK = 128;

// G(0, X) = P(X) ^ X, standard word order in and out.
void compress_zero_avx2(const Block& in, Block& out) {
    const __m256i* x = reinterpret_cast<const __m256i*>(in.v);
    __m256i* o = reinterpret_cast<__m256i*>(out.v);
    alignas(64) Block scratch_block;
    __m256i* s = reinterpret_cast<__m256i*>(scratch_block.v);
    for (int i = 0; i < 4; ++i) {
        const int u = 8 * i;
        __m256i a0 = _mm256_load_si256(x + u + 0), b0 = _mm256_load_si256(x + u + 1);
        __m256i c0 = _mm256_load_si256(x + u + 2), d0 = _mm256_load_si256(x + u + 3);
        __m256i a1 = _mm256_load_si256(x + u + 4), b1 = _mm256_load_si256(x + u + 5);
        __m256i c1 = _mm256_load_si256(x + u + 6), d1 = _mm256_load_si256(x + u + 7);
        round_rows(a0, b0, c0, d0, a1, b1, c1, d1);
        _mm256_store_si256(s + u + 0, a0);
        _mm256_store_si256(s + u + 1, b0);
        _mm256_store_si256(s + u + 2, c0);
        _mm256_store_si256(s + u + 3, d0);
        _mm256_store_si256(s + u + 4, a1);
        _mm256_store_si256(s + u + 5, b1);
        _mm256_store_si256(s + u + 6, c1);
        _mm256_store_si256(s + u + 7, d1);
    }
    for (int k = 0; k < 4; ++k) {
        __m256i r[8];
        for (int row = 0; row < 8; ++row) r[row] = _mm256_load_si256(s + 4 * row + k);
        round_columns(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
        for (int row = 0; row < 8; ++row) {
            const int u = 4 * row + k;
            _mm256_store_si256(o + u, _mm256_xor_si256(r[row], _mm256_load_si256(x + u)));
        }
    }
}

}  // namespace

bool build_reference_table_avx2() {
    if (table_avx2 != nullptr) return true;
    ReferenceTable* table = allocate_reference_table();
    if (table == nullptr) return false;
    std::memset(table, 0, sizeof *table);

    alignas(64) Block input;
    alignas(64) Block once;
    alignas(64) Block address;
    for (uint32_t slice = 0; slice < 2; ++slice) {
        std::memset(&input, 0, sizeof input);
        input.v[2] = slice;
        input.v[3] = ARENA_BLOCKS;
        input.v[4] = 1;  // passes
        input.v[5] = 2;  // Argon2id
        const uint32_t first = slice == 0 ? 2 : 0;
        for (uint32_t i = first; i < SEGMENT_BLOCKS; ++i) {
            if (i == first || i % ADDRESSES_PER_BLOCK == 0) {
                input.v[6] = i / ADDRESSES_PER_BLOCK + 1;
                compress_zero_avx2(input, once);
                compress_zero_avx2(once, address);
            }
            // Reference area: every block before the previous one, W = j - 1 blocks.
            const uint32_t j = slice * SEGMENT_BLOCKS + i;
            table->index[j] = reference_index(address.v[i % ADDRESSES_PER_BLOCK], j - 1);
        }
    }
    table_avx2 = table;
    return true;
}

const ReferenceTable* reference_table_avx2() {
    return table_avx2;
}

}  // namespace orvo::qel
