#include "miner/walk_places.h"

#include <gtest/gtest.h>

namespace orvo::qel {
namespace {

WorkKey work(uint64_t n) {
    return WorkKey{{n, ~n}};
}

// Each row leaves `walked` pieces of work 1, 2, ... in turn at the given steps, then asks for
// the place in work `asked`: the table holds CAPACITY places and forgets the one worth least.
TEST(WalkPlaces, KeepsWhatIsWorthMostWithinItsRoom) {
    const uint64_t room = WalkPlaces::CAPACITY;
    const struct {
        const char* what;
        uint64_t first_steps;  // work 1; every later piece walks one step
        uint64_t pieces;
        uint64_t asked;
        uint64_t place;
    } cases[] = {
        {"work never walked", 7, 3, 9, 0},
        {"work left and asked again", 7, 3, 1, 7},
        {"a one-step piece while there is room", 1, room, 2, 1},
        {"one-step work after a table's worth more", 1, room + 1, 1, 0},
        {"work walked far, after 5 tables of one-step work", 100, 5 * room, 1, 100},
    };
    for (const auto& c : cases) {
        WalkPlaces places;
        WorkKey walking;
        for (uint64_t n = 1; n <= c.pieces; ++n) {
            places.switch_work(walking, walking == work(1) ? c.first_steps : 1, work(n));
            walking = work(n);
        }
        places.switch_work(walking, 1, WorkKey{});
        EXPECT_EQ(places.switch_work(WorkKey{}, 0, work(c.asked)), c.place) << c.what;
    }
}

}  // namespace
}  // namespace orvo::qel
