#include "miner/pin_thread.h"

#include <sched.h>

namespace orvo::qel {

void pin_current_thread(int32_t cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    const auto index = static_cast<size_t>(cpu);  // not negative: checked above
    if (index < CPU_SETSIZE) CPU_SET(index, &set);
    // Best effort: an empty set or a CPU outside this process's cpuset is refused by the kernel,
    // and the thread then keeps running where it was allowed to.
    (void)sched_setaffinity(0, sizeof(set), &set);
}

}  // namespace orvo::qel
