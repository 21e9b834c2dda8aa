// The coin's proof of work: one fixed Argon2id instance (v0x13, one lane, one pass, 8192 blocks
// of 1 KiB, 32-byte tag, salt "Mintrakel/pow/v1") over a 112-byte header and a 64-bit nonce.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo::qel {

inline constexpr size_t HEADER_BYTES = 112;
inline constexpr size_t HASH_BYTES = 32;
inline constexpr size_t BLOCK_BYTES = 1024;
inline constexpr uint32_t ARENA_BLOCKS = 8192;
inline constexpr size_t ARENA_BYTES = ARENA_BLOCKS * BLOCK_BYTES;  // 8 MiB
// Blocks below this index take their reference from the precomputed table; the rest from word 0
// of the previous block (Argon2id's data-dependent half).
inline constexpr uint32_t DATA_INDEPENDENT_BLOCKS = 4096;
inline constexpr char POW_SALT[] = "Mintrakel/pow/v1";  // 16 bytes, no terminator hashed

// One Argon2 memory block: 128 little-endian 64-bit words.
struct alignas(64) Block {
    uint64_t v[128];
};

// A hashing thread's 8 MiB scratch region. The hash reads only `base`, which is aligned to at
// least 64 bytes. `huge` tells whether it lies in reserved huge pages.
struct Arena {
    void* base = nullptr;
    bool huge = false;
};

// The proof-of-work hash: reads exactly 112 header bytes, writes exactly 32 output bytes, cannot
// fail. Many threads may call it at once, each with its own arena.
using PowHashFn = void (*)(const Arena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out);

// The most hashes one thread carries side by side (its intensity).
inline constexpr int32_t MAX_INTENSITY = 4;

// `n` hashes (1..MAX_INTENSITY) carried side by side: hash i in arenas[i] over headers[i] and
// nonces[i] into outs[i], each byte for byte what the engine's PowHashFn gives for it. The arenas
// are distinct.
using PowHashManyFn = void (*)(const Arena* arenas, const uint8_t* const* headers,
                               const uint64_t* nonces, uint8_t (*outs)[HASH_BYTES], int32_t n);

// Share test: the hash read as a little-endian 256-bit number is at most the target read as a
// big-endian one.
bool meets_target(const uint8_t* hash, const uint8_t* target);

// --- Pieces shared by every engine (baseline code, safe to call from any engine) ---

// H0 of the instance: password = header || LE64(nonce).
void pow_h0(const uint8_t* header, uint64_t nonce, uint8_t h0[64]);
// Fills the 72-byte H' input for block `index` (0 or 1): H0 || LE32(index) || LE32(0).
void pow_seed_input(const uint8_t h0[64], uint32_t index, uint8_t in[72]);
// The tag: H'(32) over the last block in standard word order.
void pow_tag(const uint8_t* last_block, uint8_t out[32]);

}  // namespace orvo::qel
