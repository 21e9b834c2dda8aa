#include "miner/intensity.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace orvo::qel {

namespace {

// How often a checked thread looks for main's choice: the wait is a few ticks of start-up.
constexpr std::chrono::milliseconds CHOICE_POLL{5};

constexpr char OVERRIDE[] = ", override with --intensity <n>";

std::string ratio_text(double gain) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f\u00d7", gain);
    return text;
}

}  // namespace

void IntensityTrial::add(const IntensityTiming& timing) {
    one_at_a_time_ns.fetch_add(timing.one_at_a_time_ns);
    side_by_side_ns.fetch_add(timing.side_by_side_ns);
    timed_threads.fetch_add(1);
}

int32_t IntensityTrial::wait_for_choice(const RunControl& control) const {
    for (;;) {
        const int32_t intensity = chosen.load();
        if (intensity > 0) return intensity;
        if (control.stop_requested()) return 0;
        control.sleep_unless_stopped(CHOICE_POLL);
    }
}

IntensityChoice choose_intensity(const IntensityTrial& trial, int32_t candidate) {
    const int64_t one = trial.one_at_a_time_ns.load();
    const int64_t many = trial.side_by_side_ns.load();
    if (trial.timed_threads.load() == 0 || one <= 0 || many <= 0) return {1, 0};
    // Both passes hash the same inputs, so the time ratio is the rate ratio. It is judged as the
    // line shows it, to the hundredth, so the line never shows a kept figure for a refused gain.
    const double gain =
        std::round(static_cast<double>(one) * 100 / static_cast<double>(many)) / 100;
    return {gain >= INTENSITY_MIN_GAIN ? candidate : 1, gain};
}

std::string intensity_line_text(const IntensityChoice& choice, int32_t candidate) {
    const std::string tried = "intensity " + std::to_string(candidate);
    if (choice.gain <= 0) return "intensity 1: " + tried + " could not be timed" + OVERRIDE;
    if (choice.intensity > 1) {
        return tried + ": " + ratio_text(choice.gain) +
               " the hash rate of intensity 1 at start-up" + OVERRIDE;
    }
    return "intensity 1: " + tried + " ran at " + ratio_text(choice.gain) +
           " its hash rate at start-up" + OVERRIDE;
}

}  // namespace orvo::qel
