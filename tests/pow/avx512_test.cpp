// The AVX-512 engine's own pieces: its block row order, its compressions against the portable
// Argon2 compression, and the store-mode choice of the dispatcher.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "pow/engine_internal.h"
#include "pow/engine_table.h"
#include "pow/engines.h"
#include "pow/engines_here.h"
#include "pow/pow_hash.h"
#include "pow/store_mode.h"
#include "support/aligned_arena.h"
#include "support/argon2_reference.h"

namespace orvo::qel {
namespace {

class Avx512Test : public ::testing::Test {
  protected:
    void SetUp() override {
        const EngineInfo& engine = engine_info(EngineKind::avx512);
        if (!test_support::runs_here(engine)) GTEST_SKIP() << test_support::why_not_here(engine);
    }
};

Block random_block(uint64_t seed) {
    std::mt19937_64 rng(seed);
    Block b;
    for (uint64_t& w : b.v) w = rng();
    return b;
}

Block index_block() {
    Block b;
    for (uint64_t i = 0; i < 128; ++i) b.v[i] = i;
    return b;
}

bool same(const Block& a, const Block& b) {
    return std::memcmp(a.v, b.v, sizeof a.v) == 0;
}

// Row k carries quarter k % 4 of Argon2 rows 2 (k / 4) and 2 (k / 4) + 1.
TEST_F(Avx512Test, RowOrderPlacesQuartersOfArgonRowPairs) {
    struct Case {
        int row;
        int lower_first_word;
        int upper_first_word;
    };
    const Case cases[] = {{0, 0, 16},  {1, 4, 20},   {3, 12, 28},    {4, 32, 48},
                          {5, 36, 52}, {10, 72, 88}, {14, 104, 120}, {15, 108, 124}};
    Block rows;
    block_to_row_order_avx512(index_block(), rows);
    for (const Case& c : cases) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(rows.v[8 * c.row + i], uint64_t(c.lower_first_word + i)) << "row " << c.row;
            EXPECT_EQ(rows.v[8 * c.row + 4 + i], uint64_t(c.upper_first_word + i))
                << "row " << c.row;
        }
    }
}

TEST_F(Avx512Test, RowOrderRoundTripsAndMovesEveryWord) {
    for (const Block& original : {index_block(), random_block(1), random_block(2)}) {
        Block rows, back;
        block_to_row_order_avx512(original, rows);
        block_from_row_order_avx512(rows, back);
        EXPECT_TRUE(same(back, original));
        // Word 0 stays in place (the data-dependent reference reads it from either order).
        EXPECT_EQ(rows.v[0], original.v[0]);
    }
    // A permutation: the 128 indices all reappear.
    Block rows;
    block_to_row_order_avx512(index_block(), rows);
    bool seen[128] = {};
    for (uint64_t w : rows.v) {
        ASSERT_LT(w, 128u);
        EXPECT_FALSE(seen[w]) << "word " << w << " twice";
        seen[w] = true;
    }
}

TEST_F(Avx512Test, CompressZeroIsArgonCompressionWithZeroFirstOperand) {
    Block address_input = {};  // as the reference-table builder feeds it: slice 1, counter 3
    address_input.v[2] = 1;
    address_input.v[3] = ARENA_BLOCKS;
    address_input.v[4] = 1;
    address_input.v[5] = 2;
    address_input.v[6] = 3;
    Block all_ones;
    std::memset(all_ones.v, 0xff, sizeof all_ones.v);
    const Block zero = {};

    for (const Block& in : {zero, address_input, all_ones, random_block(7), index_block()}) {
        Block got, want;
        compress_zero(in, got);
        test_support::argon2_compress(zero.v, in.v, want.v);
        EXPECT_TRUE(same(got, want));
    }
}

TEST_F(Avx512Test, DispatcherFollowsTheStoreMode) {
    ASSERT_TRUE(build_reference_table_avx512());
    test_support::AlignedArena memory;
    ASSERT_NE(memory.arena().base, nullptr);
    memory.fill(0xa5);
    const Arena& arena = memory.arena();
    uint8_t header[HEADER_BYTES];
    for (size_t i = 0; i < HEADER_BYTES; ++i) header[i] = static_cast<uint8_t>(i * 5 + 1);
    uint8_t expected[HASH_BYTES];
    test_support::coin_hash_reference(header, 42, expected);

    struct Case {
        bool non_temporal;
        Avx512HashFn variant;
    };
    for (const Case& c : {Case{true, pow_hash_avx512_nt}, Case{false, pow_hash_avx512},
                          Case{true, pow_hash_avx512_nt}}) {
        set_store_mode(c.non_temporal);
        EXPECT_EQ(avx512_store_variant(), c.variant) << "non-temporal " << c.non_temporal;
        uint8_t out[HASH_BYTES] = {};
        pow_hash_avx512_dispatch(arena, header, 42, out);
        EXPECT_EQ(std::memcmp(out, expected, HASH_BYTES), 0) << "non-temporal " << c.non_temporal;
    }
    set_store_mode(false);
}

}  // namespace
}  // namespace orvo::qel
