// A slow, portable, general Argon2id (version 0x13) used as the oracle for the fast engines.
// Written for clarity, not speed: plain loops over 64-bit words, no intrinsics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvo::qel::test_support {

struct Argon2Params {
    uint32_t lanes = 1;
    uint32_t passes = 1;
    uint32_t memory_kib = 8192;  // rounded down to a multiple of 4 * lanes, at least 8 * lanes
    uint32_t tag_bytes = 32;
    std::vector<uint8_t> password;
    std::vector<uint8_t> salt;
    std::vector<uint8_t> secret;
    std::vector<uint8_t> associated_data;
};

// Argon2's variable-length hash H' for any output length >= 1.
std::vector<uint8_t> argon2_hprime(uint32_t out_bytes, const uint8_t* in, size_t in_len);

// Argon2's compression G(x, y) = P(x ^ y) ^ x ^ y on 128-word blocks in standard word order.
void argon2_compress(const uint64_t* x, const uint64_t* y, uint64_t* out);

// The Argon2id tag of the parameters.
std::vector<uint8_t> argon2id(const Argon2Params& params);

// The coin's hash of (header, nonce) through the general function above.
void coin_hash_reference(const uint8_t* header, uint64_t nonce, uint8_t out[32]);

// Reference indices of blocks 0..4095 of the coin's instance as the general algorithm derives
// them from its address blocks (entries 0 and 1 are 0 and unused).
std::vector<uint32_t> coin_reference_indices();

}  // namespace orvo::qel::test_support
