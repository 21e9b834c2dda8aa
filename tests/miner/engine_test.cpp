#include "miner/engine.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>

namespace orvo::qel {
namespace {

constexpr unsigned OSXSAVE = 1u << 27;
constexpr unsigned AVX2 = 1u << 5;
constexpr unsigned F = 1u << 16;
constexpr unsigned BW = 1u << 30;
constexpr unsigned VL = 1u << 31;
constexpr unsigned long long XCR0_FULL = 0xE7;  // x87 + SSE + AVX + opmask + ZMM halves

using enum CpuFeature;
const CpuFeatures ALL{avx2, avx512f, avx512vl, avx512bw};
const CpuFeatures AVX2_ONLY{avx2};
const CpuFeatures NO_BW{avx2, avx512f, avx512vl};
const CpuFeatures AVX512_NO_AVX2{avx512f, avx512vl, avx512bw};
const CpuFeatures NONE{};

struct FeatureCase {
    const char* name;
    CpuidReadings readings;
    CpuFeatures expected;
};

TEST(FeaturesFromCpuid, FollowsCpuidAndEnabledRegisterState) {
    const FeatureCase cases[] = {
        {"everything", {0x16, OSXSAVE, AVX2 | F | VL | BW, XCR0_FULL}, ALL},
        {"avx2 only", {0x16, OSXSAVE, AVX2, 0x7}, AVX2_ONLY},
        {"F and VL without BW", {0x16, OSXSAVE, AVX2 | F | VL, XCR0_FULL}, NO_BW},
        // The OS saves AVX state but not the AVX-512 registers: no AVX-512 whatever CPUID says.
        {"xcr0 without zmm state", {0x16, OSXSAVE, AVX2 | F | VL | BW, 0x7}, AVX2_ONLY},
        {"xcr0 missing one zmm bit", {0x16, OSXSAVE, AVX2 | F | VL | BW, 0xA7}, AVX2_ONLY},
        // No AVX state enabled: neither engine, also not AVX-512 (its mask includes bits 1, 2).
        {"xcr0 without avx state", {0x16, OSXSAVE, AVX2 | F | VL | BW, 0xE3}, NONE},
        {"xcr0 sse only", {0x16, OSXSAVE, AVX2 | F | VL | BW, 0x3}, NONE},
        {"no osxsave", {0x16, 0, AVX2 | F | VL | BW, XCR0_FULL}, NONE},
        {"max leaf below 7", {6, OSXSAVE, AVX2 | F | VL | BW, XCR0_FULL}, NONE},
        {"max leaf exactly 7", {7, OSXSAVE, AVX2, 0x7}, AVX2_ONLY},
        {"nothing", {0, 0, 0, 0}, NONE},
    };
    for (const auto& c : cases) {
        CpuFeatures got = features_from_cpuid(c.readings);
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

// A feature that an engine needs but the CPU check never sets would leave that engine unused on
// every CPU. Readings with every bit set, in every field, must show all that any engine needs.
TEST(FeaturesFromCpuid, FindsEveryFeatureThatAnEngineNeeds) {
    std::array<unsigned char, sizeof(CpuidReadings)> ones;
    ones.fill(0xff);
    const CpuFeatures found = features_from_cpuid(std::bit_cast<CpuidReadings>(ones));
    for (const EngineInfo& engine : engine_table()) {
        EXPECT_TRUE(has_features(found, engine.needs)) << engine.name;
    }
}

TEST(FeaturesFromCpuid, ThisMachineAgreesWithTheCompilerDetection) {
    CpuFeatures f = detect_cpu_features();
    __builtin_cpu_init();
    EXPECT_EQ(f.has(avx2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(f.has(avx512f), __builtin_cpu_supports("avx512f") != 0);
    EXPECT_EQ(f.has(avx512vl), __builtin_cpu_supports("avx512vl") != 0);
    EXPECT_EQ(f.has(avx512bw), __builtin_cpu_supports("avx512bw") != 0);
}

const char NO_ENGINE[] = "this CPU has neither AVX-512 nor AVX2: not supported";
const char NO_AVX512[] = "AVX-512 engine requested but this CPU has no AVX-512 (F, VL, BW)";

TEST(ChooseEngine, Table) {
    struct Case {
        CpuFeatures features;
        const char* request;
        std::optional<EngineKind> engine;
        const char* error;
    };
    const Case cases[] = {
        {ALL, "avx512", EngineKind::avx512, ""},
        {AVX512_NO_AVX2, "avx512", EngineKind::avx512, ""},
        {AVX2_ONLY, "avx512", std::nullopt, NO_AVX512},
        {NO_BW, "avx512", std::nullopt, NO_AVX512},
        {NONE, "avx512", std::nullopt, NO_ENGINE},
        {ALL, "avx2", EngineKind::avx2, ""},
        {AVX2_ONLY, "avx2", EngineKind::avx2, ""},
        {AVX512_NO_AVX2, "avx2", std::nullopt, NO_ENGINE},
        {NONE, "avx2", std::nullopt, NO_ENGINE},
        {ALL, "", EngineKind::avx512, ""},
        {ALL, "AVX2", EngineKind::avx512, ""},  // requests are case-sensitive
        {AVX2_ONLY, "AVX512", EngineKind::avx2, ""},
        {NO_BW, "", EngineKind::avx2, ""},
        {AVX512_NO_AVX2, "best", EngineKind::avx512, ""},
        {AVX2_ONLY, "", EngineKind::avx2, ""},
        {NONE, "", std::nullopt, NO_ENGINE},
        {NONE, "avx2 ", std::nullopt, NO_ENGINE},
    };
    for (const auto& c : cases) {
        EngineChoice got = choose_engine(c.features, engine_named(c.request));
        EXPECT_EQ(got.engine, c.engine) << "request '" << c.request << "'";
        EXPECT_EQ(got.error, c.error) << "request '" << c.request << "'";
    }
}

// The choice walks the engine table: a CPU with just what an engine needs runs it when asked by
// its name, and the engine's name is what the summary shows.
TEST(ChooseEngine, EveryEngineOfTheTableIsChosenByItsNameOnACpuWithJustItsNeeds) {
    for (const EngineInfo& engine : engine_table()) {
        EngineChoice got = choose_engine(engine.needs, engine.kind);
        EXPECT_EQ(got.engine, engine.kind) << engine.name;
        EXPECT_EQ(got.error, "") << engine.name;
        EXPECT_STREQ(engine_display_name(engine.kind), engine.name);
    }
}

}  // namespace
}  // namespace orvo::qel
