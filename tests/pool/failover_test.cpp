#include "pool/failover.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;

// A script of events at given minutes, and the pool in use after each one together with the
// switch the event reported (-1: none).
struct Step {
    char event;  // 'f' failed, 'w' worked (a job arrived), 'r' reconnecting
    int minute;
    size_t in_use;
    int switched_to;
};

void run_script(size_t pools, const std::vector<Step>& steps) {
    Failover f(pools);
    const auto t0 = Failover::Clock::time_point{} + 1000h;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        const auto now = t0 + std::chrono::minutes(s.minute);
        std::optional<size_t> switched;
        if (s.event == 'f') switched = f.failed(now);
        if (s.event == 'w') f.worked();
        if (s.event == 'r') switched = f.reconnecting(now);
        EXPECT_EQ(f.current(), s.in_use) << "step " << i;
        EXPECT_EQ(switched ? static_cast<int>(*switched) : -1, s.switched_to) << "step " << i;
    }
}

TEST(Failover, ASinglePoolNeverSwitches) {
    std::vector<Step> steps;
    for (int i = 0; i < 10; ++i) steps.push_back({'f', i, 0, -1});
    steps.push_back({'r', 60, 0, -1});
    run_script(1, steps);
}

TEST(Failover, ThreeFailuresInARowHandOverAndWrapRound) {
    run_script(3, {
                      {'r', 0, 0, -1},
                      {'f', 0, 0, -1},
                      {'f', 0, 0, -1},
                      {'f', 0, 1, 1},
                      {'f', 1, 1, -1},
                      {'f', 1, 1, -1},
                      {'f', 1, 2, 2},
                      {'f', 2, 2, -1},
                      {'f', 2, 2, -1},
                      {'f', 2, 0, 0},    // wraps to the first
                      {'r', 30, 0, -1},  // the first is never "returned to"
                  });
}

TEST(Failover, AJobResetsTheCount) {
    run_script(2, {
                      {'f', 0, 0, -1},
                      {'f', 0, 0, -1},
                      {'w', 0, 0, -1},
                      {'f', 1, 0, -1},
                      {'f', 1, 0, -1},
                      {'f', 1, 1, 1},
                      {'f', 2, 1, -1},
                      {'w', 2, 1, -1},
                      {'f', 3, 1, -1},
                      {'f', 3, 1, -1},
                  });
}

TEST(Failover, BackToTheFirstAtTheFirstReconnectAfterTenMinutes) {
    run_script(2, {
                      {'f', 0, 0, -1},
                      {'f', 0, 0, -1},
                      {'f', 5, 1, 1},  // on the backup at 5
                      {'r', 5, 1, -1},
                      {'w', 6, 1, -1},
                      {'r', 14, 1, -1},  // 9 minutes: stays
                      {'r', 15, 0, 0},   // 10 minutes: back
                      {'r', 40, 0, -1},
                      // the return starts a fresh count on the first pool
                      {'f', 41, 0, -1},
                      {'f', 41, 0, -1},
                      {'f', 41, 1, 1},
                      {'r', 50, 1, -1},
                      {'r', 51, 0, 0},
                  });
}

}  // namespace
}  // namespace orvo::qel
