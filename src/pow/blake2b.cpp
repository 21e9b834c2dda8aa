#include "pow/blake2b.h"

#include <cstring>

namespace orvo::qel {
namespace {

constexpr uint64_t IV[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr uint8_t SIGMA[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);  // x86-64 is little-endian, which is the wire order
    return v;
}

inline void store64(uint8_t* p, uint64_t v) {
    std::memcpy(p, &v, 8);
}

inline void store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

inline uint64_t rotr64(uint64_t x, unsigned n) {
    return (x >> n) | (x << (64 - n));
}

inline void mix(uint64_t* v, int a, int b, int c, int d, uint64_t x, uint64_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = rotr64(v[d] ^ v[a], 32);
    v[c] = v[c] + v[d];
    v[b] = rotr64(v[b] ^ v[c], 24);
    v[a] = v[a] + v[b] + y;
    v[d] = rotr64(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = rotr64(v[b] ^ v[c], 63);
}

void add_to_counter(Blake2bState& state, uint64_t n) {
    state.t0 += n;
    if (state.t0 < n) state.t1 += 1;
}

}  // namespace

void blake2b_compress(Blake2bState& state, const uint8_t block[128], bool last) {
    uint64_t m[16];
    uint64_t v[16];
    for (int i = 0; i < 16; ++i) m[i] = load64(block + 8 * i);
    for (int i = 0; i < 8; ++i) {
        v[i] = state.h[i];
        v[i + 8] = IV[i];
    }
    v[12] ^= state.t0;
    v[13] ^= state.t1;
    if (last) v[14] = ~v[14];
        // Fully unrolled, the schedule indices become constants and m stays in registers.
#pragma GCC unroll 12
    for (int r = 0; r < 12; ++r) {
        const uint8_t* s = SIGMA[r % 10];
        mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i) state.h[i] ^= v[i] ^ v[i + 8];
}

void blake2b_init(Blake2bState& state, size_t outlen, const void* key, size_t keylen) {
    // Out-of-range lengths are clamped rather than trusted: the state must never write more
    // than 64 digest bytes or read more than 64 key bytes.
    if (outlen < 1) outlen = 1;
    if (outlen > 64) outlen = 64;
    if (key == nullptr) keylen = 0;
    if (keylen > 64) keylen = 64;
    for (int i = 0; i < 8; ++i) state.h[i] = IV[i];
    state.h[0] ^= 0x01010000ULL ^ (static_cast<uint64_t>(keylen) << 8) ^ outlen;
    state.t0 = 0;
    state.t1 = 0;
    state.buflen = 0;
    state.outlen = outlen;
    std::memset(state.buf, 0, sizeof state.buf);
    if (keylen > 0) {
        std::memcpy(state.buf, key, keylen);
        state.buflen = 128;
    }
}

void blake2b_update(Blake2bState& state, const void* data, size_t len) {
    const uint8_t* in = static_cast<const uint8_t*>(data);
    while (len > 0) {
        if (state.buflen == 128) {
            add_to_counter(state, 128);
            blake2b_compress(state, state.buf, false);
            state.buflen = 0;
        }
        size_t take = 128 - state.buflen;
        if (take > len) take = len;
        std::memcpy(state.buf + state.buflen, in, take);
        state.buflen += take;
        in += take;
        len -= take;
    }
}

void blake2b_final(Blake2bState& state, void* out) {
    add_to_counter(state, state.buflen);
    std::memset(state.buf + state.buflen, 0, 128 - state.buflen);
    blake2b_compress(state, state.buf, true);
    uint8_t digest[64];
    for (int i = 0; i < 8; ++i) store64(digest + 8 * i, state.h[i]);
    std::memcpy(out, digest, state.outlen);
}

void blake2b(void* out, size_t outlen, const void* data, size_t len) {
    Blake2bState state;
    blake2b_init(state, outlen);
    blake2b_update(state, data, len);
    blake2b_final(state, out);
}

void blake2b_long(uint8_t out[1024], const uint8_t in[72]) {
    // V1 over LE32(1024) || in; then each V(i) over the 64 bytes of V(i-1). Every V but the last
    // contributes its first 32 bytes; V31 contributes all 64, which brings the total to 1024.
    uint8_t v[64];
    Blake2bState state;
    blake2b_init(state, 64);
    uint8_t len_prefix[4];
    store32(len_prefix, 1024);
    blake2b_update(state, len_prefix, 4);
    blake2b_update(state, in, 72);
    blake2b_final(state, v);
    std::memcpy(out, v, 32);
    for (int i = 2; i <= 30; ++i) {
        uint8_t next[64];
        blake2b(next, 64, v, 64);
        std::memcpy(v, next, 64);
        std::memcpy(out + 32 * (i - 1), v, 32);
    }
    blake2b(out + 960, 64, v, 64);
}

}  // namespace orvo::qel
