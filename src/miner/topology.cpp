#include "miner/topology.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>

namespace orvo::qel {

namespace {

// The first integer of a sysfs file, by stream extraction ("0-1" and "0,64" both read 0).
bool read_first_int(const std::string& path, int32_t& value) {
    std::ifstream in(path);
    int32_t v = 0;
    if (!(in >> v)) return false;
    value = v;
    return true;
}

// An L3 size file: a leading decimal number, times 1024 with a "K" suffix and 1 MiB with "M";
// any other last character leaves bytes. Saturates instead of overflowing on absurd values.
int64_t read_cache_size(const std::string& path) {
    std::ifstream in(path);
    std::string token;
    if (!(in >> token) || token.empty()) return 0;
    int64_t size = std::strtoll(token.c_str(), nullptr, 10);
    int64_t scale = 1;
    if (token.back() == 'K') scale = 1024;
    if (token.back() == 'M') scale = 1024 * 1024;
    int64_t scaled = 0;
    if (__builtin_mul_overflow(size, scale, &scaled)) {
        return size < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    return scaled;
}

}  // namespace

L3Groups scan_topology(const std::string& sysfs_root) {
    L3Groups groups;
    for (int32_t cpu = 0; cpu < MAX_CPUS_SCANNED; ++cpu) {
        std::string dir = sysfs_root + "/cpu" + std::to_string(cpu);
        if (access(dir.c_str(), F_OK) != 0) break;

        int32_t first_sibling = 0;
        if (!read_first_int(dir + "/topology/thread_siblings_list", first_sibling)) continue;

        int32_t id = 0;
        read_first_int(dir + "/cache/index3/id", id);
        L3Group& group = groups[id];
        group.id = id;
        group.l3_bytes = std::max(group.l3_bytes, read_cache_size(dir + "/cache/index3/size"));

        if (first_sibling == cpu) {
            group.first_threads.push_back(cpu);
        } else {
            group.sibling_threads.push_back(cpu);
            group.sibling_cores.push_back(first_sibling);
        }
    }
    return groups;
}

}  // namespace orvo::qel
