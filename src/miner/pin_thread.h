// Binding a hashing thread to its CPU.
#pragma once

#include <cstdint>

namespace orvo::qel {

// Binds the calling thread to `cpu`. Negative: nothing happens. Best effort: a CPU past 1023 or
// a refused call leaves the inherited affinity.
void pin_current_thread(int32_t cpu);

}  // namespace orvo::qel
