// The order in which hashing threads are pinned: by L3 size, first threads before siblings,
// spread across the L3 domains.
#pragma once

#include <cstdint>
#include <vector>

#include "miner/topology.h"

namespace orvo::qel {

// One hashing thread per this many bytes of L3.
inline constexpr int64_t L3_BYTES_PER_THREAD = 8 * 1024 * 1024;

// At most l3_bytes / 8 MiB CPUs per group (its first-thread count when the size is unknown, and
// never fewer than one), first threads before siblings, then the groups interleaved entry by
// entry in id order. Thread i is pinned to entry i.
std::vector<int32_t> build_pin_order(const L3Groups& groups);

}  // namespace orvo::qel
