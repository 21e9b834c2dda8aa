// A hashing thread's place in each piece of work it walked, so work that comes back (a retarget,
// the same job after a reconnect, an older job sent again after any number of others) resumes
// where the thread left it instead of hashing, and submitting, its nonces again.
//
// The memory is one table of CAPACITY places allocated when the thread starts, 64 KiB a thread
// whatever the pool sends; work the thread walked no step of takes no place. When the table is
// full, the place worth least goes, so a place is forgotten only when every other place held is
// worth at least as much. A place is worth the steps walked in it (what re-walking it would
// repeat) plus a floor: the worth of the last place forgotten when it was last left. The floor
// only rises, so work left long ago gives way to newer work in time, while work walked far
// outlasts work walked a little: work walked s steps and then only one-step jobs keeps its place
// through (s - 1) x (CAPACITY - 1) of them, two million for s = 1000.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pool/job.h"

namespace orvo::qel {

inline constexpr size_t WALK_MEMORY_BYTES = 64 * 1024;

class WalkPlaces {
  public:
    WalkPlaces();

    // Leaves work `from` at `step` and returns the step at which to go on with work `to` (0 for
    // work not walked before, or forgotten).
    uint64_t switch_work(const WorkKey& from, uint64_t step, const WorkKey& to);

    struct Place {
        WorkKey work;
        uint64_t step = 0;   // the next step of this thread in that work
        uint64_t worth = 0;  // what forgetting it would cost, floor included
    };
    static constexpr size_t CAPACITY = WALK_MEMORY_BYTES / sizeof(Place);

  private:
    std::vector<Place> places_;  // at most CAPACITY, reserved once
    uint64_t floor_ = 0;         // the worth of the last place forgotten
};

}  // namespace orvo::qel
