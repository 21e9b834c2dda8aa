// Sleeping that a signal cannot cut short.
#pragma once

#include <chrono>

namespace orvo::qel {

// nanosleep for `duration`; when a signal interrupts it, sleeps again for the time left.
void sleep_resumed(std::chrono::nanoseconds duration);

}  // namespace orvo::qel
