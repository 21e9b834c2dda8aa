#include "pool/transport.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace orvo::qel {

bool looks_like_tls_record(const char* data, size_t size) {
    if (size < 3) return false;
    const auto type = static_cast<unsigned char>(data[0]);
    const auto major = static_cast<unsigned char>(data[1]);
    const auto minor = static_cast<unsigned char>(data[2]);
    // Record types alert (21) and handshake (22); versions 3.0 (SSL 3) to 3.4 (TLS 1.3).
    return (type == 21 || type == 22) && major == 3 && minor <= 4;
}

SocketWait wait_for_socket(int fd, short events, std::chrono::steady_clock::time_point deadline,
                           std::chrono::milliseconds slice,
                           const std::function<bool()>& keep_going) {
    using namespace std::chrono;
    for (;;) {
        if (!keep_going()) return SocketWait::stopped;
        const auto left = ceil<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) return SocketWait::timed_out;
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(std::min(left, slice).count()));
        if (r < 0 && errno != EINTR) return SocketWait::failed;
        if (r > 0) return SocketWait::ready;
    }
}

}  // namespace orvo::qel
