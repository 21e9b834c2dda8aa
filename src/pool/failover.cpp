#include "pool/failover.h"

namespace orvo::qel {

Failover::Failover(size_t pool_count, Clock::duration return_after)
    : count_(pool_count == 0 ? 1 : pool_count), return_after_(return_after) {}

void Failover::use(size_t index, Clock::time_point now) {
    current_ = index;
    failures_ = 0;
    since_ = now;
}

std::optional<size_t> Failover::failed(Clock::time_point now) {
    if (count_ < 2) return std::nullopt;
    if (++failures_ < FAILOVER_AFTER_FAILURES) return std::nullopt;
    use((current_ + 1) % count_, now);
    return current_;
}

std::optional<size_t> Failover::reconnecting(Clock::time_point now) {
    if (current_ == 0 || now - since_ < return_after_) return std::nullopt;
    use(0, now);
    return current_;
}

}  // namespace orvo::qel
