#include "base/run_control.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace orvo::qel {

static_assert(std::atomic<uint32_t>::is_always_lock_free &&
                  sizeof(std::atomic<uint32_t>) == sizeof(uint32_t),
              "the state is used as a futex word");

namespace {

// Where a futex call is refused (a seccomp filter without it), waits fall back to a short
// sleep: a paused thread then notices a change within this time.
constexpr long FALLBACK_POLL_NS = 20'000'000;

uint32_t* futex_word(const std::atomic<uint32_t>& state) {
    return reinterpret_cast<uint32_t*>(const_cast<std::atomic<uint32_t>*>(&state));
}

}  // namespace

const char* pause_reason_name(PauseReason reason) {
    switch (reason) {
        case PauseReason::api:
            return "api";
        case PauseReason::temperature:
            return "temperature";
    }
    return "?";
}

std::string pause_reasons_text(PauseReasons reasons) {
    std::string text;
    for (PauseReason reason : PAUSE_REASONS) {
        if ((reasons & static_cast<uint32_t>(reason)) == 0) continue;
        if (!text.empty()) text += ", ";
        text += pause_reason_name(reason);
    }
    return text;
}

void RunControl::wake_all() noexcept {
    syscall(SYS_futex, futex_word(state_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void RunControl::wait_for_change(uint32_t seen,
                                 const std::chrono::nanoseconds* timeout) const noexcept {
    timespec limit{};
    if (timeout != nullptr) {
        limit.tv_sec = static_cast<time_t>(timeout->count() / 1'000'000'000);
        limit.tv_nsec = static_cast<long>(timeout->count() % 1'000'000'000);
    }
    const long r = syscall(SYS_futex, futex_word(state_), FUTEX_WAIT_PRIVATE, seen,
                           timeout != nullptr ? &limit : nullptr, nullptr, 0);
    if (r != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) {
        long ns = FALLBACK_POLL_NS;
        if (timeout != nullptr && timeout->count() < ns) ns = static_cast<long>(timeout->count());
        const timespec poll{0, ns};
        nanosleep(&poll, nullptr);
    }
}

void RunControl::request_stop() noexcept {
    const int saved = errno;  // a signal handler must leave errno as it found it
    state_.fetch_or(STOP_BIT);
    wake_all();
    errno = saved;
}

bool RunControl::stop_requested() const noexcept {
    return (state_.load(std::memory_order_relaxed) & STOP_BIT) != 0;
}

bool RunControl::pause(PauseReason reason) noexcept {
    const uint32_t bit = static_cast<uint32_t>(reason);
    return (state_.fetch_or(bit) & bit) == 0;
}

bool RunControl::resume(PauseReason reason) noexcept {
    const uint32_t bit = static_cast<uint32_t>(reason);
    const bool changed = (state_.fetch_and(~bit) & bit) != 0;
    if (changed) wake_all();
    return changed;
}

PauseReasons RunControl::pause_reasons() const noexcept {
    return state_.load() & ~STOP_BIT;
}

bool RunControl::wait_until_hashing_allowed() const noexcept {
    for (;;) {
        const uint32_t s = state_.load(std::memory_order_relaxed);
        if ((s & STOP_BIT) != 0) return false;
        if (s == 0) return true;
        wait_for_change(s, nullptr);
    }
}

bool RunControl::sleep_unless_stopped(std::chrono::nanoseconds duration) const noexcept {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const uint32_t s = state_.load(std::memory_order_relaxed);
        if ((s & STOP_BIT) != 0) return true;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) return false;
        const std::chrono::nanoseconds wait = left;
        wait_for_change(s, &wait);
    }
}

}  // namespace orvo::qel
