#include "pow/engine_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "pow/engine_internal.h"
#include "pow/engines.h"
#include "pow/engines_here.h"
#include "pow/pow_hash.h"
#include "pow/store_mode.h"
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

// The emulated AVX-512 copy is several times slower than the real code, more so in the sanitizer
// builds: a few known answers and cross-checks per engine there, many on real instructions.
constexpr int SODIUM_SAMPLES = test_support::AVX512_EMULATED ? 4 : 12;
constexpr int SODIUM_CROSS_CHECKS = test_support::AVX512_EMULATED ? 6 : 24;

struct EngineCase {
    std::string name;
    EngineInfo engine;
    bool store_mode;  // the flag set before each call; only some engines read it
};

void PrintTo(const EngineCase& c, std::ostream* os) {
    *os << c.name;
}

// Every engine under test in both store modes.
std::vector<EngineCase> engine_cases() {
    std::vector<EngineCase> cases;
    for (const EngineInfo& engine : test_support::engines_under_test()) {
        cases.push_back({engine.name, engine, false});
        const char* nt_suffix = engine.uses_store_mode ? "_nt" : "_nt_flag";
        cases.push_back({std::string(engine.name) + nt_suffix, engine, true});
    }
    return cases;
}

Header random_header(std::mt19937_64& rng) {
    Header h(HEADER_BYTES);
    for (auto& b : h) b = static_cast<uint8_t>(rng());
    return h;
}

#ifdef MINTRAKEL_HAVE_SODIUM
Hash sodium_hash(const Header& header, uint64_t nonce) {
    uint8_t password[HEADER_BYTES + 8];
    std::memcpy(password, header.data(), HEADER_BYTES);
    for (size_t i = 0; i < 8; ++i)
        password[HEADER_BYTES + i] = static_cast<uint8_t>(nonce >> (8 * i));
    Hash out(HASH_BYTES);
    const int rc = crypto_pwhash(out.data(), out.size(), reinterpret_cast<const char*>(password),
                                 sizeof password, reinterpret_cast<const uint8_t*>(POW_SALT), 1,
                                 ARENA_BYTES, crypto_pwhash_ALG_ARGON2ID13);
    if (rc != 0) out.clear();
    return out;
}
#endif

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
            for (int i = 0; i < SODIUM_SAMPLES; ++i) {
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
        if (!test_support::runs_here(c.engine))
            GTEST_SKIP() << test_support::why_not_here(c.engine);
        ASSERT_TRUE(c.engine.build_table());
        set_store_mode(c.store_mode);
    }
    void TearDown() override { set_store_mode(false); }

    Hash run(const Header& header, uint64_t nonce) {
        Hash out(HASH_BYTES + 8, 0xee);
        GetParam().engine.hash(arena_.arena(), header.data(), nonce, out.data());
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
    for (int i = 0; i < SODIUM_CROSS_CHECKS; ++i) {
        const Header h = random_header(rng);
        const uint64_t nonce = rng();
        if (i % 4 == 0) arena_.fill_random(rng);
        EXPECT_EQ(hex(run(h, nonce)), hex(sodium_hash(h, nonce))) << "case " << i;
    }
#endif
}

// n hashes in flight, and the same n hashes run stage by stage, each equal to its single hash:
// known answers with a header and nonce of their own per slot, and one header with consecutive
// nonces as a hashing thread carries them. The arenas start with unrelated leftovers.
TEST_P(EngineTest, HashesInFlightEqualSingleHashes) {
    const EngineInfo& engine = GetParam().engine;
    std::mt19937_64 rng(17);
    const Header shared = random_header(rng);
    test_support::AlignedArena memory[MAX_INTENSITY];
    Arena arenas[MAX_INTENSITY];
    for (int32_t i = 0; i < MAX_INTENSITY; ++i) arenas[i] = memory[i].arena();
    for (int32_t n = 1; n <= MAX_INTENSITY; ++n) {
        for (const bool known : {true, false}) {
            const uint8_t* headers[MAX_INTENSITY];
            uint64_t nonces[MAX_INTENSITY];
            Hash expected[MAX_INTENSITY];
            for (int32_t i = 0; i < n; ++i) {
                const Sample& s = samples()[static_cast<size_t>(n + i) % samples().size()];
                headers[i] = known ? s.header.data() : shared.data();
                nonces[i] =
                    known ? s.nonce : 1000 * static_cast<uint64_t>(n) + static_cast<uint64_t>(i);
                expected[i] = known ? s.expected : run(shared, nonces[i]);
            }
            for (const bool staged : {false, true}) {
                for (int32_t i = 0; i < n; ++i) memory[i].fill_random(rng);
                uint8_t outs[MAX_INTENSITY + 1][HASH_BYTES];
                std::memset(outs, 0xee, sizeof outs);
                if (staged) {
                    for (HashStage stage : {HashStage::seed, HashStage::data_independent,
                                            HashStage::data_dependent, HashStage::tag})
                        engine.stage(stage, arenas, headers, nonces, outs, n);
                } else {
                    engine.hash_many(arenas, headers, nonces, outs, n);
                }
                for (int32_t i = 0; i < n; ++i) {
                    EXPECT_EQ(hex(Hash(outs[i], outs[i] + HASH_BYTES)), hex(expected[i]))
                        << "n " << n << " slot " << i << (known ? " known" : " shared header")
                        << (staged ? " staged" : "");
                }
                EXPECT_EQ(outs[n][0], 0xee) << "wrote past slot " << n - 1;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllEngines, EngineTest, ::testing::ValuesIn(engine_cases()),
                         [](const auto& test) { return test.param.name; });

class ReferenceTableTest : public ::testing::TestWithParam<EngineInfo> {
  protected:
    void SetUp() override {
        if (!test_support::runs_here(GetParam()))
            GTEST_SKIP() << test_support::why_not_here(GetParam());
    }
};

TEST_P(ReferenceTableTest, EqualsTheGeneralAddressingAndIsStable) {
    const EngineInfo& engine = GetParam();
    ASSERT_TRUE(engine.build_table());
    const ReferenceTable* table = engine.table();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(table) % 64, 0u);

    const std::vector<uint32_t> expected = test_support::coin_reference_indices();
    EXPECT_EQ(table->index[2], 0u);
    for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j) {
        ASSERT_LE(table->index[j], j - 2) << "entry " << j;
        ASSERT_EQ(table->index[j], expected[j]) << "entry " << j;
    }

    std::vector<uint32_t> before(table->index, table->index + DATA_INDEPENDENT_BLOCKS);
    ASSERT_TRUE(engine.build_table());
    EXPECT_EQ(engine.table(), table);
    EXPECT_TRUE(std::equal(before.begin() + 2, before.end(), table->index + 2));
}

INSTANTIATE_TEST_SUITE_P(EveryBuilder, ReferenceTableTest,
                         ::testing::ValuesIn(test_support::engines_under_test()),
                         [](const auto& test) { return std::string(test.param.name); });

// The tables of all engines that run here, the emulated copy's included, are equal.
TEST(ReferenceTables, AllBuildersAgree) {
    std::vector<const ReferenceTable*> tables;
    for (const EngineInfo& engine : engine_table()) {
        if (!test_support::runs_here(engine)) continue;
        ASSERT_TRUE(engine.build_table()) << engine.name;
        tables.push_back(engine.table());
    }
    if (tables.size() < 2) GTEST_SKIP() << "only one table can be built here";
    for (size_t t = 1; t < tables.size(); ++t) {
        for (uint32_t j = 2; j < DATA_INDEPENDENT_BLOCKS; ++j)
            ASSERT_EQ(tables[t]->index[j], tables[0]->index[j]) << "table " << t << " entry " << j;
    }
}

// The compute-floor compression of every engine is G itself in the engine's arena word order,
// for arbitrary words and an all-zero reference.
class CompressTest : public ::testing::TestWithParam<EngineInfo> {
  protected:
    void SetUp() override {
        if (!test_support::runs_here(GetParam()))
            GTEST_SKIP() << test_support::why_not_here(GetParam());
    }
};

// The arena word order of each engine, as conversions from and to the standard order.
void to_arena_order(EngineKind kind, const Block& standard, Block& arena) {
    if (kind == EngineKind::avx512) {
        block_to_row_order_avx512(standard, arena);
    } else {
        arena = standard;
    }
}
void from_arena_order(EngineKind kind, const Block& arena, Block& standard) {
    if (kind == EngineKind::avx512) {
        block_from_row_order_avx512(arena, standard);
    } else {
        standard = arena;
    }
}

TEST_P(CompressTest, EqualsArgon2Compression) {
    const EngineInfo& engine = GetParam();
    std::mt19937_64 rng(3);
    for (int round = 0; round < 8; ++round) {
        Block x, y, x_arena, y_arena, out_arena, got, want;
        for (int i = 0; i < 128; ++i) {
            x.v[i] = rng();
            y.v[i] = round == 0 ? 0 : rng();
        }
        to_arena_order(engine.kind, x, x_arena);
        to_arena_order(engine.kind, y, y_arena);
        engine.compress(x_arena, y_arena, out_arena);
        from_arena_order(engine.kind, out_arena, got);
        test_support::argon2_compress(x.v, y.v, want.v);
        EXPECT_EQ(std::memcmp(got.v, want.v, sizeof want.v), 0) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryEngine, CompressTest,
                         ::testing::ValuesIn(test_support::engines_under_test()),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace orvo::qel
