#include "miner/pin_thread.h"

#include <sched.h>

namespace orvo::qel {

bool pin_current_thread(int32_t cpu) {
    if (cpu < 0) return false;
    const auto index = static_cast<size_t>(cpu);  // not negative: checked above
    if (index >= CPU_SETSIZE) return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(index, &set);
    // A CPU outside this process's cpuset (or offline) is refused; the thread then keeps
    // running where it was allowed to.
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

}  // namespace orvo::qel
