// The --cpus list: its grammar, and the check that it names only CPUs that can be pinned.
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

// Whether every entry of a --cpus list names a CPU the scan found online (one of some group's
// threads). A list with any other entry (a negative number, a CPU past the last one, an offline
// CPU) is a bad list: no thread could be pinned there, and the placement line would claim it.
bool all_cpus_online(const std::vector<int32_t>& cpus, const L3Groups& groups);

}  // namespace orvo::qel
