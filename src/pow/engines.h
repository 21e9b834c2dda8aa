// The hash engines and their one-time tables. Each engine lives in its own translation unit
// compiled for its instruction set; only call one after the engine choice has confirmed that the
// CPU has that instruction set.
#pragma once

#include <cstdint>

#include "pow/avx512_namespace.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// Reference indices of blocks 2..4095 (entries 0 and 1 unused); every entry j is in 0..j-2.
struct alignas(64) ReferenceTable {
    uint32_t index[DATA_INDEPENDENT_BLOCKS];
};

// Builders: the first call allocates and fills the engine's table, later calls do nothing.
// They return false only when the table could not be allocated; hashing must not start then.
bool build_reference_table_avx2();
// The built table, or null before its builder ran.
const ReferenceTable* reference_table_avx2();

// AVX2 engine: standard word order in the arena, previous block in a stack buffer.
void pow_hash_avx2(const Arena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out);
// The AVX2 engine with n hashes in flight (PowHashManyFn).
void pow_hash_many_avx2(const Arena* arenas, const uint8_t* const* headers, const uint64_t* nonces,
                        uint8_t (*outs)[HASH_BYTES], int32_t n);

inline namespace QEL_AVX512_NAMESPACE {

bool build_reference_table_avx512();
const ReferenceTable* reference_table_avx512();

}  // namespace QEL_AVX512_NAMESPACE
}  // namespace orvo::qel
