// Whether the pool still takes what the client sends. Bytes the kernel accepted are not bytes
// the pool took: a pool that stops reading lets megabytes queue in the two kernels' buffers
// before a write is ever refused. So the watch looks at the kernel's own counts: the bytes still
// waiting (ours unwritten, plus the kernel's unsent and unacknowledged ones) and the running
// count of bytes the peer has acknowledged. While bytes wait and that count does not move, the
// pool takes nothing; after `window` of that the connection is given up.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace orvo::qel {

// What the kernel says about a connected TCP socket's outgoing side.
struct KernelSendQueue {
    uint64_t queued = 0;  // bytes written but not yet acknowledged by the peer (sent or not)
    uint64_t acked = 0;   // bytes the peer has acknowledged since the connection opened
};

// The kernel's counts for `fd`; nothing when it is no TCP socket or the kernel is too old to
// count acknowledged bytes.
std::optional<KernelSendQueue> read_kernel_send_queue(int fd);

class SendWatch {
  public:
    using Clock = std::chrono::steady_clock;

    explicit SendWatch(std::chrono::milliseconds window) : window_(window) {}

    // One look at the connection: `waiting` bytes are not yet taken by the peer; `taken` counts
    // every byte it has taken so far (it never goes back).
    void observe(Clock::time_point now, uint64_t waiting, uint64_t taken);
    // True once bytes have waited for the whole window without the peer taking any.
    bool stalled(Clock::time_point now) const;
    // When to look next: progress is only seen by looking, so while bytes wait the watch asks
    // for a look every twentieth of the window, and at the latest when the window ends. Nothing
    // while no byte waits.
    std::optional<Clock::time_point> next_look(Clock::time_point now) const;

  private:
    const std::chrono::milliseconds window_;
    std::optional<Clock::time_point> stuck_since_;  // bytes wait and none taken since then
    uint64_t taken_ = 0;
};

}  // namespace orvo::qel
