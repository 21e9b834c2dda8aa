#include "miner/sleep.h"

#include <time.h>

#include <cerrno>

namespace orvo::qel {

void sleep_resumed(std::chrono::nanoseconds duration) {
    if (duration.count() <= 0) return;
    timespec left{static_cast<time_t>(duration.count() / 1'000'000'000),
                  static_cast<long>(duration.count() % 1'000'000'000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace orvo::qel
