// The fee switch restarts the pool client with the other login; checked against the stand-in
// pool, which prints every login it receives.
#include <gtest/gtest.h>

#include <string>

#include "app/dev_fee.h"
#include "base/console.h"
#include "support/console_capture.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;

TEST(DevFeeSwitch, LoginFollowsTheSchedule) {
    test_support::StandinPool standin({"--port", "0"});
    ASSERT_NE(standin.port(), 0);
    Pool pool;
    Pool::Config config{"127.0.0.1", standin.port(), "qel1user", "rig7"};
    pool.start(config);
    ASSERT_TRUE(standin.wait_for_output("login #1 address=qel1user worker=rig7", 10s));

    set_console_palette(false);
    bool active = false;
    struct Step {
        uint64_t elapsed;
        bool active;
        const char* line;   // fee line printed at this tick, or "" for none
        std::string login;  // login the pool then sees, or empty
    } steps[] = {
        {5939, false, "", ""},
        {5940, true, " fee   1% dev contribution (1 min)\n",
         std::string("login #2 address=") + DEV_FEE_ADDRESS + " worker=orvo"},
        {5999, true, "", ""},
        {6000, false, " fee   back to user wallet\n", "login #3 address=qel1user worker=rig7"},
        {11940, true, " fee   1% dev contribution (1 min)\n", "login #4 address="},
    };
    for (const auto& step : steps) {
        const std::string out = test_support::capture_console(
            [&] { check_dev_fee(step.elapsed, active, pool, config, "qel1user", "rig7"); });
        EXPECT_EQ(out, step.line) << step.elapsed;
        EXPECT_EQ(active, step.active) << step.elapsed;
        if (!step.login.empty()) {
            EXPECT_TRUE(standin.wait_for_output(step.login, 10s)) << step.elapsed;
        }
    }
    pool.stop();
}

}  // namespace
}  // namespace orvo::qel
