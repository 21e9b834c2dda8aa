// The automatic intensity, measured rather than guessed: every hashing thread's self-check
// times the same hashes one at a time and side by side (at the plan's candidate intensity), and
// once every thread has been checked, main keeps the faster for the whole run.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/run_control.h"
#include "miner/self_check.h"

namespace orvo::qel {

// A larger intensity must beat intensity 1 by this much to be kept: its extra arenas cost
// memory and L3 room, and a start-up measurement is noisy.
inline constexpr double INTENSITY_MIN_GAIN = 1.02;

// Shared by main and the hashing threads for the start-up of one run.
struct IntensityTrial {
    std::atomic<int64_t> one_at_a_time_ns{0};  // summed over the timed threads
    std::atomic<int64_t> side_by_side_ns{0};
    std::atomic<int32_t> timed_threads{0};
    std::atomic<int32_t> chosen{0};  // 0 until main has decided

    // A thread's timing, added before it counts itself checked.
    void add(const IntensityTiming& timing);
    // Polls until main has decided and returns the intensity; 0 when a stop came first.
    int32_t wait_for_choice(const RunControl& control) const;
};

struct IntensityChoice {
    int32_t intensity = 1;
    // The candidate's hash rate over intensity 1's, from all timed threads, to the hundredth; 0
    // when no thread was timed (then intensity 1 is kept).
    double gain = 0;
};
IntensityChoice choose_intensity(const IntensityTrial& trial, int32_t candidate);

// "intensity 4: 1.18× the hash rate of intensity 1 at start-up, override with --intensity <n>";
// when 1 is kept: "intensity 1: intensity 4 ran at 0.97× its hash rate at start-up, override
// with --intensity <n>" (or "... intensity 4 could not be timed ..." without a timing).
std::string intensity_line_text(const IntensityChoice& choice, int32_t candidate);

}  // namespace orvo::qel
