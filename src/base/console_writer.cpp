#include "base/console_writer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

namespace orvo::qel {

namespace {

struct Text {
    int fd;
    std::string text;
};

// Writes all of `text` to `fd`, waiting as long as the stream needs; gives up on an error such
// as a closed pipe (the console then loses those lines, as it would have anyway).
void write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, -1);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

}  // namespace

// Owned jointly by the writer object and its thread, so the thread may still be writing (or
// stuck on a stalled stream) when the object is gone.
struct ConsoleWriter::Shared {
    Shared(size_t cap, std::function<std::string(uint64_t)> line_for_dropped)
        : capacity(cap), dropped_line(std::move(line_for_dropped)) {}
    const size_t capacity;
    const std::function<std::string(uint64_t)> dropped_line;
    Mutex mutex;
    std::condition_variable_any work;  // something to write, or closing
    std::condition_variable_any idle;  // a batch was written
    std::deque<Text> queue GUARDED_BY(mutex);
    // Texts refused since the writer last caught up. While it is above 0 every new text is
    // refused too, so the writer's line for them stands exactly where they would have been.
    uint64_t dropped GUARDED_BY(mutex) = 0;
    // Texts queued so far (dropped ones not counted, the lines standing for them counted) and,
    // of those, written so far: a flush waits for the count queued when it was called.
    uint64_t queued GUARDED_BY(mutex) = 0;
    uint64_t written GUARDED_BY(mutex) = 0;
    bool closing GUARDED_BY(mutex) = false;
    bool threadless GUARDED_BY(mutex) = false;  // no thread could be started: write directly
    int dropped_fd GUARDED_BY(mutex) = -1;      // where the last dropped text was to go
};

ConsoleWriter::ConsoleWriter(size_t capacity, std::function<std::string(uint64_t)> dropped_line)
    : shared_(std::make_shared<Shared>(capacity, std::move(dropped_line))) {
    try {
        std::thread(run, shared_).detach();
    } catch (const std::system_error&) {
        MutexLock lock(shared_->mutex);
        shared_->threadless = true;
    }
}

ConsoleWriter::~ConsoleWriter() {
    MutexLock lock(shared_->mutex);
    shared_->closing = true;
    shared_->work.notify_all();
}

void ConsoleWriter::write(int fd, std::string text) {
    Shared& s = *shared_;
    {
        MutexLock lock(s.mutex);
        if (!s.threadless) {
            if (s.dropped > 0 || s.queue.size() >= s.capacity) {
                ++s.dropped;
                s.dropped_fd = fd;
                return;
            }
            s.queue.push_back({fd, std::move(text)});
            ++s.queued;
            s.work.notify_one();
            return;
        }
    }
    write_all(fd, text);
}

bool ConsoleWriter::flush(std::chrono::nanoseconds timeout) {
    Shared& s = *shared_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(s.mutex);
    if (s.threadless) return true;
    // While texts are being dropped the next one queued is the line that stands for them.
    const uint64_t target = s.queued + (s.dropped > 0 ? 1 : 0);
    while (s.written < target) {
        if (s.idle.wait_until(s.mutex, deadline) == std::cv_status::timeout) {
            return s.written >= target;
        }
    }
    return true;
}

void ConsoleWriter::run(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::deque<Text> batch;
    for (;;) {
        {
            MutexLock lock(s.mutex);
            s.written += batch.size();
            // The stream took what it was given, so it flows again: the dropped texts are said
            // after those queued before them, and new texts are taken again. Only after a write:
            // a thread that starts late finds texts dropped before the stream took anything.
            if (!batch.empty() && s.dropped > 0) {
                s.queue.push_back({s.dropped_fd, s.dropped_line(s.dropped)});
                ++s.queued;
                s.dropped = 0;
            }
            batch.clear();
            s.idle.notify_all();
            while (s.queue.empty() && !s.closing) s.work.wait(s.mutex);
            if (s.queue.empty()) return;
            batch.swap(s.queue);
        }
        // Runs of texts for one descriptor go out in one write each.
        std::string run_text;
        for (size_t i = 0; i < batch.size(); ++i) {
            run_text += batch[i].text;
            if (i + 1 == batch.size() || batch[i + 1].fd != batch[i].fd) {
                write_all(batch[i].fd, run_text);
                run_text.clear();
            }
        }
    }
}

}  // namespace orvo::qel
