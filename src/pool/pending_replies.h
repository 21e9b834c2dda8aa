// The requests sent on the current connection that still await their reply: the login (id 1)
// and every submit. A reply counts only when it takes an id from here, so ids the client never
// sent, or replies repeated by the pool, count nothing; the oldest send time bounds how long the
// pool may stay silent about them.
//
// Hashing threads add (through submit) while the connection thread takes and clears, so the
// set has its own lock, held only for the few instructions of each call.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace orvo::qel {

class PendingReplies {
  public:
    using Clock = std::chrono::steady_clock;

    void add(uint64_t id, Clock::time_point sent) {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.emplace(id, sent);
    }
    // True exactly once for an id that was added since the last clear.
    bool take(uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_.erase(id) == 1;
    }
    // When the request `id` was sent, if it still awaits its reply.
    std::optional<Clock::time_point> sent_at(uint64_t id) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sent_.find(id);
        if (it == sent_.end()) return std::nullopt;
        return it->second;
    }
    // The send time of the longest-waiting request other than `except` (e.g. the login).
    std::optional<Clock::time_point> oldest_except(uint64_t except) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<Clock::time_point> oldest;
        for (const auto& [id, sent] : sent_) {
            if (id != except && (!oldest || sent < *oldest)) oldest = sent;
        }
        return oldest;
    }
    // A new connection: nothing sent on the old one can be answered any more.
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::map<uint64_t, Clock::time_point> sent_;  // guarded by mutex_
};

}  // namespace orvo::qel
