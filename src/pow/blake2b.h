// BLAKE2b (RFC 7693), sequential mode only, and Argon2's variable-length hash H'.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo::qel {

// Streaming state. Lives on the caller's stack; used for one message (init, updates, final).
struct Blake2bState {
    uint64_t h[8];     // chaining value
    uint64_t t0;       // low word of the 128-bit byte counter
    uint64_t t1;       // high word
    uint8_t buf[128];  // block not yet compressed
    uint64_t buflen;   // bytes held in buf, 0..128
    uint64_t outlen;   // output length, 1..64
};

// Sets up the state for an outlen-byte digest; keylen 0 means unkeyed.
void blake2b_init(Blake2bState& state, size_t outlen, const void* key = nullptr, size_t keylen = 0);
// Absorbs len bytes. A full buffer is compressed only when more input arrives, so the last
// block always goes through blake2b_final with the last-block flag.
void blake2b_update(Blake2bState& state, const void* data, size_t len);
// Writes state.outlen bytes to out.
void blake2b_final(Blake2bState& state, void* out);
// The compression function F.
void blake2b_compress(Blake2bState& state, const uint8_t block[128], bool last);
// One-shot unkeyed digest.
void blake2b(void* out, size_t outlen, const void* data, size_t len);
// H' with T = 1024 over a 72-byte input (H0 || block index || lane), writing 1024 bytes.
void blake2b_long(uint8_t out[1024], const uint8_t in[72]);

}  // namespace orvo::qel
