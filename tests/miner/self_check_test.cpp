#include "miner/self_check.h"

#include <gtest/gtest.h>

#include <cstring>

#include "miner/arena.h"
#include "miner/engine.h"
#include "miner/intensity.h"
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

    Arena arenas[MAX_INTENSITY];
    for (Arena& a : arenas) ASSERT_TRUE(map_arena(a));
    const Arena& arena = arenas[0];
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
        // Side by side at every intensity, each slot in its own arena.
        const Hasher engine{hash, engine_info(*choice.engine).hash_many};
        for (int32_t n = 2; n <= MAX_INTENSITY; ++n) {
            EXPECT_TRUE(passes_self_check(engine, arenas, n, SELF_CHECK_ANSWER))
                << engine_display_name(mode.engine) << static_cast<int>(mode.stores) << " n=" << n;
        }
        install_engine(*choice.engine, StoreMode::ordinary);
        ++checked;
    }
    for (Arena& a : arenas) unmap_arena(a);
    EXPECT_GT(checked, 0);
}

// A fault in any one slot of a group fails the check, and the timing covers the same hashes
// one at a time and side by side. The stand-in hash echoes the header and the nonce, and the
// answer is its own.
void echo_one(const Arena&, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    std::memcpy(out, header, HASH_BYTES);
    std::memcpy(out, &nonce, sizeof nonce);
}
int32_t faulty_slot = -1;
void many_with_fault(const Arena* arenas, const uint8_t* const* headers, const uint64_t* nonces,
                     uint8_t (*outs)[HASH_BYTES], int32_t n) {
    for (int32_t i = 0; i < n; ++i) echo_one(arenas[i], headers[i], nonces[i], outs[i]);
    if (faulty_slot >= 0 && faulty_slot < n) outs[faulty_slot][7] ^= 4;
}
int64_t fake_now() {
    static int64_t t = 0;
    return t += 1000;
}

TEST(SelfCheck, AFaultInAnySlotFailsTheGroup) {
    Arena arenas[MAX_INTENSITY];
    const Hasher engine{echo_one, many_with_fault};
    KnownAnswer answer = SELF_CHECK_ANSWER;
    echo_one(arenas[0], answer.header, answer.nonce, answer.hash);
    for (int32_t slot = -1; slot < 3; ++slot) {
        faulty_slot = slot;
        IntensityTiming timing;
        EXPECT_EQ(passes_self_check(engine, arenas, 3, answer, &timing, fake_now), slot < 0)
            << slot;
        if (slot < 0) {
            EXPECT_EQ(timing.one_at_a_time_ns, 1000);
            EXPECT_EQ(timing.side_by_side_ns, 1000);
        }
    }
    faulty_slot = -1;
}

// The candidate is kept only when the threads' timings show it at least 1.02 times as fast, to
// the hundredth the line shows.
TEST(IntensityChoice, KeepsTheFasterAndSaysByHowMuch) {
    struct Case {
        int64_t one, many;
        int32_t timed;
        int32_t chosen;
        const char* line;
    } cases[] = {
        {1180, 1000, 2, 4,
         "intensity 4: 1.18\u00d7 the hash rate of intensity 1 at start-up, override with "
         "--intensity <n>"},
        {1019, 1000, 2, 4,
         "intensity 4: 1.02\u00d7 the hash rate of intensity 1 at start-up, override with "
         "--intensity <n>"},
        {1014, 1000, 2, 1,
         "intensity 1: intensity 4 ran at 1.01\u00d7 its hash rate at start-up, override with "
         "--intensity <n>"},
        {970, 1000, 1, 1,
         "intensity 1: intensity 4 ran at 0.97\u00d7 its hash rate at start-up, override with "
         "--intensity <n>"},
        {0, 0, 0, 1, "intensity 1: intensity 4 could not be timed, override with --intensity <n>"},
    };
    for (const Case& c : cases) {
        IntensityTrial trial;
        for (int32_t i = 0; i < c.timed; ++i) {
            trial.add({c.one / c.timed, c.many / c.timed});
        }
        const IntensityChoice choice = choose_intensity(trial, 4);
        EXPECT_EQ(choice.intensity, c.chosen) << c.one;
        EXPECT_EQ(intensity_line_text(choice, 4), c.line);
    }
}

}  // namespace
}  // namespace orvo::qel
