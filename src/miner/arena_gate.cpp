#include "miner/arena_gate.h"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace orvo::qel {

int32_t cgroup_arena_count(const CgroupMemory& memory, const MemInfo& meminfo) {
    const int64_t spare = memory.free_bytes() - CGROUP_RESERVE_BYTES;
    const int64_t ordinary =
        spare > 0 ? spare / (static_cast<int64_t>(ARENA_BYTES) + THREAD_OVERHEAD_BYTES) : 0;
    const int64_t room = ordinary + huge_page_arenas(meminfo);
    return static_cast<int32_t>(std::min<int64_t>(room, std::numeric_limits<int32_t>::max()));
}

bool fits_one_more_arena(const std::optional<CgroupMemory>& memory, const MemInfo& meminfo) {
    return !memory || cgroup_arena_count(*memory, meminfo) >= 1;
}

bool ArenaGate::map_if_it_fits(Arena& arena, bool (*map)(Arena&)) {
    MutexLock lock(mutex_);
    if (!fits_one_more_arena(inputs_.cgroup_memory(), inputs_.meminfo())) return false;
    if (!map(arena)) return false;
    // Ordinary memory is charged on first touch; reserved huge pages were populated by the
    // mapping itself.
    if (!arena.huge) {
        auto* bytes = static_cast<volatile unsigned char*>(arena.base);
        for (size_t at = 0; at < ARENA_BYTES; at += 4096) bytes[at] = 0;
    }
    return true;
}

}  // namespace orvo::qel
