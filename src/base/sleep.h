// Sleeping that a signal cannot cut short: every wait of the miner (pool reconnects, idle
// hashing threads, the arena wait, the one-second tick) goes through it.
#pragma once

#include <chrono>

namespace orvo::qel {

// nanosleep for the whole duration; when a signal interrupts it, sleeps again for the time left.
void sleep_resuming(std::chrono::nanoseconds duration);

}  // namespace orvo::qel
