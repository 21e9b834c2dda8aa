// Room for one more arena, by the memory limits as they are now. The thread plan reads the
// limits once, before any arena exists; a container's limit may be lowered while the threads
// start, and an arena mapped beyond it draws the kernel's out-of-memory kill on the whole
// process. So every arena is mapped only after the limits, read again, still hold it.
#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "base/mutex.h"
#include "miner/arena.h"
#include "miner/cgroup_limits.h"

namespace orvo::qel {

// What the check reads of the machine; the real cgroup and meminfo files by default.
struct ArenaRoomInputs {
    std::function<std::optional<CgroupMemory>()> cgroup_memory = [] {
        return read_cgroup_memory();
    };
    std::function<MemInfo()> meminfo = [] { return read_meminfo(); };
};

// True when one more arena fits: no cgroup memory limit, or one whose free room (less the
// process's own reserve) or the free reserved huge pages hold it.
bool room_for_one_more_arena(const std::optional<CgroupMemory>& memory, const MemInfo& meminfo);

class ArenaRoom {
  public:
    explicit ArenaRoom(ArenaRoomInputs inputs = {}) : inputs_(std::move(inputs)) {}

    // Maps `arena` with `map` when the limits, read now, leave room for it; false, with nothing
    // mapped, when they do not or the mapping fails. A mapped arena is charged to the cgroup at
    // once (every page touched) and checks never overlap, so each check sees every arena mapped
    // before it.
    bool map_if_room(Arena& arena, bool (*map)(Arena&)) EXCLUDES(mutex_);

  private:
    Mutex mutex_;
    const ArenaRoomInputs inputs_;
};

}  // namespace orvo::qel
