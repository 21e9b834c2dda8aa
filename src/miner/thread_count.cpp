#include "miner/thread_count.h"

#include <algorithm>

namespace orvo::qel {

int32_t decide_thread_count(int32_t requested, int32_t best, int32_t memory_limit) {
    if (requested > 0) return requested;
    return std::max(1, std::min(memory_limit, best));
}

}  // namespace orvo::qel
