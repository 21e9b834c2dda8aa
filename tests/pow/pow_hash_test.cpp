#include "pow/pow_hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pow/blake2b.h"

namespace orvo::qel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes repeat(uint8_t b) {
    return Bytes(32, b);
}
Bytes with(Bytes v, size_t i, uint8_t b) {
    v[i] = b;
    return v;
}

TEST(MeetsTarget, Table) {
    Bytes ascending(32);
    for (size_t i = 0; i < 32; ++i) ascending[i] = static_cast<uint8_t>(i + 1);
    Bytes reversed(ascending.rbegin(), ascending.rend());
    struct Case {
        const char* name;
        Bytes hash;
        Bytes target;
        bool meets;
    };
    const Case cases[] = {
        {"equal as numbers", reversed, ascending, true},
        {"equal bytes are not equal numbers", ascending, ascending, false},
        {"zero target, zero hash", repeat(0), repeat(0), true},
        {"zero target, smallest nonzero hash", with(repeat(0), 0, 1), repeat(0), false},
        {"zero target, high byte set", with(repeat(0), 31, 1), repeat(0), false},
        {"all-ones target, all-ones hash", repeat(0xff), repeat(0xff), true},
        {"all-ones target, any hash", ascending, repeat(0xff), true},
        {"hash top byte below target top byte", with(repeat(0xff), 31, 0x10),
         with(repeat(0), 0, 0x11), true},
        {"hash top byte above target top byte", with(repeat(0), 31, 0x12),
         with(repeat(0xff), 0, 0x11), false},
        {"hash byte 0 above target byte 31, rest equal", with(repeat(0x55), 0, 0x56), repeat(0x55),
         false},
        {"hash byte 0 below target byte 31, rest equal", with(repeat(0x55), 0, 0x54), repeat(0x55),
         true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(meets_target(c.hash.data(), c.target.data()), c.meets) << c.name;
}

// H0 over the expected field sequence, with the password's last 8 bytes given explicitly.
Bytes expected_h0(const uint8_t* header, const uint8_t nonce_bytes[8]) {
    Bytes in;
    auto le32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) in.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    for (uint32_t v : {1u, 32u, 8192u, 1u, 0x13u, 2u, 120u}) le32(v);
    in.insert(in.end(), header, header + HEADER_BYTES);
    in.insert(in.end(), nonce_bytes, nonce_bytes + 8);
    le32(16);
    in.insert(in.end(), POW_SALT, POW_SALT + 16);
    le32(0);
    le32(0);
    Bytes out(64);
    blake2b(out.data(), 64, in.data(), in.size());
    return out;
}

TEST(PowH0, NonceIsLittleEndianAfterTheHeader) {
    uint8_t header[HEADER_BYTES];
    for (size_t i = 0; i < HEADER_BYTES; ++i) header[i] = static_cast<uint8_t>(0xa0 ^ i);
    struct Case {
        uint64_t nonce;
        uint8_t bytes[8];
    };
    const Case cases[] = {
        {1, {1, 0, 0, 0, 0, 0, 0, 0}},
        {0x0102030405060708ULL, {8, 7, 6, 5, 4, 3, 2, 1}},
        {~uint64_t{0}, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    };
    for (const Case& c : cases) {
        Bytes h0(64);
        pow_h0(header, c.nonce, h0.data());
        EXPECT_EQ(h0, expected_h0(header, c.bytes)) << c.nonce;
    }
}

TEST(PowSeedInput, IndexThenLaneZero) {
    uint8_t h0[64];
    for (int i = 0; i < 64; ++i) h0[i] = static_cast<uint8_t>(i);
    uint8_t in[72];
    pow_seed_input(h0, 1, in);
    EXPECT_EQ(std::memcmp(in, h0, 64), 0);
    const uint8_t tail[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(in + 64, tail, 8), 0);
}

TEST(PowTag, IsBlake2b32OverLengthAndBlock) {
    uint8_t block[BLOCK_BYTES];
    for (size_t i = 0; i < BLOCK_BYTES; ++i) block[i] = static_cast<uint8_t>(i * 13);
    Bytes in = {32, 0, 0, 0};
    in.insert(in.end(), block, block + BLOCK_BYTES);
    Bytes want(32), got(32);
    blake2b(want.data(), 32, in.data(), in.size());
    pow_tag(block, got.data());
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace orvo::qel
