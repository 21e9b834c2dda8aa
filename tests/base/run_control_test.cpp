// The run control: pause reasons as a set, and the waits a stop or a resume ends at once.
#include "base/run_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
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

// A waiter that has not returned within the bound fails the test instead of hanging it.
template <typename F>
auto returns_within(std::chrono::milliseconds bound, F f) {
    auto result = std::async(std::launch::async, f);
    if (result.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "still waiting after " << bound.count() << " ms";
        std::_Exit(1);
    }
    return result.get();
}

TEST(RunControl, APausedThreadWakesAtTheLastResumeOrAtAStop) {
    RunControl control;
    EXPECT_TRUE(returns_within(100ms, [&] { return control.wait_until_hashing_allowed(); }));
    control.pause(API);
    control.pause(HOT);
    std::atomic<bool> returned{false};
    auto waiter = std::async(std::launch::async, [&] {
        const bool allowed = control.wait_until_hashing_allowed();
        returned = true;
        return allowed;
    });
    std::this_thread::sleep_for(50ms);
    control.resume(API);  // one reason still holds
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned);
    control.resume(HOT);
    ASSERT_EQ(waiter.wait_for(1s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());

    control.pause(API);
    auto stopped =
        std::async(std::launch::async, [&] { return control.wait_until_hashing_allowed(); });
    std::this_thread::sleep_for(20ms);
    errno = 1234;
    control.request_stop();
    EXPECT_EQ(errno, 1234);  // a signal handler's caller sees errno unchanged
    ASSERT_EQ(stopped.wait_for(1s), std::future_status::ready);
    EXPECT_FALSE(stopped.get());
    EXPECT_TRUE(control.stop_requested());
}

}  // namespace
}  // namespace orvo::qel
