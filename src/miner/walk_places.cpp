#include "miner/walk_places.h"

#include <algorithm>
#include <limits>

namespace orvo::qel {

WalkPlaces::WalkPlaces() {
    places_.reserve(CAPACITY);
}

uint64_t WalkPlaces::switch_work(const WorkKey& from, uint64_t step, const WorkKey& to) {
    const auto find = [this](const WorkKey& work) {
        return std::find_if(places_.begin(), places_.end(),
                            [&work](const Place& p) { return p.work == work; });
    };
    if (step > 0 && from != WorkKey{}) {
        auto at = find(from);
        if (at == places_.end()) {
            if (places_.size() < CAPACITY) {
                at = places_.emplace(places_.end());
            } else {
                at = std::min_element(
                    places_.begin(), places_.end(),
                    [](const Place& a, const Place& b) { return a.worth < b.worth; });
                floor_ = at->worth;
            }
        }
        // Saturating: one thread may walk a range of 2^64 nonces.
        const uint64_t room = std::numeric_limits<uint64_t>::max() - floor_;
        *at = {from, step, step > room ? std::numeric_limits<uint64_t>::max() : floor_ + step};
    }
    const auto at = find(to);
    return at == places_.end() ? 0 : at->step;
}

}  // namespace orvo::qel
