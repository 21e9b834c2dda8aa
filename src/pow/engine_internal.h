// Entry points into the engines' pieces for the tests and the benchmark; the miner uses only
// pow/engines.h and pow/store_mode.h.
#pragma once

#include <cstdint>

#include "pow/avx512_namespace.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// The stages of a hash, in order: H0 and blocks 0 and 1; blocks 2..4095 (references from the
// table); blocks 4096..8191 (references from the data); the tag. Each stage reads from the arena
// only what the stages before it wrote there, so one can run alone on an arena the others filled.
enum class HashStage { seed, data_independent, data_dependent, tag };

// One stage of `n` hashes in flight, with the arguments of PowHashManyFn (`outs` is written by
// the tag stage only): running the four in order gives what hash_many gives. For the
// benchmark's account of where a hash's time goes; the hashes themselves never call it.
using HashStageFn = void (*)(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                             const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);

// One block compression out = G(prev, ref) in the engine's own arena word order, for the
// compute-floor benchmark (one compression on cached data). Not used by the hashes themselves.
void compress_block_avx2(const Block& prev, const Block& ref, Block& out);
// The stages of pow_hash_many_avx2 (HashStageFn).
void pow_stage_avx2(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                    const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);

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
// The same with n hashes in flight (PowHashManyFn), and their stages (HashStageFn).
void pow_hash_many_avx512(const Arena* arenas, const uint8_t* const* headers,
                          const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);
void pow_hash_many_avx512_nt(const Arena* arenas, const uint8_t* const* headers,
                             const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);
void pow_stage_avx512(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                      const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);
void pow_stage_avx512_nt(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                         const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);

}  // namespace QEL_AVX512_NAMESPACE
}  // namespace orvo::qel
