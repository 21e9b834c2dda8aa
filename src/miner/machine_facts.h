// Everything the thread plan needs to know about the machine and the limits this process runs
// under, read once at start-up through one seam: the real files and calls by default, fake
// trees and a fixed CPU mask in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "miner/arena.h"
#include "miner/cgroup_limits.h"
#include "miner/topology.h"

namespace orvo::qel {

// The CPUs this process may run on (sched_getaffinity: taskset, a cpuset, systemd's
// CPUAffinity=), ascending; nothing when the call fails.
std::optional<std::vector<int32_t>> read_allowed_cpus();

struct MachinePaths {
    std::string sysfs_cpu_root = SYSFS_CPU_ROOT;
    std::string meminfo = MEMINFO_PATH;
    CgroupPaths cgroup;
    std::function<std::optional<std::vector<int32_t>>()> allowed_cpus = read_allowed_cpus;
};

struct MachineFacts {
    L3Groups groups;  // every online CPU, by L3 domain
    // Nothing: unknown, so every online CPU counts as allowed.
    std::optional<std::vector<int32_t>> allowed_cpus;
    MemInfo meminfo;
    std::optional<CgroupMemory> cgroup_memory;
    std::optional<CpuQuota> cpu_quota;
};

MachineFacts read_machine_facts(const MachinePaths& paths = {});

}  // namespace orvo::qel
