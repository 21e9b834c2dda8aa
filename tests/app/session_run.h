// A whole run in the test's own process: run_session on a thread of its own, with a short
// main-loop tick and short pool timings, its console lines captured. A test drives it as it
// would drive the binary, and stops it the way a signal does: through the run's control.
#pragma once

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "app/run_config.h"
#include "app/session.h"
#include "app/startup.h"
#include "support/console_capture.h"

namespace orvo::qel::test_support {

// A mining run's configuration: the pools (the first preferred), a payout address, worker "ci",
// `threads` unpinned hashing threads, no colours.
RunConfig mining_config(const std::vector<std::string>& endpoints, int32_t threads);

// The engine for this CPU (built once per test program).
InstalledEngine real_engine();
// An engine whose hash costs a fixed pause instead of the machine's speed: it gives the right
// answer for the threads' self-check and 32 bytes of 0xfe for everything else (a share for an
// all-ones target, never a block). For runs that need hashes and submits, not valid shares.
InstalledEngine stand_in_engine();

// The seams of a fast run: a 20 ms tick (a status line and a stats turn every 200 ms) and the
// pool's delay unit cut to 20 ms.
SessionSeams fast_seams();

class SessionRun {
  public:
    SessionRun(RunConfig config, InstalledEngine engine, SessionSeams seams = fast_seams());
    // A run with this plan instead of the configuration's threads, unpinned.
    SessionRun(RunConfig config, InstalledEngine engine, ThreadPlan plan,
               SessionSeams seams = fast_seams());
    ~SessionRun();  // stops a run that still goes on
    SessionRun(const SessionRun&) = delete;
    SessionRun& operator=(const SessionRun&) = delete;

    std::string output() const { return capture_.so_far(); }
    // Polls the captured lines until they hold `needle`; false on timeout or when the run ended
    // without writing it.
    bool wait_for_output(const std::string& needle, std::chrono::milliseconds timeout);
    // Pauses and resumes the run as the API does.
    RunControl& control() { return control_; }
    // Stops the run's control and returns run_session's exit code; output() then holds every
    // line the run wrote. A run that has not returned within `bound` ends the test program with
    // its output: a hang must not cost the ctest timeout.
    int stop(std::chrono::milliseconds bound = std::chrono::seconds(10));
    bool ended() const;

  private:
    ConsoleCapture capture_;
    RunConfig config_;
    InstalledEngine engine_;
    SessionSeams seams_;
    RunControl control_;
    std::future<int> result_;
    std::thread thread_;
    bool joined_ = false;
};

}  // namespace orvo::qel::test_support
