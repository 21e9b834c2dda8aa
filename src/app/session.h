// A mining or benchmark run after start-up: the pool client, the hashing threads, the arena
// wait, the main loop and the shutdown.
#pragma once

#include <chrono>
#include <optional>

#include "app/run_config.h"
#include "app/startup.h"
#include "base/run_control.h"
#include "miner/cpu_temperature.h"
#include "pool/pool_timing.h"

namespace orvo::qel {

// What a whole run takes from outside besides its configuration: the times it waits on and the
// temperature sensor it reads. The miner keeps the default times; tests shorten them to drive a
// run in-process in a fraction of the time.
struct SessionSeams {
    // One pass of the main loop. Every tick is one rate sample (counted as one second), and
    // every tenth tick prints the status line and rewrites the stats file.
    std::chrono::nanoseconds tick = std::chrono::seconds(1);
    // The pool client's timings (reconnect delays, send and reply deadlines).
    PoolTiming pool_timing{};
    // Read once a tick for the API and the --max-temp guard; none: no reading.
    std::optional<TemperatureSensor> temperature;
};

// Runs until `control` is stopped (or the benchmark's time is up) and returns the exit code:
// EXIT_OK, or EXIT_FAILED when no thread passed its self-check and so nothing can hash. The
// hashing threads sleep while `control` is paused; the API pauses and resumes it, and so does
// the --max-temp guard.
int run_session(const RunConfig& config, const InstalledEngine& engine, const ThreadPlan& placement,
                RunControl& control, const SessionSeams& seams = {});

}  // namespace orvo::qel
