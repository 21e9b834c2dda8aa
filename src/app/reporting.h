// Share results and the periodic status line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "monitor/rate_history.h"

namespace orvo::qel {

struct ShareCounters {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> rejected{0};

    // The pool's reason for the last share it rejected (written by the pool connection thread,
    // read by the main loop for the API).
    void set_last_rejection(const std::string& reason) EXCLUDES(reason_mutex_);
    std::string last_rejection() const EXCLUDES(reason_mutex_);

  private:
    mutable Mutex reason_mutex_;
    std::string last_rejection_ GUARDED_BY(reason_mutex_);
};

// The pool client's result sink: counts the share and prints the green "accepted (a/r)" or the
// red "REJECTED — reason" line. Runs on the pool connection thread.
void report_share_result(ShareCounters& shares, bool accepted, const std::string& reason);

// "10s/60s/15m  r10 / r60 / r900   parts a/r".
std::string status_text(const RateHistory& history, const ShareCounters& shares);
// Logs status_text as the periodic "speed" console line.
void print_status_line(const RateHistory& history, const ShareCounters& shares);

}  // namespace orvo::qel
