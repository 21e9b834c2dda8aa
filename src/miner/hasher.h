// The installed engine as the hashing threads, the self-check and the verify mode call it: one
// hash at a time, or several side by side, each in its own arena.
#pragma once

#include <cstdint>

#include "pow/pow_hash.h"

namespace orvo::qel {

struct Hasher {
    PowHashFn one = nullptr;
    // Null for an engine used only one hash at a time (then every group is one hash).
    PowHashManyFn many = nullptr;

    // Hashes n inputs (1..MAX_INTENSITY), input i in arenas[i] into outs[i]. A single hash goes
    // through `one`, the hash installed for intensity 1, so that what a group of one computes is
    // what a thread at intensity 1 computes.
    void hash(const Arena* arenas, const uint8_t* const* headers, const uint64_t* nonces,
              uint8_t (*outs)[HASH_BYTES], int32_t n) const {
        if (n == 1 || many == nullptr) {
            for (int32_t i = 0; i < n; ++i) one(arenas[i], headers[i], nonces[i], outs[i]);
        } else {
            many(arenas, headers, nonces, outs, n);
        }
    }
};

}  // namespace orvo::qel
