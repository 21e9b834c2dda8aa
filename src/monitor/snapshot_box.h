// The snapshot's hand-over from the main loop to the HTTP server's thread.
#pragma once

#include <memory>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "monitor/api_snapshot.h"

namespace orvo::qel {

// The hand-over between the main loop (publish) and the HTTP thread (latest). The lock is held
// only to swap or copy a pointer.
class SnapshotBox {
  public:
    void publish(std::shared_ptr<const ApiSnapshot> snapshot) EXCLUDES(mutex_);
    std::shared_ptr<const ApiSnapshot> latest() const EXCLUDES(mutex_);

  private:
    mutable Mutex mutex_;
    std::shared_ptr<const ApiSnapshot> snapshot_ GUARDED_BY(mutex_) =
        std::make_shared<const ApiSnapshot>();
};

}  // namespace orvo::qel
