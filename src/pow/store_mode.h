// The store mode of the AVX-512 engine: ordinary or non-temporal arena stores, chosen once at
// start-up and read by the dispatcher at every call. Baseline code: the dispatcher only reads a
// flag and calls on, so it is safe to install as pow_hash before anything AVX-512 executes.
#pragma once

#include <cstdint>

#include "pow/avx512_namespace.h"
#include "pow/engine_internal.h"
#include "pow/pow_hash.h"

namespace orvo::qel {
inline namespace QEL_AVX512_NAMESPACE {

using Avx512HashFn = void (*)(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out);

// Called once by main before any hash, whichever engine was chosen; only the AVX-512 dispatcher
// reads the flag.
void set_store_mode(bool non_temporal);

// The implementation the dispatcher passes its calls to under the current store mode:
// pow_hash_avx512_nt when non-temporal stores were asked for, else pow_hash_avx512.
Avx512HashFn avx512_store_variant();

// The AVX-512 engine as a PowHashFn: the variant of the store mode on the arena's base.
void pow_hash_avx512_dispatch(const Arena& arena, const uint8_t* header, uint64_t nonce,
                              uint8_t* out);
// The same with n hashes in flight (PowHashManyFn).
void pow_hash_many_avx512_dispatch(const Arena* arenas, const uint8_t* const* headers,
                                   const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);
// Their stages (HashStageFn in pow/engine_internal.h), for the benchmark.
void pow_stage_avx512_dispatch(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                               const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);

}  // namespace QEL_AVX512_NAMESPACE
}  // namespace orvo::qel
