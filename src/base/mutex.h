// A mutex the thread-safety analysis understands. libstdc++'s std::mutex and std::lock_guard
// carry no capability attributes, so the analysis could not see a lock taken through them.
#pragma once

#include <mutex>

#include "base/thread_annotations.h"

namespace orvo::qel {

class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

  private:
    std::mutex m_;
};

// Holds `mutex` for its own lifetime, like std::lock_guard.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

}  // namespace orvo::qel
