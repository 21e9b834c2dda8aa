// Which of the configured pools the client uses. The first pool is the preferred one; the others
// stand in while it cannot be used:
// - a pool that fails FAILOVER_AFTER_FAILURES times in a row (cannot be reached, or the
//   connection is lost before the pool sent a job) hands over to the next one, wrapping round;
// - once a pool other than the first has been in use for `return_after`, the client goes back to
//   the first at its next reconnect.
// With a single pool nothing ever switches. Pure bookkeeping: time comes in as arguments.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace orvo::qel {

inline constexpr int FAILOVER_AFTER_FAILURES = 3;
inline constexpr std::chrono::minutes FAILOVER_RETURN_AFTER{10};

class Failover {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Failover(size_t pool_count = 1, Clock::duration return_after = FAILOVER_RETURN_AFTER);

    // Index of the pool in use.
    size_t current() const { return current_; }

    // The pool in use failed once more. Returns the pool switched to, when this failure made
    // the count.
    std::optional<size_t> failed(Clock::time_point now);
    // The pool in use sent a job: it works, its failure count starts again.
    void worked() { failures_ = 0; }
    // Called before every connection attempt. Returns 0 when it is time to go back to the first
    // pool (which then becomes the pool in use).
    std::optional<size_t> reconnecting(Clock::time_point now);

  private:
    void use(size_t index, Clock::time_point now);

    size_t count_;
    Clock::duration return_after_;
    size_t current_ = 0;
    int failures_ = 0;           // consecutive failures of the pool in use
    Clock::time_point since_{};  // when the pool in use became the pool in use
};

}  // namespace orvo::qel
