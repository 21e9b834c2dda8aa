// --max-temp: hashing pauses, for the reason "temperature", while the CPU is at or above the
// limit, and goes on once it has cooled to TEMPERATURE_HYSTERESIS_C below it, so a CPU near the
// limit does not switch the load on and off every second. A sensor that stops answering counts
// as too hot once it has been silent for TEMPERATURE_SILENCE: a guard that cannot see is no
// guard.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/run_control.h"

namespace orvo::qel {

inline constexpr int32_t MAX_TEMP_LOWEST_C = 40;
inline constexpr int32_t MAX_TEMP_HIGHEST_C = 105;
inline constexpr int32_t TEMPERATURE_HYSTERESIS_C = 5;
inline constexpr std::chrono::seconds TEMPERATURE_SILENCE{10};

class TemperatureGuard {
  public:
    using Clock = std::chrono::steady_clock;
    // `started` counts as the last reading: a sensor silent from the start pauses after
    // TEMPERATURE_SILENCE too.
    TemperatureGuard(int32_t max_c, Clock::time_point started)
        : max_mc_(max_c * 1000), last_reading_(started) {}

    // Takes one reading (nothing when the sensor gave none) made at `now`, and sets or clears
    // the reason "temperature" on `control`.
    void update(std::optional<int32_t> reading_mc, Clock::time_point now, RunControl& control);
    // Why the reason holds, for the console: "CPU at 91.2 °C, limit 90 °C" or "no reading from
    // the sensor for 10 s".
    const std::string& why() const { return why_; }

  private:
    int32_t max_mc_;
    Clock::time_point last_reading_;
    bool holding_ = false;
    std::string why_;
};

}  // namespace orvo::qel
