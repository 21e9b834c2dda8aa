#include "pow/engines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "pow/pow_hash.h"
#include "support/aligned_arena.h"
#include "support/argon2_reference.h"

#ifdef MINTRAKEL_HAVE_SODIUM
#include <sodium.h>
#endif

namespace orvo::qel {
namespace {

using Hash = std::vector<uint8_t>;
using Header = std::vector<uint8_t>;

struct Sample {
    Header header;
    uint64_t nonce;
    Hash expected;  // from the general reference or libsodium
};

bool cpu_has_avx2() {
    return __builtin_cpu_supports("avx2");
}
bool cpu_has_avx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512bw");
}

struct EngineCase {
    std::string name;
    bool (*supported)();
    bool (*build_table)();
    bool store_mode;  // the flag set before each call; only the AVX-512 dispatcher reads it
    PowHashFn hash;
};

void PrintTo(const EngineCase& c, std::ostream* os) { *os << c.name; }

std::vector<EngineCase> engine_cases() {
    return {
        {"avx2", cpu_has_avx2, build_reference_table_avx2, false, pow_hash_avx2},
        {"avx2_nt_flag", cpu_has_avx2, build_reference_table_avx2, true, pow_hash_avx2},
        {"avx512", cpu_has_avx512, build_reference_table_avx512, false, pow_hash_avx512_dispatch},
        {"avx512_nt", cpu_has_avx512, build_reference_table_avx512, true, pow_hash_avx512_dispatch},
    };
}

Header random_header(std::mt19937_64& rng) {
    Header h(HEADER_BYTES);
    for (auto& b : h) b = static_cast<uint8_t>(rng());
    return h;
}

Hash sodium_hash(const Header& header, uint64_t nonce) {
#ifdef MINTRAKEL_HAVE_SODIUM
    uint8_t password[HEADER_BYTES + 8];
    std::memcpy(password, header.data(), HEADER_BYTES);
    for (int i = 0; i < 8; ++i) password[HEADER_BYTES + i] = static_cast<uint8_t>(nonce >> (8 * i));
    Hash out(HASH_BYTES);
    const int rc = crypto_pwhash(out.data(), out.size(), reinterpret_cast<const char*>(password),
                                 sizeof password, reinterpret_cast<const uint8_t*>(POW_SALT), 1,
                                 ARENA_BYTES, crypto_pwhash_ALG_ARGON2ID13);
    if (rc != 0) out.clear();
    return out;
#else
    (void)header;
    (void)nonce;
    return {};
#endif
}

Hash reference_hash(const Header& header, uint64_t nonce) {
    Hash out(HASH_BYTES);
    test_support::coin_hash_reference(header.data(), nonce, out.data());
    return out;
}

// Known answers shared by all engines: a few from the general reference (slow), the rest from
// libsodium when it is present. Nonces include the byte-order and range edges.
const std::vector<Sample>& samples() {
    static const std::vector<Sample> all = [] {
        std::vector<Sample> s;
        std::mt19937_64 rng(20240601);
        const uint64_t edge_nonces[] = {0, 1, 0x0102030405060708ULL, ~uint64_t{0}};
        for (uint64_t nonce : edge_nonces) {
            Header h = random_header(rng);
            s.push_back({h, nonce, reference_hash(h, nonce)});
        }
#ifdef MINTRAKEL_HAVE_SODIUM
        if (sodium_init() >= 0) {
            for (int i = 0; i < 12; ++i) {
                Header h = random_header(rng);
                const uint64_t nonce = rng();
                s.push_back({h, nonce, sodium_hash(h, nonce)});
            }
        }
#endif
        return s;
    }();
    return all;
}

std::string hex(const Hash& h) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : h) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

class EngineTest : public ::testing::TestWithParam<EngineCase> {
  protected:
    void SetUp() override {
        const EngineCase& c = GetParam();
        if (!c.supported()) GTEST_SKIP() << "this CPU lacks the instruction set of " << c.name;
        ASSERT_TRUE(c.build_table());
        set_store_mode(c.store_mode);
    }
    void TearDown() override { set_store_mode(false); }

    Hash run(const Header& header, uint64_t nonce) {
        Hash out(HASH_BYTES + 8, 0xee);
        GetParam().hash(arena_.arena(), header.data(), nonce, out.data());
        for (size_t i = HASH_BYTES; i < out.size(); ++i)
            EXPECT_EQ(out[i], 0xee) << "wrote past the 32-byte output";
        out.resize(HASH_BYTES);
        return out;
    }

    test_support::AlignedArena arena_;
};

TEST_P(EngineTest, MatchesKnownAnswersWhateverTheArenaHeld) {
    std::mt19937_64 rng(99);
    for (const Sample& s : samples()) {
        ASSERT_EQ(s.expected.size(), HASH_BYTES);
        arena_.fill_random(rng);
        EXPECT_EQ(hex(run(s.header, s.nonce)), hex(s.expected)) << "nonce " << s.nonce;
    }
}

TEST_P(EngineTest, RepeatedCallsAgree) {
    std::mt19937_64 rng(5);
    const Header h = random_header(rng);
    const Hash first = run(h, 42);
    EXPECT_EQ(run(h, 42), first);
    arena_.fill_random(rng);
    EXPECT_EQ(run(h, 42), first);
    EXPECT_NE(run(h, 43), first);
    Header changed = h;
    changed[HEADER_BYTES - 1] ^= 1;
    EXPECT_NE(run(changed, 42), first);
}

TEST_P(EngineTest, AgreesWithLibsodiumOnManyInputs) {
#ifndef MINTRAKEL_HAVE_SODIUM
    GTEST_SKIP() << "libsodium not available";
#else
    ASSERT_GE(sodium_init(), 0);
    std::mt19937_64 rng(std::hash<std::string>{}(GetParam().name));
    for (int i = 0; i < 24; ++i) {
        const Header h = random_header(rng);
        const uint64_t nonce = rng();
        if (i % 4 == 0) arena_.fill_random(rng);
        EXPECT_EQ(hex(run(h, nonce)), hex(sodium_hash(h, nonce))) << "case " << i;
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(AllEngines, EngineTest, ::testing::ValuesIn(engine_cases()),
                         [](const auto& info) { return info.param.name; });

struct TableCase {
    std::string name;
    bool (*supported)();
    bool (*build)();
    const ReferenceTable* (*get)();
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

class ReferenceTableTest : public ::testing::TestWithParam<TableCase> {
  protected:
    void SetUp() override {
        if (!GetParam().supported()) GTEST_SKIP() << "this CPU lacks " << GetParam().name;
    }
};

TEST_P(ReferenceTableTest, EqualsTheGeneralAddressingAndIsStable) {
    const TableCase& c = GetParam();
    ASSERT_TRUE(c.build());
    const ReferenceTable* table = c.get();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(table) % 64, 0u);

    const std::vector<uint32_t> expected = test_support::coin_reference_indices();
    EXPECT_EQ(table->index[2], 0u);
    for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j) {
        ASSERT_LE(table->index[j], j - 2) << "entry " << j;
        ASSERT_EQ(table->index[j], expected[j]) << "entry " << j;
    }

    std::vector<uint32_t> before(table->index, table->index + DATA_INDEPENDENT_BLOCKS);
    ASSERT_TRUE(c.build());
    EXPECT_EQ(c.get(), table);
    EXPECT_TRUE(std::equal(before.begin() + 2, before.end(), table->index + 2));
}

INSTANTIATE_TEST_SUITE_P(
    BothBuilders, ReferenceTableTest,
    ::testing::Values(
        TableCase{"avx2", cpu_has_avx2, build_reference_table_avx2, reference_table_avx2},
        TableCase{"avx512", cpu_has_avx512, build_reference_table_avx512, reference_table_avx512}),
    [](const auto& info) { return info.param.name; });

TEST(ReferenceTables, BothBuildersAgree) {
    if (!cpu_has_avx512()) GTEST_SKIP() << "this CPU lacks AVX-512; only one table can be built";
    ASSERT_TRUE(build_reference_table_avx2());
    ASSERT_TRUE(build_reference_table_avx512());
    for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j)
        ASSERT_EQ(reference_table_avx2()->index[j], reference_table_avx512()->index[j]) << j;
}

// The compute-floor compression is G itself, in standard order for the AVX2 engine, including
// when the running output aliases nothing and the inputs are arbitrary words.
TEST(CompressBlockAvx2, EqualsArgon2Compression) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "this CPU lacks AVX2";
    std::mt19937_64 rng(3);
    for (int round = 0; round < 8; ++round) {
        Block x, y, got, want;
        for (int i = 0; i < 128; ++i) {
            x.v[i] = rng();
            y.v[i] = round == 0 ? 0 : rng();
        }
        compress_block_avx2(x, y, got);
        test_support::argon2_compress(x.v, y.v, want.v);
        EXPECT_EQ(std::memcmp(got.v, want.v, sizeof want.v), 0) << "round " << round;
    }
}

}  // namespace
}  // namespace orvo::qel
