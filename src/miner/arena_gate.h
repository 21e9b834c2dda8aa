// Room for arenas under the memory limits: how many a cgroup's limit holds (the thread plan
// asks once, before any arena exists) and the gate every arena passes just before it is mapped.
// A container's limit may be lowered while the threads start, and an arena mapped beyond it
// draws the kernel's out-of-memory kill on the whole process; so every arena is mapped only
// after the limits, read again, still hold it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "base/mutex.h"
#include "miner/arena.h"
#include "miner/cgroup_limits.h"

namespace orvo::qel {

// What the process keeps for itself besides its arenas inside a cgroup memory limit: the
// binary and its libraries, the reference table, the console and the pool client, with room to
// spare (a one-thread benchmark peaks at about 0.8 MiB charged to its cgroup besides the arena,
// 3.7 MiB resident with shared libraries counted). The 1536 MiB a whole machine keeps for its
// other programs would forbid any arena in a small container.
inline constexpr int64_t CGROUP_RESERVE_BYTES = 6 * 1024 * 1024;
// Each hashing thread's stack, kernel stack and page tables besides its arena, with room to
// spare (measured: 30 to 60 KiB).
inline constexpr int64_t THREAD_OVERHEAD_BYTES = 128 * 1024;

// Arenas that fit a cgroup's free memory after the process's own reserve, plus those the free
// reserved huge pages hold (not charged to the cgroup).
int32_t cgroup_arena_count(const CgroupMemory& memory, const MemInfo& meminfo);

// What the check reads of the machine; the real cgroup and meminfo files by default.
struct ArenaGateInputs {
    std::function<std::optional<CgroupMemory>()> cgroup_memory = [] {
        return read_cgroup_memory();
    };
    std::function<MemInfo()> meminfo = [] { return read_meminfo(); };
};

// True when one more arena fits: no cgroup memory limit, or one whose free room (less the
// process's own reserve) or the free reserved huge pages hold it.
bool fits_one_more_arena(const std::optional<CgroupMemory>& memory, const MemInfo& meminfo);

class ArenaGate {
  public:
    explicit ArenaGate(ArenaGateInputs inputs = {}) : inputs_(std::move(inputs)) {}

    // Maps `arena` with `map` when the limits, read now, leave room for it; false, with nothing
    // mapped, when they do not or the mapping fails. A mapped arena is charged to the cgroup at
    // once (every page touched) and checks never overlap, so each check sees every arena mapped
    // before it.
    bool map_if_it_fits(Arena& arena, bool (*map)(Arena&)) EXCLUDES(mutex_);

  private:
    Mutex mutex_;
    const ArenaGateInputs inputs_;
};

}  // namespace orvo::qel
