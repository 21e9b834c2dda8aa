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
#include <optional>

#include "base/mutex.h"

namespace orvo::qel {

class PendingReplies {
  public:
    using Clock = std::chrono::steady_clock;

    void add(uint64_t id, Clock::time_point sent) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        sent_.emplace(id, sent);
    }
    // True exactly once for an id that was added since the last clear.
    bool take(uint64_t id) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return sent_.erase(id) == 1;
    }
    // When the request `id` was sent, if it still awaits its reply.
    std::optional<Clock::time_point> sent_at(uint64_t id) const EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        auto it = sent_.find(id);
        if (it == sent_.end()) return std::nullopt;
        return it->second;
    }
    // The send time of the lowest id above `below`, which is the longest-waiting request of
    // those: ids are handed out in increasing order and each is added as it is sent, so the
    // lowest is the oldest (up to the few microseconds by which two submitting threads may
    // race). `below` is the login's id, the lowest of all, so this is constant time, however
    // many submits the pool leaves unanswered.
    std::optional<Clock::time_point> oldest_after(uint64_t below) const EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        auto it = sent_.begin();
        while (it != sent_.end() && it->first <= below) ++it;
        if (it == sent_.end()) return std::nullopt;
        return it->second;
    }
    // A new connection: nothing sent on the old one can be answered any more.
    void clear() EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        sent_.clear();
    }

  private:
    mutable Mutex mutex_;
    std::map<uint64_t, Clock::time_point> sent_ GUARDED_BY(mutex_);
};

}  // namespace orvo::qel
