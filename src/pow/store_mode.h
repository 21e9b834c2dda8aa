// The store mode of the AVX-512 engine: ordinary or non-temporal arena stores, chosen once at
// start-up (set_store_mode in pow/engines.h) and read by pow_hash_avx512_dispatch at every call.
#pragma once

#include <cstdint>

namespace orvo::qel {

using Avx512HashFn = void (*)(void* base, const uint8_t* header, uint64_t nonce, uint8_t* out);

// The implementation the dispatcher passes its calls to under the current store mode:
// pow_hash_avx512_nt when non-temporal stores were asked for, else pow_hash_avx512.
Avx512HashFn avx512_store_variant();

}  // namespace orvo::qel
