#include "pool/send_watch.h"

// The kernel's header: the C library's struct tcp_info lacks the count of acknowledged bytes.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>

namespace orvo::qel {

std::optional<KernelSendQueue> read_kernel_send_queue(int fd) {
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
    // An older kernel fills a shorter record.
    if (size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        return std::nullopt;
    }
    return KernelSendQueue{static_cast<uint64_t>(queued), info.tcpi_bytes_acked};
}

void SendWatch::observe(Clock::time_point now, uint64_t waiting, uint64_t taken) {
    if (waiting == 0) {
        stuck_since_.reset();
    } else if (!stuck_since_ || taken != taken_) {
        // The peer took something since the last look (or nothing waited): the window starts
        // now, the latest moment that progress can have happened.
        stuck_since_ = now;
    }
    taken_ = taken;
}

bool SendWatch::stalled(Clock::time_point now) const {
    return stuck_since_ && now - *stuck_since_ >= window_;
}

std::optional<SendWatch::Clock::time_point> SendWatch::next_look(Clock::time_point now) const {
    if (!stuck_since_) return std::nullopt;
    return std::min(now + window_ / 20, *stuck_since_ + window_);
}

}  // namespace orvo::qel
