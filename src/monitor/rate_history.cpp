#include "monitor/rate_history.h"

namespace orvo::qel {

void RateHistory::append(uint64_t sample) {
    samples_[count_ % RATE_HISTORY_SLOTS] = sample;
    ++count_;
    total_ += sample;
}

double RateHistory::average_rate(int32_t window) const {
    if (window <= 0 || count_ == 0) return 0.0;
    const uint64_t w = static_cast<uint64_t>(window);
    if (w >= count_) return static_cast<double>(total_) / static_cast<double>(count_);
    uint64_t n = w < RATE_HISTORY_SLOTS ? w : RATE_HISTORY_SLOTS;
    uint64_t sum = 0;
    for (uint64_t k = 0; k < n; ++k) sum += samples_[(count_ - 1 - k) % RATE_HISTORY_SLOTS];
    return static_cast<double>(sum) / static_cast<double>(n);
}

std::vector<uint64_t> RateHistory::newest(size_t n) const {
    uint64_t k = n;
    if (k > count_) k = count_;
    if (k > RATE_HISTORY_SLOTS) k = RATE_HISTORY_SLOTS;
    std::vector<uint64_t> out;
    out.reserve(k);
    for (uint64_t i = count_ - k; i < count_; ++i) out.push_back(samples_[i % RATE_HISTORY_SLOTS]);
    return out;
}

}  // namespace orvo::qel
