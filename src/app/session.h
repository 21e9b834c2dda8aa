// A mining or benchmark run after start-up: the pool client, the hashing threads, the arena
// wait, the one-second main loop and the shutdown.
#pragma once

#include "app/run_config.h"
#include "app/startup.h"

namespace orvo::qel {

// Runs until stop_requested is set (or the benchmark's time is up) and returns the exit code:
// EXIT_OK, or EXIT_FAILED when no thread passed its self-check and so nothing can hash.
int run_session(const RunConfig& config, const Engine& engine, const ThreadPlan& placement);

}  // namespace orvo::qel
