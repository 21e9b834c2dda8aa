#include "miner/arena_room.h"

#include <cstddef>

#include "miner/thread_plan.h"

namespace orvo::qel {

bool room_for_one_more_arena(const std::optional<CgroupMemory>& memory, const MemInfo& meminfo) {
    return !memory || cgroup_arena_room(*memory, meminfo) >= 1;
}

bool ArenaRoom::map_if_room(Arena& arena, bool (*map)(Arena&)) {
    MutexLock lock(mutex_);
    if (!room_for_one_more_arena(inputs_.cgroup_memory(), inputs_.meminfo())) return false;
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
