#include "support/argon2_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#ifdef MINTRAKEL_HAVE_SODIUM
#include <sodium.h>
#endif

namespace orvo::qel::test_support {
namespace {

std::vector<uint8_t> filled(size_t n, uint8_t value) {
    return std::vector<uint8_t>(n, value);
}

// RFC 9106 section 5.3: four lanes, three passes, secret and associated data all in play.
TEST(Argon2Reference, MatchesRfc9106Argon2idVector) {
    Argon2Params p;
    p.lanes = 4;
    p.passes = 3;
    p.memory_kib = 32;
    p.tag_bytes = 32;
    p.password = filled(32, 0x01);
    p.salt = filled(16, 0x02);
    p.secret = filled(8, 0x03);
    p.associated_data = filled(12, 0x04);
    const std::vector<uint8_t> expected = {
        0x0d, 0x64, 0x0d, 0xf5, 0x8d, 0x78, 0x76, 0x6c, 0x08, 0xc0, 0x37,
        0xa3, 0x4a, 0x8b, 0x53, 0xc9, 0xd0, 0x1e, 0xf0, 0x45, 0x2d, 0x75,
        0xb6, 0x5e, 0xb5, 0x25, 0x20, 0xe9, 0x6b, 0x01, 0xe6, 0x59,
    };
    EXPECT_EQ(argon2id(p), expected);
}

// libsodium fixes one lane and no secret; it still covers other memory sizes, passes and tag
// lengths than the RFC vector.
TEST(Argon2Reference, MatchesLibsodiumOnOneLane) {
#ifndef MINTRAKEL_HAVE_SODIUM
    GTEST_SKIP() << "libsodium not available";
#else
    ASSERT_GE(sodium_init(), 0);
    struct Case {
        uint32_t passes;
        uint32_t memory_kib;
        uint32_t tag_bytes;
        size_t password_bytes;
    };
    const Case cases[] = {{1, 8, 32, 0}, {1, 64, 16, 5}, {2, 256, 64, 120}, {3, 100, 100, 33}};
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        Argon2Params p;
        p.passes = c.passes;
        p.memory_kib = c.memory_kib;
        p.tag_bytes = c.tag_bytes;
        for (size_t i = 0; i < c.password_bytes; ++i) p.password.push_back(rng() & 0xff);
        for (size_t i = 0; i < crypto_pwhash_SALTBYTES; ++i) p.salt.push_back(rng() & 0xff);
        std::vector<uint8_t> expected(c.tag_bytes);
        // An empty vector's data() may be null, which crypto_pwhash must not be given.
        const char* password =
            p.password.empty() ? "" : reinterpret_cast<const char*>(p.password.data());
        ASSERT_EQ(crypto_pwhash(expected.data(), expected.size(), password, p.password.size(),
                                p.salt.data(), c.passes, size_t{c.memory_kib} * 1024,
                                crypto_pwhash_ALG_ARGON2ID13),
                  0);
        EXPECT_EQ(argon2id(p), expected) << "passes " << c.passes << " memory " << c.memory_kib;
    }
#endif
}

}  // namespace
}  // namespace orvo::qel::test_support
