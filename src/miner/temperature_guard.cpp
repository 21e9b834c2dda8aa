#include "miner/temperature_guard.h"

#include <cstdio>

namespace orvo::qel {

void TemperatureGuard::update(std::optional<int32_t> reading_mc, Clock::time_point now,
                              RunControl& control) {
    if (reading_mc) {
        last_reading_ = now;
        if (*reading_mc >= max_mc_) {
            holding_ = true;
        } else if (*reading_mc <= max_mc_ - TEMPERATURE_HYSTERESIS_C * 1000) {
            holding_ = false;
        }
        char text[96];
        std::snprintf(text, sizeof text, "CPU at %.1f \u00b0C, limit %d \u00b0C",
                      *reading_mc / 1000.0, max_mc_ / 1000);
        why_ = text;
    } else if (now - last_reading_ >= TEMPERATURE_SILENCE) {
        holding_ = true;
        why_ = "no reading from the sensor for " +
               std::to_string(
                   std::chrono::duration_cast<std::chrono::seconds>(now - last_reading_).count()) +
               " s";
    }
    if (holding_) {
        control.pause(PauseReason::temperature);
    } else {
        control.resume(PauseReason::temperature);
    }
}

}  // namespace orvo::qel
