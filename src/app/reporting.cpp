#include "app/reporting.h"

#include "base/console.h"

namespace orvo::qel {

void ShareCounters::set_last_rejection(const std::string& reason) {
    MutexLock lock(reason_mutex_);
    last_rejection_ = reason;
}

std::string ShareCounters::last_rejection() const {
    MutexLock lock(reason_mutex_);
    return last_rejection_;
}

void report_share_result(ShareCounters& shares, bool accepted, const std::string& reason) {
    if (accepted) {
        shares.accepted.fetch_add(1);
        uint64_t rejected = shares.rejected.load();
        uint64_t accepted_now = shares.accepted.load();
        log_line(
            palette.green, "share",
            "accepted (" + std::to_string(accepted_now) + "/" + std::to_string(rejected) + ")");
    } else {
        shares.set_last_rejection(reason);
        shares.rejected.fetch_add(1);
        log_line(palette.red, "share", "REJECTED — " + reason);
    }
}

std::string status_text(const RateHistory& history, const ShareCounters& shares) {
    return "10s/60s/15m  " + format_rate(history.average_rate(10)) + " / " +
           format_rate(history.average_rate(60)) + " / " + format_rate(history.average_rate(900)) +
           "   parts " + std::to_string(shares.accepted.load()) + "/" +
           std::to_string(shares.rejected.load());
}

void print_status_line(const RateHistory& history, const ShareCounters& shares) {
    log_line(palette.gray, "speed", status_text(history, shares));
}

}  // namespace orvo::qel
