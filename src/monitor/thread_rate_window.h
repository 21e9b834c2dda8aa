// Per-thread hash rates over the last few seconds, sampled once a tick by the main loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "monitor/rate_history.h"

namespace orvo::qel {

// Per-thread 10 s rates: one sample per tick of every thread's hash count, like the run's total.
class ThreadRateWindow {
  public:
    static constexpr int32_t WINDOW = 10;
    explicit ThreadRateWindow(size_t threads) : previous_(threads, 0), histories_(threads) {}
    // The threads' cumulative hash counts at this tick.
    void append(const std::vector<uint64_t>& counts);
    // Takes the counts as the baseline of the next sample without making one (the hashes done
    // before the main loop starts are not counted, as for the run's total).
    void rebase(const std::vector<uint64_t>& counts);
    // Mean of thread i's newest min(10, ticks) samples in H/s; 0 before the first tick.
    double rate(size_t thread) const;
    // Thread i's history, for the rate chart.
    const RateHistory& history(size_t thread) const { return histories_[thread]; }

  private:
    std::vector<uint64_t> previous_;
    std::vector<RateHistory> histories_;  // per thread, averaged as the run's total is
};

}  // namespace orvo::qel
