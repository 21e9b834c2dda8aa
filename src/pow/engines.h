// The hash engines and their one-time tables. Each engine lives in its own translation unit
// compiled for its instruction set; only call one after the engine choice has confirmed that the
// CPU has that instruction set.
#pragma once

#include <cstdint>

#include "pow/pow_hash.h"

namespace orvo::qel {

// Reference indices of blocks 2..4095 (entries 0 and 1 unused); every entry j is in 0..j-2.
struct alignas(64) ReferenceTable {
    uint32_t index[DATA_INDEPENDENT_BLOCKS];
};

// Builders: the first call allocates and fills the engine's table, later calls do nothing.
// They return false only when the table could not be allocated; hashing must not start then.
bool build_reference_table_avx2();
bool build_reference_table_avx512();
// The built tables, or null before their builder ran.
const ReferenceTable* reference_table_avx2();
const ReferenceTable* reference_table_avx512();

// G(0, X) with AVX-512, input and output in standard word order.
void compress_zero(const Block& in, Block& out);

// One block compression out = G(prev, ref) in the engine's own arena word order, for the
// compute-floor benchmark (one compression on cached data). Not used by the hashes themselves.
void compress_block_avx2(const Block& prev, const Block& ref, Block& out);
void compress_block_avx512(const Block& prev, const Block& ref, Block& out);

// AVX2 engine: standard word order in the arena, previous block in a stack buffer.
void pow_hash_avx2(const Arena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out);

// AVX-512 engines: row order in the arena, previous block in registers. The _nt variant writes
// the arena with non-temporal stores.
void set_store_mode(bool non_temporal);
void pow_hash_avx512_dispatch(const Arena& arena, const uint8_t* header, uint64_t nonce,
                              uint8_t* out);
void pow_hash_avx512(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out);
void pow_hash_avx512_nt(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out);

}  // namespace orvo::qel
