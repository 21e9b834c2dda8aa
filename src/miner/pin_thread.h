// Binding a hashing thread to its CPU.
#pragma once

#include <cstdint>

namespace orvo::qel {

// Binds the calling thread to `cpu`; true only when the kernel accepted it. A negative CPU, one
// past 1023, or one outside this process's cpuset leaves the inherited affinity and gives false.
bool pin_current_thread(int32_t cpu);

}  // namespace orvo::qel
