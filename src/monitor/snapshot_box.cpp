#include "monitor/snapshot_box.h"

namespace orvo::qel {

void SnapshotBox::publish(std::shared_ptr<const ApiSnapshot> snapshot) {
    MutexLock lock(mutex_);
    snapshot_.swap(snapshot);
    // The old snapshot (now in `snapshot`) is released after the lock, outside the reader's way.
}

std::shared_ptr<const ApiSnapshot> SnapshotBox::latest() const {
    MutexLock lock(mutex_);
    return snapshot_;
}

}  // namespace orvo::qel
