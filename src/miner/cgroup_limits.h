// The limits a container or a service manager puts on this process through its cgroups: the
// memory it may still use and the CPU time it may take. Both cgroup versions are read, and every
// level from the process's own cgroup up to the root of the mounted hierarchy counts, because a
// parent's limit binds its children too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo::qel {

// Where the process's cgroups are described. fs_root is put before every mount point that
// mountinfo names, so tests can keep a whole fake hierarchy in a temporary directory.
struct CgroupPaths {
    std::string proc_self_cgroup = "/proc/self/cgroup";
    std::string mountinfo = "/proc/self/mountinfo";
    std::string fs_root;
};

// The cgroup directories of this process for one controller, innermost first, each followed by
// its parents up to the mount point of the hierarchy: the cgroup v1 hierarchy that has
// `v1_controller` among its mount options, then the cgroup v2 (unified) hierarchy. Empty when
// neither can be found.
std::vector<std::string> cgroup_levels(const CgroupPaths& paths, const std::string& v1_controller);

// The tightest memory limit along the path: the level whose limit leaves the least room.
struct CgroupMemory {
    int64_t limit_bytes = 0;
    int64_t usage_bytes = 0;  // what that cgroup already uses (0 when unreadable)
    int64_t free_bytes() const { return limit_bytes > usage_bytes ? limit_bytes - usage_bytes : 0; }
};
// v2 memory.max and memory.high ("max": none) with memory.current; v1 memory.limit_in_bytes (a
// value at or above 2^62 means no limit) with memory.usage_in_bytes. Nothing when no level has a
// readable limit.
std::optional<CgroupMemory> read_cgroup_memory(const CgroupPaths& paths = {});

// CPU time per period: quota_us / period_us CPUs.
struct CpuQuota {
    int64_t quota_us = 0;
    int64_t period_us = 0;
    // The quota rounded up to whole CPUs, at least 1.
    int32_t whole_cpus() const;
};
// The smallest quota along the path: v2 cpu.max ("max <period>": none), v1 cpu.cfs_quota_us
// (-1: none) and cpu.cfs_period_us. Nothing when no level sets one.
std::optional<CpuQuota> read_cgroup_cpu_quota(const CgroupPaths& paths = {});

}  // namespace orvo::qel
