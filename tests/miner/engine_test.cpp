#include "miner/engine.h"

#include <gtest/gtest.h>

namespace orvo::qel {
namespace {

constexpr unsigned OSXSAVE = 1u << 27;
constexpr unsigned AVX2 = 1u << 5;
constexpr unsigned F = 1u << 16;
constexpr unsigned BW = 1u << 30;
constexpr unsigned VL = 1u << 31;
constexpr unsigned long long XCR0_FULL = 0xE7;  // x87 + SSE + AVX + opmask + ZMM halves

struct FeatureCase {
    const char* name;
    CpuidReadings readings;
    CpuFeatures expected;
};

TEST(FeaturesFromCpuid, FollowsCpuidAndEnabledRegisterState) {
    const FeatureCase cases[] = {
        {"everything", {0x16, OSXSAVE, AVX2 | F | VL | BW, XCR0_FULL}, {true, true, true, true}},
        {"avx2 only", {0x16, OSXSAVE, AVX2, 0x7}, {true, false, false, false}},
        {"F and VL without BW",
         {0x16, OSXSAVE, AVX2 | F | VL, XCR0_FULL},
         {true, true, true, false}},
        // The OS saves AVX state but not the AVX-512 registers: no AVX-512 whatever CPUID says.
        {"xcr0 without zmm state",
         {0x16, OSXSAVE, AVX2 | F | VL | BW, 0x7},
         {true, false, false, false}},
        {"xcr0 missing one zmm bit",
         {0x16, OSXSAVE, AVX2 | F | VL | BW, 0xA7},
         {true, false, false, false}},
        // No AVX state enabled: neither engine, also not AVX-512 (its mask includes bits 1, 2).
        {"xcr0 without avx state",
         {0x16, OSXSAVE, AVX2 | F | VL | BW, 0xE3},
         {false, false, false, false}},
        {"xcr0 sse only", {0x16, OSXSAVE, AVX2 | F | VL | BW, 0x3}, {false, false, false, false}},
        {"no osxsave", {0x16, 0, AVX2 | F | VL | BW, XCR0_FULL}, {false, false, false, false}},
        {"max leaf below 7",
         {6, OSXSAVE, AVX2 | F | VL | BW, XCR0_FULL},
         {false, false, false, false}},
        {"max leaf exactly 7", {7, OSXSAVE, AVX2, 0x7}, {true, false, false, false}},
        {"nothing", {0, 0, 0, 0}, {false, false, false, false}},
    };
    for (const auto& c : cases) {
        CpuFeatures got = features_from_cpuid(c.readings);
        EXPECT_EQ(got.avx2, c.expected.avx2) << c.name;
        EXPECT_EQ(got.avx512f, c.expected.avx512f) << c.name;
        EXPECT_EQ(got.avx512vl, c.expected.avx512vl) << c.name;
        EXPECT_EQ(got.avx512bw, c.expected.avx512bw) << c.name;
    }
}

TEST(FeaturesFromCpuid, ThisMachineAgreesWithTheCompilerDetection) {
    CpuFeatures f = detect_cpu_features();
    __builtin_cpu_init();
    EXPECT_EQ(f.avx2, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(f.avx512f, __builtin_cpu_supports("avx512f") != 0);
    EXPECT_EQ(f.avx512vl, __builtin_cpu_supports("avx512vl") != 0);
    EXPECT_EQ(f.avx512bw, __builtin_cpu_supports("avx512bw") != 0);
}

const char NO_ENGINE[] = "this CPU has neither AVX-512 nor AVX2: not supported";
const char NO_AVX512[] = "AVX-512 engine requested but this CPU has no AVX-512 (F, VL, BW)";

TEST(ChooseEngine, Table) {
    const CpuFeatures all{true, true, true, true};
    const CpuFeatures avx2_only{true, false, false, false};
    const CpuFeatures no_bw{true, true, true, false};
    const CpuFeatures avx512_no_avx2{false, true, true, true};
    const CpuFeatures none{};
    struct Case {
        CpuFeatures features;
        const char* request;
        std::optional<EngineKind> engine;
        const char* error;
    };
    const Case cases[] = {
        {all, "avx512", EngineKind::avx512, ""},
        {avx512_no_avx2, "avx512", EngineKind::avx512, ""},
        {avx2_only, "avx512", std::nullopt, NO_AVX512},
        {no_bw, "avx512", std::nullopt, NO_AVX512},
        {none, "avx512", std::nullopt, NO_ENGINE},
        {all, "avx2", EngineKind::avx2, ""},
        {avx2_only, "avx2", EngineKind::avx2, ""},
        {avx512_no_avx2, "avx2", std::nullopt, NO_ENGINE},
        {none, "avx2", std::nullopt, NO_ENGINE},
        {all, "", EngineKind::avx512, ""},
        {all, "AVX2", EngineKind::avx512, ""},  // requests are case-sensitive
        {avx2_only, "AVX512", EngineKind::avx2, ""},
        {no_bw, "", EngineKind::avx2, ""},
        {avx512_no_avx2, "best", EngineKind::avx512, ""},
        {avx2_only, "", EngineKind::avx2, ""},
        {none, "", std::nullopt, NO_ENGINE},
        {none, "avx2 ", std::nullopt, NO_ENGINE},
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
