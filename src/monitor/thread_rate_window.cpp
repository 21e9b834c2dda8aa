#include "monitor/thread_rate_window.h"

namespace orvo::qel {

void ThreadRateWindow::append(const std::vector<uint64_t>& counts) {
    for (size_t i = 0; i < histories_.size() && i < counts.size(); ++i) {
        histories_[i].append(counts[i] - previous_[i]);
        previous_[i] = counts[i];
    }
}

void ThreadRateWindow::rebase(const std::vector<uint64_t>& counts) {
    for (size_t i = 0; i < previous_.size() && i < counts.size(); ++i) previous_[i] = counts[i];
}

double ThreadRateWindow::rate(size_t thread) const {
    return thread < histories_.size() ? histories_[thread].average_rate(WINDOW) : 0.0;
}

}  // namespace orvo::qel
