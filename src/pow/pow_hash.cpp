#include "pow/pow_hash.h"

#include <cstring>

#include "pow/blake2b.h"

namespace orvo::qel {
namespace {

inline void store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void absorb32(Blake2bState& state, uint32_t v) {
    uint8_t b[4];
    store32(b, v);
    blake2b_update(state, b, 4);
}

}  // namespace

bool meets_target(const uint8_t* hash, const uint8_t* target) {
    // The hash's most significant byte is its last; the target's is its first.
    for (int i = 0; i < 32; ++i) {
        const uint8_t h = hash[31 - i];
        const uint8_t t = target[i];
        if (h != t) return h < t;
    }
    return true;
}

void pow_h0(const uint8_t* header, uint64_t nonce, uint8_t h0[64]) {
    // Password = header || LE64(nonce), 120 bytes.
    uint8_t password[HEADER_BYTES + 8];
    std::memcpy(password, header, HEADER_BYTES);
    for (size_t i = 0; i < 8; ++i)
        password[HEADER_BYTES + i] = static_cast<uint8_t>(nonce >> (8 * i));

    Blake2bState state;
    blake2b_init(state, 64);
    absorb32(state, 1);             // lanes
    absorb32(state, HASH_BYTES);    // tag length
    absorb32(state, ARENA_BLOCKS);  // memory in KiB
    absorb32(state, 1);             // passes
    absorb32(state, 0x13);          // version
    absorb32(state, 2);             // type: Argon2id
    absorb32(state, sizeof password);
    blake2b_update(state, password, sizeof password);
    absorb32(state, sizeof POW_SALT - 1);
    blake2b_update(state, POW_SALT, sizeof POW_SALT - 1);
    absorb32(state, 0);  // secret length
    absorb32(state, 0);  // associated data length
    blake2b_final(state, h0);
}

void pow_seed_input(const uint8_t h0[64], uint32_t index, uint8_t in[72]) {
    std::memcpy(in, h0, 64);
    store32(in + 64, index);
    store32(in + 68, 0);  // lane
}

void pow_tag(const uint8_t* last_block, uint8_t out[32]) {
    Blake2bState state;
    blake2b_init(state, HASH_BYTES);
    absorb32(state, HASH_BYTES);
    blake2b_update(state, last_block, BLOCK_BYTES);
    blake2b_final(state, out);
}

}  // namespace orvo::qel
