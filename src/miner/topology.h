// The CPU topology by L3 domain, as sysfs describes it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvo::qel {

// CPUs cpu0 .. cpu1023 are scanned; the CPU set used for pinning has the same size. It also
// bounds the length of a --cpus list.
inline constexpr int32_t MAX_CPUS_SCANNED = 1024;
inline constexpr char SYSFS_CPU_ROOT[] = "/sys/devices/system/cpu";

// One L3 cache domain.
struct L3Group {
    int32_t id = 0;        // cache/index3/id, 0 when unreadable
    int64_t l3_bytes = 0;  // largest L3 size read for any of its CPUs, 0 when none was readable
    std::vector<int32_t> first_threads;    // first hardware thread of their core, ascending
    std::vector<int32_t> sibling_threads;  // the other hardware threads, ascending
    // For each entry of sibling_threads, the first hardware thread of its core (the first entry
    // of its thread_siblings_list). A CPU mask can leave a core with only a sibling; that
    // sibling then stands in for its core's first thread.
    std::vector<int32_t> sibling_cores;
};
// Groups by id, ascending; the iteration order is the order threads are spread in.
using L3Groups = std::map<int32_t, L3Group>;

// Reads <root>/cpuN for N = 0, 1, ... until a directory is missing or N reaches
// MAX_CPUS_SCANNED. A CPU without a readable thread_siblings_list (offline) is skipped; a CPU
// without an L3 id joins group 0.
L3Groups scan_topology(const std::string& sysfs_root = SYSFS_CPU_ROOT);

}  // namespace orvo::qel
