// The console's account of pauses: one "pause" line whenever the set of reasons changes, saying
// why hashing paused (or why it stays paused) and, on resume, after how long. The main loop
// looks once a tick, so a pause shorter than a tick may go unsaid.
#pragma once

#include <chrono>
#include <string>

#include "base/report_line.h"
#include "base/run_control.h"

namespace orvo::qel {

// "45 s", "3 min 05 s", "2 h 07 min".
std::string pause_duration_text(std::chrono::seconds duration);

class PauseLines {
  public:
    using Clock = std::chrono::steady_clock;
    // The reasons as of `now`; `temperature_why` says why the reason "temperature" holds.
    void update(PauseReasons reasons, Clock::time_point now, const std::string& temperature_why,
                const ReportSink& report);

  private:
    PauseReasons shown_ = 0;
    Clock::time_point paused_at_{};
};

}  // namespace orvo::qel
