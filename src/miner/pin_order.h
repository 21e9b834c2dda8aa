// The order in which hashing threads are pinned: by L3 size, first threads before siblings,
// spread across the L3 domains.
#pragma once

#include <cstdint>
#include <vector>

#include "miner/topology.h"

namespace orvo::qel {

// One arena per this many bytes of L3.
inline constexpr int64_t L3_BYTES_PER_ARENA = 8 * 1024 * 1024;

// The arenas a group's L3 holds: l3_bytes / 8 MiB, or its first-thread count when the size is
// unknown (one arena per core).
int64_t l3_arenas(const L3Group& group);

// At most l3_arenas / arenas_per_thread CPUs per group (never fewer than one), first threads
// before siblings, then the groups interleaved entry by entry in id order. Thread i is pinned to
// entry i.
std::vector<int32_t> build_pin_order(const L3Groups& groups, int32_t arenas_per_thread = 1);

}  // namespace orvo::qel
