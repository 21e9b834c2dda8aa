// The --cpus list grammar.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "miner/topology.h"

namespace orvo::qel {

// The --cpus grammar: comma-separated pieces, each "a-b" (a..b, nothing when a > b) or "a";
// unreadable pieces add nothing; duplicates and negative numbers are kept in order. Returns the
// empty list (a bad list) when no CPU results, when a number does not fit 32 bits, or when the
// list would have more than MAX_CPUS_SCANNED entries.
std::vector<int32_t> parse_cpu_list(const std::string& text);

}  // namespace orvo::qel
