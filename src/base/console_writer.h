// The writer behind the console: lines are queued by any thread and written by a thread of the
// writer's own, so no caller ever waits for a stream that does not drain (a stuck pipe, a tee
// that stopped reading, a terminal on hold).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "base/mutex.h"

namespace orvo::qel {

// Lines the console keeps waiting while its output is stalled (besides those being written).
// The miner's steady output, a speed line every 10 s and a few shares a minute, takes over an hour
// to fill it, and bursts (start-up, a reconnect storm, a pool with a low difficulty) fit many
// times over. Lines are at most some 300 bytes, so it holds under 300 KiB.
inline constexpr size_t CONSOLE_QUEUE_LINES = 1024;

class ConsoleWriter {
  public:
    // `dropped_line(n)` is the whole text (newline included) that stands for n dropped lines.
    ConsoleWriter(size_t capacity, std::function<std::string(uint64_t)> dropped_line);
    // Lines still queued are written by the writer thread, which ends once the queue is empty;
    // nothing waits for it.
    ~ConsoleWriter();
    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // Queues `text` (whole lines) for descriptor `fd` and returns at once. While the queue is
    // full, and from then on until the writer has caught up, texts are dropped and counted; the
    // writer then writes dropped_line(count) in their place. Texts are written in the order they
    // were queued, each in one piece.
    void write(int fd, std::string text);
    // Waits until everything queued so far is written, at most `timeout`: true when it was.
    bool flush(std::chrono::nanoseconds timeout);

  private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);
    std::shared_ptr<Shared> shared_;
};

}  // namespace orvo::qel
