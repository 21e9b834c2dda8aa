#include "miner/machine_facts.h"

#include <sched.h>

#include <cerrno>

namespace orvo::qel {

std::optional<std::vector<int32_t>> read_allowed_cpus() {
    // The kernel refuses a set smaller than its own CPU count, so the set grows until it fits.
    for (size_t count = 1024; count <= size_t{1} << 16; count *= 2) {
        cpu_set_t* set = CPU_ALLOC(count);
        if (set == nullptr) return std::nullopt;
        const size_t size = CPU_ALLOC_SIZE(count);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            std::vector<int32_t> cpus;
            // Only CPUs the topology scan can see are ever used.
            for (int cpu = 0; cpu < MAX_CPUS_SCANNED; ++cpu) {
                if (CPU_ISSET_S(static_cast<size_t>(cpu), size, set)) cpus.push_back(cpu);
            }
            CPU_FREE(set);
            return cpus;
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

MachineFacts read_machine_facts(const MachinePaths& paths) {
    MachineFacts facts;
    facts.groups = scan_topology(paths.sysfs_cpu_root);
    if (paths.allowed_cpus) facts.allowed_cpus = paths.allowed_cpus();
    facts.meminfo = read_meminfo(paths.meminfo);
    facts.cgroup_memory = read_cgroup_memory(paths.cgroup);
    facts.cpu_quota = read_cgroup_cpu_quota(paths.cgroup);
    return facts;
}

}  // namespace orvo::qel
