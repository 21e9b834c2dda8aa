// A mining or benchmark run after start-up: the pool client, the hashing threads, the arena
// wait, the main loop and the shutdown.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "app/run_config.h"
#include "app/startup.h"
#include "base/run_control.h"
#include "miner/arena.h"
#include "miner/cpu_temperature.h"
#include "pool/pool_timing.h"

namespace orvo::qel {

// A hashing thread running `body`, or a std::system_error, as std::thread throws when the system
// will not create one more thread.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// What a whole run takes from outside besides its configuration: the times it waits on, the
// temperature sensor it reads, and the system's answers to "one more thread" and "one more
// arena". The miner keeps the defaults; tests shorten the times to drive a run in-process in a
// fraction of the time, and refuse threads and arenas where they choose rather than where an
// address-space limit and the scheduler happen to.
struct SessionSeams {
    // One pass of the main loop. Every tick is one rate sample (counted as one second), and
    // every tenth tick prints the status line and rewrites the stats file.
    std::chrono::nanoseconds tick = std::chrono::seconds(1);
    // The pool client's timings (reconnect delays, send and reply deadlines).
    PoolTiming pool_timing{};
    // Read once a tick for the API and the --max-temp guard; none: no reading.
    std::optional<TemperatureSensor> temperature;
    ThreadStarter start_thread = [](std::function<void()> body) {
        return std::thread(std::move(body));
    };
    bool (*map)(Arena&) = map_arena;
};

// Runs until `control` is stopped (or the benchmark's time is up) and returns the exit code:
// EXIT_OK, or EXIT_FAILED when no thread passed its self-check and so nothing can hash. The
// hashing threads sleep while `control` is paused; the API pauses and resumes it, and so does
// the --max-temp guard.
int run_session(const RunConfig& config, const InstalledEngine& engine, const ThreadPlan& placement,
                RunControl& control, const SessionSeams& seams = {});

}  // namespace orvo::qel
