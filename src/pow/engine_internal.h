// Entry points into the engines' pieces for the tests and the benchmark; the miner uses only
// pow/engines.h and pow/store_mode.h.
#pragma once

#include <cstdint>

#include "pow/avx512_namespace.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// One block compression out = G(prev, ref) in the engine's own arena word order, for the
// compute-floor benchmark (one compression on cached data). Not used by the hashes themselves.
void compress_block_avx2(const Block& prev, const Block& ref, Block& out);

inline namespace QEL_AVX512_NAMESPACE {

void compress_block_avx512(const Block& prev, const Block& ref, Block& out);

// G(0, X) with AVX-512, input and output in standard word order.
void compress_zero(const Block& in, Block& out);

// Conversions between the standard word order and the row order of the AVX-512 arena.
void block_to_row_order_avx512(const Block& standard, Block& rows);
void block_from_row_order_avx512(const Block& rows, Block& standard);

// The two AVX-512 engines behind the dispatcher: row order in the arena, previous block in
// registers; the _nt variant writes the arena with non-temporal stores.
void pow_hash_avx512(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out);
void pow_hash_avx512_nt(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out);

}  // namespace QEL_AVX512_NAMESPACE
}  // namespace orvo::qel
