#include "base/sleep.h"

#include <time.h>

#include <cerrno>

namespace orvo::qel {

void sleep_resuming(std::chrono::nanoseconds duration) {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec want{static_cast<time_t>(secs.count()), static_cast<long>((duration - secs).count())};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

}  // namespace orvo::qel
