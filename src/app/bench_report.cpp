#include "app/bench_report.h"

#include <string>

#include "base/console.h"

namespace orvo::qel {

bool run_bench_report(const RateHistory& history, int32_t bench_seconds, int32_t threads) {
    const uint64_t tick = history.count();
    if (tick == BENCH_WINDOW_TICK) {
        log_line(palette.bold, "bench",
                 "window 20-55 s: " + format_rate(history.average_rate(BENCH_WINDOW_SAMPLES)));
    }
    if (tick < static_cast<uint64_t>(bench_seconds)) return false;
    log_line(palette.bold, "bench",
             std::to_string(threads) +
                 " threads: " + format_rate(history.average_rate(bench_seconds)) + " over " +
                 std::to_string(bench_seconds) + " s");
    return true;
}

void report_bench_without_hashing() {
    log_line(palette.red, "bench", "no thread could hash \u2014 nothing measured");
}

}  // namespace orvo::qel
