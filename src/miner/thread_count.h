// How many hashing threads a run starts.
#pragma once

#include <cstdint>

namespace orvo::qel {

// A requested count above 0 (from -t or a --cpus list) is used as is: threads past the pin order
// run unpinned. Otherwise the automatic count: max(1, min(memory_limit, best)), with best the
// length of the pin order and memory_limit from memory_thread_limit.
int32_t decide_thread_count(int32_t requested, int32_t best, int32_t memory_limit);

}  // namespace orvo::qel
