// The data-independent reference indices for the AVX-512 engine, computed with compress_zero.
// Compiled with AVX-512 flags: static functions and macros only, no standard-library templates.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/avx512_intrinsics.h"
#include "pow/blamka_avx512.h"
#include "pow/engine_internal.h"
#include "pow/engines.h"
#include "pow/isa_common.h"
#include "pow/pow_hash.h"
#include "pow/table_alloc.h"

namespace orvo::qel::QEL_AVX512_NAMESPACE {
namespace {

// Null until built; then read-only for the rest of the process.
ReferenceTable* table_avx512 = nullptr;

constexpr uint32_t SEGMENT_BLOCKS = ARENA_BLOCKS / 4;  // 2048 blocks per slice
constexpr uint32_t ADDRESSES_PER_BLOCK = 128;

// Entries of slice `slice` (0 or 1): each address block G(0, G(0, Z)) gives the pseudo-random
// words of 128 consecutive positions.
void fill_slice(uint32_t slice, ReferenceTable& table) {
    alignas(64) Block input;
    alignas(64) Block once;
    alignas(64) Block addresses;
    std::memset(input.v, 0, sizeof input.v);
    input.v[2] = slice;
    input.v[3] = ARENA_BLOCKS;
    input.v[4] = 1;  // passes
    input.v[5] = 2;  // Argon2id

    const uint32_t first = slice == 0 ? 2 : 0;  // blocks 0 and 1 come from H0
    for (uint32_t i = first; i < SEGMENT_BLOCKS; ++i) {
        if (i == first || i % ADDRESSES_PER_BLOCK == 0) {
            input.v[6] = i / ADDRESSES_PER_BLOCK + 1;
            compress_zero(input, once);
            compress_zero(once, addresses);
        }
        const uint64_t w = slice * SEGMENT_BLOCKS + i - 1;  // blocks 0 .. j - 2
        table.index[slice * SEGMENT_BLOCKS + i] =
            reference_index(addresses.v[i % ADDRESSES_PER_BLOCK], w);
    }
}

}  // namespace

void compress_zero(const Block& in, Block& out) {
    alignas(64) __m512i r[16];
    QEL_FOR_ROWS(QEL_DECLARE_ROW);
    const uint64_t* const src_words = in.v;
    QEL_FOR_ROWS(QEL_LOAD_STANDARD);
    QEL_FOR_ROWS(QEL_KEEP_R);
    QEL_P();
    QEL_FOR_ROWS(QEL_XOR_R);
    uint64_t* const dst_words = out.v;
    QEL_FOR_ROWS(QEL_STORE_STANDARD);
}

bool build_reference_table_avx512() {
    if (table_avx512 != nullptr) return true;
    ReferenceTable* const table = allocate_reference_table();
    if (table == nullptr) return false;
    std::memset(table->index, 0, sizeof table->index);
    fill_slice(0, *table);
    fill_slice(1, *table);
    table_avx512 = table;
    return true;
}

const ReferenceTable* reference_table_avx512() {
    return table_avx512;
}

}  // namespace orvo::qel::QEL_AVX512_NAMESPACE
