// The run control: pause reasons as a set, and a stop from a signal handler.
#include "base/run_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

namespace orvo::qel {
namespace {

constexpr auto API = PauseReason::api;
constexpr auto HOT = PauseReason::temperature;
constexpr PauseReasons BOTH = static_cast<PauseReasons>(API) | static_cast<PauseReasons>(HOT);

TEST(RunControl, ReasonsAreASetAndRepeatsChangeNothing) {
    struct Step {
        bool pause;
        PauseReason reason;
        bool changed;
        PauseReasons after;
        const char* text;
    } steps[] = {
        {false, API, false, 0, ""},  // resuming what never paused
        {true, API, true, static_cast<PauseReasons>(API), "api"},
        {true, API, false, static_cast<PauseReasons>(API), "api"},
        {true, HOT, true, BOTH, "api, temperature"},
        {false, API, true, static_cast<PauseReasons>(HOT), "temperature"},
        {false, API, false, static_cast<PauseReasons>(HOT), "temperature"},
        {false, HOT, true, 0, ""},
    };
    RunControl control;
    for (const Step& s : steps) {
        EXPECT_EQ(s.pause ? control.pause(s.reason) : control.resume(s.reason), s.changed);
        EXPECT_EQ(control.pause_reasons(), s.after);
        EXPECT_EQ(pause_reasons_text(control.pause_reasons()), s.text);
        EXPECT_FALSE(control.stop_requested());
    }
}

// A stop wakes a paused thread at once, and, as a signal handler's, leaves errno as the
// interrupted code had it. (Pausing and resuming the hashing threads is shown in worker_test.)
TEST(RunControl, AStopWakesAPausedThreadAndKeepsErrno) {
    RunControl control;
    control.pause(API);
    auto waiter =
        std::async(std::launch::async, [&] { return control.wait_until_hashing_allowed(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    errno = 1234;
    control.request_stop();
    EXPECT_EQ(errno, 1234);
    if (waiter.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        ADD_FAILURE() << "a paused thread slept through the stop";
        std::_Exit(1);  // the waiter would hold the test program forever
    }
    EXPECT_FALSE(waiter.get());
}

}  // namespace
}  // namespace orvo::qel
