#include "pow/blake2b.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/argon2_reference.h"

#ifdef MINTRAKEL_HAVE_SODIUM
#include <sodium.h>
#endif

namespace orvo::qel {
namespace {

std::vector<uint8_t> digest(const std::vector<uint8_t>& msg, size_t outlen) {
    std::vector<uint8_t> out(outlen);
    blake2b(out.data(), outlen, msg.data(), msg.size());
    return out;
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + 7);
    return v;
}

TEST(Blake2b, Rfc7693AbcVector) {
    const std::vector<uint8_t> expected = {
        0xba, 0x80, 0xa5, 0x3f, 0x98, 0x1c, 0x4d, 0x0d, 0x6a, 0x27, 0x97, 0xb6, 0x9f,
        0x12, 0xf6, 0xe9, 0x4c, 0x21, 0x2f, 0x14, 0x68, 0x5a, 0xc4, 0xb7, 0x4b, 0x12,
        0xbb, 0x6f, 0xdb, 0xff, 0xa2, 0xd1, 0x7d, 0x87, 0xc5, 0x39, 0x2a, 0xab, 0x79,
        0x2d, 0xc2, 0x52, 0xd5, 0xde, 0x45, 0x33, 0xcc, 0x95, 0x18, 0xd3, 0x8a, 0xa8,
        0xdb, 0xf1, 0x92, 0x5a, 0xb9, 0x23, 0x86, 0xed, 0xd4, 0x00, 0x99, 0x23,
    };
    EXPECT_EQ(digest({'a', 'b', 'c'}, 64), expected);
}

// The counter and last-block flag at the 128-byte boundary: a full buffer waits for more input.
TEST(Blake2b, BlockBoundaryCounters) {
    struct Case {
        size_t len;
        uint64_t t0_before_final;
        uint64_t buflen_before_final;
    };
    const Case cases[] = {{0, 0, 0},     {127, 0, 127},   {128, 0, 128},
                          {129, 128, 1}, {256, 128, 128}, {257, 256, 1}};
    for (const Case& c : cases) {
        const std::vector<uint8_t> msg = pattern(c.len);
        Blake2bState state;
        blake2b_init(state, 64);
        blake2b_update(state, msg.data(), msg.size());
        EXPECT_EQ(state.t0, c.t0_before_final) << c.len;
        EXPECT_EQ(state.buflen, c.buflen_before_final) << c.len;

        // The finalisation is one compression with the whole length and the last flag.
        Blake2bState manual = state;
        uint8_t block[128] = {};
        std::memcpy(block, manual.buf, manual.buflen);
        manual.t0 += manual.buflen;
        blake2b_compress(manual, block, true);
        uint8_t out[64];
        blake2b_final(state, out);
        EXPECT_EQ(std::memcmp(out, manual.h, 64), 0) << c.len;
    }
}

TEST(Blake2b, CounterCarriesIntoHighWord) {
    Blake2bState state;
    blake2b_init(state, 64);
    state.t0 = ~uint64_t{0} - 63;
    const std::vector<uint8_t> msg = pattern(129);
    blake2b_update(state, msg.data(), msg.size());
    EXPECT_EQ(state.t0, 64u);
    EXPECT_EQ(state.t1, 1u);
}

TEST(Blake2b, SplitUpdatesEqualOneUpdate) {
    const std::vector<uint8_t> msg = pattern(1028);
    std::mt19937 rng(1);
    for (size_t outlen : {32u, 64u}) {
        const std::vector<uint8_t> whole = digest(msg, outlen);
        std::vector<std::vector<size_t>> splits = {
            std::vector<size_t>(msg.size(), 1),            // byte by byte
            {4, 4, 4, 4, 4, 4, 4, 120, 4, 16, 4, 4, 852},  // the way H0 is fed
            {128, 128, 0, 772},                            // whole blocks and an empty one
        };
        std::vector<size_t> random;
        for (size_t left = msg.size(); left > 0;) {
            size_t n = rng() % 300;
            if (n > left) n = left;
            random.push_back(n);
            left -= n;
        }
        splits.push_back(random);
        for (const auto& split : splits) {
            Blake2bState state;
            blake2b_init(state, outlen);
            size_t at = 0;
            for (size_t n : split) {
                blake2b_update(state, msg.data() + at, n);
                at += n;
            }
            ASSERT_EQ(at, msg.size());
            std::vector<uint8_t> out(outlen);
            blake2b_final(state, out.data());
            EXPECT_EQ(out, whole) << "outlen " << outlen << " split of " << split.size();
        }
    }
}

// libsodium's BLAKE2b as a second oracle over many lengths, output sizes and keys.
TEST(Blake2b, MatchesLibsodiumAcrossLengthsAndKeys) {
#ifndef MINTRAKEL_HAVE_SODIUM
    GTEST_SKIP() << "libsodium not available";
#else
    ASSERT_GE(sodium_init(), 0);
    const std::vector<uint8_t> msg = pattern(600);
    const std::vector<uint8_t> key = pattern(64);
    for (size_t outlen : {16u, 32u, 64u}) {
        for (size_t keylen : {0u, 1u, 64u}) {
            for (size_t len = 0; len <= msg.size(); len += (len < 260 ? 1 : 37)) {
                uint8_t want[64], got[64];
                ASSERT_EQ(crypto_generichash(want, outlen, msg.data(), len,
                                             keylen ? key.data() : nullptr, keylen),
                          0);
                Blake2bState state;
                blake2b_init(state, outlen, keylen ? key.data() : nullptr, keylen);
                blake2b_update(state, msg.data(), len);
                blake2b_final(state, got);
                ASSERT_EQ(std::memcmp(got, want, outlen), 0)
                    << "outlen " << outlen << " keylen " << keylen << " len " << len;
            }
        }
    }
#endif
}

TEST(Blake2b, OutputLengthIsPartOfTheParameterBlock) {
    const std::vector<uint8_t> msg = pattern(50);
    const std::vector<uint8_t> d32 = digest(msg, 32);
    const std::vector<uint8_t> d64 = digest(msg, 64);
    EXPECT_NE(std::vector<uint8_t>(d64.begin(), d64.begin() + 32), d32);
    Blake2bState state;
    blake2b_init(state, 32);
    EXPECT_EQ(state.h[0], 0x6a09e667f2bdc928ULL);
    blake2b_init(state, 64);
    EXPECT_EQ(state.h[0], 0x6a09e667f2bdc948ULL);
}

TEST(Blake2b, LongHashShape) {
    uint8_t in[72];
    for (int i = 0; i < 72; ++i) in[i] = static_cast<uint8_t>(3 * i);
    uint8_t out[1024 + 16];
    std::memset(out, 0xa5, sizeof out);
    blake2b_long(out, in);
    for (size_t i = 1024; i < sizeof out; ++i) ASSERT_EQ(out[i], 0xa5) << "wrote past 1024";

    // First 32 bytes: the first half of BLAKE2b-512 over LE32(1024) || input.
    std::vector<uint8_t> prefixed = {0x00, 0x04, 0x00, 0x00};
    prefixed.insert(prefixed.end(), in, in + 72);
    const std::vector<uint8_t> v1 = digest(prefixed, 64);
    EXPECT_EQ(std::memcmp(out, v1.data(), 32), 0);

    // The whole output equals the general H', whose last 64 bytes are one BLAKE2b-512 output.
    const std::vector<uint8_t> general = test_support::argon2_hprime(1024, in, 72);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 1024), general);
    std::vector<uint8_t> v = v1;
    for (int i = 2; i <= 30; ++i) v = digest(v, 64);
    EXPECT_EQ(std::memcmp(out + 960, digest(v, 64).data(), 64), 0);
}

}  // namespace
}  // namespace orvo::qel
