#include "miner/self_check.h"

#include <gtest/gtest.h>

#include <cstring>

#include "miner/arena.h"
#include "miner/engine.h"
#include "support/argon2_reference.h"

namespace orvo::qel {
namespace {

TEST(SelfCheck, CompiledInAnswerIsTheReferenceHash) {
    uint8_t out[HASH_BYTES];
    test_support::coin_hash_reference(SELF_CHECK_ANSWER.header, SELF_CHECK_ANSWER.nonce, out);
    EXPECT_EQ(0, std::memcmp(out, SELF_CHECK_ANSWER.hash, HASH_BYTES));
}

// Every engine and store mode this CPU runs passes with the compiled-in answer and fails with
// an answer that differs in any one part: header, nonce or hash.
TEST(SelfCheck, EveryEngineOnThisCpuPassesTheAnswerAndCatchesAPlantedOne) {
    struct Mode {
        EngineKind engine;
        StoreMode stores;
    } modes[] = {{EngineKind::avx2, StoreMode::ordinary},
                 {EngineKind::avx512, StoreMode::ordinary},
                 {EngineKind::avx512, StoreMode::non_temporal}};
    KnownAnswer wrong_hash = SELF_CHECK_ANSWER;
    wrong_hash.hash[31] ^= 0x80;
    KnownAnswer wrong_nonce = SELF_CHECK_ANSWER;
    wrong_nonce.nonce ^= 1ull << 63;
    KnownAnswer wrong_header = SELF_CHECK_ANSWER;
    wrong_header.header[HEADER_BYTES - 1] ^= 1;
    const KnownAnswer* planted[] = {&wrong_hash, &wrong_nonce, &wrong_header};

    Arena arena;
    ASSERT_TRUE(map_arena(arena));
    int checked = 0;
    for (const Mode& mode : modes) {
        EngineChoice choice = choose_engine(detect_cpu_features(), mode.engine);
        if (choice.engine != mode.engine) continue;  // not on this CPU
        PowHashFn hash = install_engine(*choice.engine, mode.stores);
        ASSERT_NE(hash, nullptr);
        EXPECT_TRUE(passes_self_check(hash, arena, SELF_CHECK_ANSWER))
            << engine_display_name(mode.engine) << static_cast<int>(mode.stores);
        for (const KnownAnswer* answer : planted) {
            EXPECT_FALSE(passes_self_check(hash, arena, *answer))
                << engine_display_name(mode.engine) << static_cast<int>(mode.stores);
        }
        install_engine(*choice.engine, StoreMode::ordinary);
        ++checked;
    }
    unmap_arena(arena);
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace orvo::qel
