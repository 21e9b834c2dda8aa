// The benchmark's lines, printed from the main loop's tick.
#pragma once

#include <cstdint>

#include "monitor/rate_history.h"

namespace orvo::qel {

inline constexpr uint64_t BENCH_WINDOW_TICK = 55;
inline constexpr int32_t BENCH_WINDOW_SAMPLES = 35;  // seconds 20 to 55: warm-up left out

// Called after each new sample. At tick 55 prints the "window 20-55 s: " line; once the
// duration is reached prints "<threads> threads: <rate> over <duration> s" and returns true
// (the run is over). The result is the mean over every sample of the run, however long;
// `threads` are the threads that hashed, which is fewer than asked for when some got no arena.
bool run_bench_report(const RateHistory& history, int32_t bench_seconds, int32_t threads);

// The red "bench" line of a benchmark in which no thread could hash.
void report_bench_without_hashing();

}  // namespace orvo::qel
