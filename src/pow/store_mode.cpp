#include "pow/store_mode.h"

#include <atomic>

#include "pow/engine_internal.h"

namespace orvo::qel::QEL_AVX512_NAMESPACE {
namespace {

// Written once by main before any hashing thread starts; relaxed is enough because thread
// creation orders that write before every read.
std::atomic<bool> non_temporal_stores{false};

}  // namespace

void set_store_mode(bool non_temporal) {
    non_temporal_stores.store(non_temporal, std::memory_order_relaxed);
}

Avx512HashFn avx512_store_variant() {
    return non_temporal_stores.load(std::memory_order_relaxed) ? pow_hash_avx512_nt
                                                               : pow_hash_avx512;
}

void pow_hash_avx512_dispatch(const Arena& arena, const uint8_t* header, uint64_t nonce,
                              uint8_t* out) {
    avx512_store_variant()(arena.base, header, nonce, out);
}

void pow_hash_many_avx512_dispatch(const Arena* arenas, const uint8_t* const* headers,
                                   const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n) {
    if (non_temporal_stores.load(std::memory_order_relaxed)) {
        pow_hash_many_avx512_nt(arenas, headers, nonces, outs, n);
    } else {
        pow_hash_many_avx512(arenas, headers, nonces, outs, n);
    }
}

void pow_stage_avx512_dispatch(HashStage stage, const Arena* arenas, const uint8_t* const* headers,
                               const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n) {
    if (non_temporal_stores.load(std::memory_order_relaxed)) {
        pow_stage_avx512_nt(stage, arenas, headers, nonces, outs, n);
    } else {
        pow_stage_avx512(stage, arenas, headers, nonces, outs, n);
    }
}

}  // namespace orvo::qel::QEL_AVX512_NAMESPACE
