#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/bench_report.h"
#include "app/dev_fee.h"
#include "app/pause_lines.h"
#include "app/reporting.h"
#include "app/startup.h"
#include "base/console.h"
#include "monitor/rate_history.h"
#include "support/console_capture.h"

namespace orvo::qel {
namespace {

using test_support::capture_console;

RateHistory history_of(uint64_t ticks, uint64_t (*sample)(uint64_t)) {
    RateHistory h;
    for (uint64_t t = 1; t <= ticks; ++t) h.append(sample(t));
    return h;
}

// Every configured pool is listed at start-up in the order it will be tried, the backups marked.
TEST(StartupLines, PoolsInOrderWithTheBackupsMarked) {
    set_console_palette(false);
    RunConfig config;
    config.pools = {{"127.0.0.1", 1},
                    {"pool.example", 3360},
                    {"::1", 3333},
                    {"tls.example", 3361, true},
                    {"pinned.example", 3362, true, Fingerprint{0xab, 0x01}}};
    config.address = "qel1x";
    config.worker = "rig";
    config.threads = 1;
    const std::string out = capture_console([&] {
        print_summary(config, InstalledEngine{EngineKind::avx2, nullptr}, ThreadPlan{});
    });
    EXPECT_NE(out.find(" pool  127.0.0.1:1\n pool  pool.example:3360 (backup)\n"
                       " pool  [::1]:3333 (backup)\n pool  tls.example:3361 · TLS (backup)\n"
                       " pool  pinned.example:3362 · TLS · pinned ab01" +
                       std::string(60, '0') + " (backup)\n user  qel1x · worker rig\n"),
              std::string::npos)
        << out;
    // Through a proxy: every pool says so, the password never shown.
    config.pools.resize(2);
    config.proxy = parse_proxy_url("socks5h://u:secret@[::1]:1080");
    const std::string proxied = capture_console([&] {
        print_summary(config, InstalledEngine{EngineKind::avx2, nullptr}, ThreadPlan{});
    });
    EXPECT_NE(proxied.find(" pool  127.0.0.1:1 · via socks5h://u@[::1]:1080\n"
                           " pool  pool.example:3360 · via socks5h://u@[::1]:1080 (backup)\n"),
              std::string::npos)
        << proxied;
    EXPECT_EQ(proxied.find("secret"), std::string::npos);
}

TEST(RateHistory, Averages) {
    RateHistory empty;
    for (int32_t w : {0, 10, 60, 900}) EXPECT_EQ(empty.average_rate(w), 0.0);

    RateHistory ramp = history_of(20, [](uint64_t t) { return t; });  // 1..20
    EXPECT_DOUBLE_EQ(ramp.average_rate(10), 15.5);                    // 11..20
    EXPECT_DOUBLE_EQ(ramp.average_rate(60), 10.5);                    // all 20 samples
    EXPECT_DOUBLE_EQ(ramp.average_rate(1), 20.0);

    // After 1000 ticks the ring holds samples 100..1000; a 900 window is 101..1000.
    RateHistory wrapped = history_of(1000, [](uint64_t t) { return t; });
    EXPECT_DOUBLE_EQ(wrapped.average_rate(900), (101.0 + 1000.0) / 2);
    EXPECT_DOUBLE_EQ(wrapped.average_rate(10), (991.0 + 1000.0) / 2);
    // A window covering the whole run is the true mean, beyond what the ring holds.
    EXPECT_DOUBLE_EQ(wrapped.average_rate(1000), 500.5);
    EXPECT_DOUBLE_EQ(wrapped.average_rate(5000), 500.5);

    // The chart's series: the newest samples oldest first, never more than the ring holds.
    EXPECT_EQ(empty.newest(900), std::vector<uint64_t>{});
    EXPECT_EQ(ramp.newest(3), (std::vector<uint64_t>{18, 19, 20}));
    EXPECT_EQ(ramp.newest(900).size(), 20u);
    const std::vector<uint64_t> ring = wrapped.newest(5000);
    ASSERT_EQ(ring.size(), RATE_HISTORY_SLOTS);
    EXPECT_EQ(ring.front(), 100u);
    EXPECT_EQ(ring.back(), 1000u);
}

TEST(Reporting, StatusTextAfterTenEqualTicks) {
    RateHistory h = history_of(10, [](uint64_t) -> uint64_t { return 100; });
    ShareCounters shares;
    shares.accepted = 7;
    shares.rejected = 2;
    EXPECT_EQ(status_text(h, shares),
              "10s/60s/15m  100.00 H/s / 100.00 H/s / 100.00 H/s   parts 7/2");
}

TEST(Reporting, ShareResultLinesAndCounts) {
    set_console_palette(false);
    ShareCounters shares;
    std::string first_reason;
    std::string out = capture_console([&] {
        report_share_result(shares, true, "OK");
        report_share_result(shares, false, "low difficulty");
        first_reason = shares.last_rejection();
        report_share_result(shares, false, "");
        report_share_result(shares, true, "");
    });
    EXPECT_EQ(out,
              " share accepted (1/0)\n"
              " share REJECTED — low difficulty\n"
              " share REJECTED — \n"
              " share accepted (2/2)\n");
    EXPECT_EQ(shares.accepted, 2u);
    EXPECT_EQ(shares.rejected, 2u);
    EXPECT_EQ(first_reason, "low difficulty");
    EXPECT_EQ(shares.last_rejection(), "");  // an accepted share leaves the last reason alone
}

TEST(BenchReport, WindowAndResultLines) {
    set_console_palette(false);
    struct Case {
        int32_t duration;
        uint64_t ticks;
        bool done;
        const char* out;
    } cases[] = {
        {10, 9, false, ""},
        {10, 10, true, " bench 4 threads: 5.50 H/s over 10 s\n"},
        {55, 55, true, " bench window 20-55 s: 38.00 H/s\n bench 4 threads: 28.00 H/s over 55 s\n"},
        {60, 55, false, " bench window 20-55 s: 38.00 H/s\n"},
        {60, 60, true, " bench 4 threads: 30.50 H/s over 60 s\n"},
        {1000, 1000, true, " bench 4 threads: 500.50 H/s over 1000 s\n"},
    };
    for (const auto& c : cases) {
        RateHistory h = history_of(c.ticks, [](uint64_t t) { return t; });
        bool done = false;
        std::string out = capture_console([&] { done = run_bench_report(h, c.duration, 4); });
        EXPECT_EQ(done, c.done) << c.duration << "/" << c.ticks;
        EXPECT_EQ(out, c.out) << c.duration << "/" << c.ticks;
    }
}

TEST(DevFee, ScheduleByElapsedSeconds) {
    struct Case {
        uint64_t elapsed;
        bool wanted;
    } cases[] = {{0, false},     {5939, false},        {5940, true},  {5999, true},
                 {6000, false},  {11939, false},       {11940, true}, {11999, true},
                 {12000, false}, {600000 + 5945, true}};
    for (const auto& c : cases) EXPECT_EQ(dev_fee_wanted(c.elapsed), c.wanted) << c.elapsed;
}

TEST(DevFee, LoginSwitchesAddressAndWorkerOnly) {
    Login dev = fee_login(true, "qel1user", "rig7");
    EXPECT_EQ(dev.address.size(), 63u);
    EXPECT_EQ(dev.address.rfind("qel1", 0), 0u);
    EXPECT_EQ(dev.worker, "orvo");
    Login user = fee_login(false, "qel1user", "rig7");
    EXPECT_EQ(user.address, "qel1user");
    EXPECT_EQ(user.worker, "rig7");
}

}  // namespace
}  // namespace orvo::qel

namespace orvo::qel {
namespace {

// One line at each change of the reasons: why on a pause, the rest on a change while paused,
// how long on the resume; none while nothing changes.
TEST(PauseLines, OneLineAtEachChange) {
    using Clock = PauseLines::Clock;
    constexpr auto API = static_cast<PauseReasons>(PauseReason::api);
    constexpr auto HOT = static_cast<PauseReasons>(PauseReason::temperature);
    struct Step {
        int second;
        PauseReasons reasons;
        const char* line;  // "" for none
    } steps[] = {
        {1, 0, ""},
        {2, API, " pause hashing paused — api\n"},
        {3, API, ""},
        {5, API | HOT, " pause hashing still paused — api, temperature: CPU at 91.0 °C\n"},
        {9, HOT, " pause hashing still paused — temperature: CPU at 91.0 °C\n"},
        {77, 0, " pause hashing resumed after 1 min 15 s\n"},
        {78, 0, ""},
        {80, HOT, " pause hashing paused — temperature: CPU at 91.0 °C\n"},
        {7281, 0, " pause hashing resumed after 2 h 00 min\n"},
    };
    PauseLines lines;
    for (const Step& s : steps) {
        std::string said;
        lines.update(s.reasons, Clock::time_point{} + std::chrono::seconds(s.second),
                     "CPU at 91.0 °C", [&](const ReportLine& l) {
                         said += std::string(" ") + l.tag + " " + l.text + "\n";
                         EXPECT_EQ(l.colour,
                                   (s.reasons & HOT) ? LineColour::red : LineColour::gray);
                     });
        EXPECT_EQ(said, s.line) << s.second;
    }
    EXPECT_EQ(pause_duration_text(std::chrono::seconds(59)), "59 s");
}

}  // namespace
}  // namespace orvo::qel
