#include "pool/send_watch.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pool_test_util.h"
#include "support/loopback.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;

struct Look {
    int at_ms;
    uint64_t waiting;
    uint64_t taken;
};

// Looks at a connection with a 10 s window; the first look after which it counts as stalled.
TEST(SendWatch, GivesUpOnlyWhenBytesWaitAWholeWindowWithNoneTaken) {
    const struct Case {
        const char* name;
        std::vector<Look> looks;
        std::optional<int> stalled_at_ms;
    } cases[] = {
        {"nothing taken", {{0, 100, 7}, {9999, 100, 7}, {10000, 100, 7}}, 10000},
        // The kernel taking more writes is no sign of the pool reading.
        {"queue grows, nothing taken",
         {{0, 100, 7}, {4000, 5000, 7}, {8000, 90000, 7}, {10000, 90000, 7}},
         10000},
        {"slow reader, then none",
         {{0, 100, 0},
          {9000, 100, 1},
          {18000, 100, 2},
          {27000, 100, 3},
          {36000, 100, 4},
          {45999, 100, 4},
          {46000, 100, 4}},
         46000},
        // An idle connection takes nothing because nothing waits: the window starts with the
        // first waiting byte.
        {"idle, then bytes wait",
         {{0, 0, 5}, {30000, 0, 5}, {31000, 100, 5}, {41000, 100, 5}},
         41000},
        {"all taken", {{0, 100, 0}, {60000, 0, 100}}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SendWatch::Clock::time_point t0{};
        SendWatch watch(10s);
        std::optional<int> stalled_at;
        for (const Look& look : c.looks) {
            const auto now = t0 + std::chrono::milliseconds(look.at_ms);
            watch.observe(now, look.waiting, look.taken);
            if (!stalled_at && watch.stalled(now)) stalled_at = look.at_ms;
        }
        EXPECT_EQ(stalled_at, c.stalled_at_ms);
    }
}

TEST(SendWatch, LooksEveryTwentiethOfTheWindowWhileBytesWait) {
    const SendWatch::Clock::time_point t0{};
    SendWatch watch(10s);
    watch.observe(t0, 0, 0);
    EXPECT_EQ(watch.next_look(t0), std::nullopt);
    watch.observe(t0, 1, 0);
    EXPECT_EQ(watch.next_look(t0), t0 + 500ms);
    EXPECT_EQ(watch.next_look(t0 + 9800ms), t0 + 10s);  // never past the window's end
}

// The kernel's counts on a real connection whose peer stops reading: bytes wait and the
// acknowledged count stands still; once the peer reads, all are acknowledged.
TEST(SendWatch, KernelCountsShowAPeerThatStopsReading) {
    test_support::LoopbackPeer peer(test_support::LoopbackPeer::Family::ipv4, 4096);
    const int fd = test_support::connect_to(peer.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(peer.accept_client());
    const std::string bytes(64 * 1024, 'x');
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ASSERT_GT(sent, 0);
    std::this_thread::sleep_for(50ms);
    const auto first = read_kernel_send_queue(fd);
    ASSERT_TRUE(first.has_value());
    EXPECT_GT(first->queued, 0u);
    EXPECT_EQ(first->queued, static_cast<uint64_t>(sent) + 1 - first->acked);  // +1: the SYN
    std::this_thread::sleep_for(200ms);
    const auto later = read_kernel_send_queue(fd);
    ASSERT_TRUE(later.has_value());
    EXPECT_EQ(later->acked, first->acked);
    EXPECT_EQ(later->queued, first->queued);

    std::string line;
    peer.read_line(line, 500ms);  // no line feed: reads until the time is up
    EXPECT_TRUE(test_support::eventually([&] {
        const auto now = read_kernel_send_queue(fd);
        return now && now->queued == 0 && now->acked == first->acked + first->queued;
    }));
    close(fd);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_FALSE(read_kernel_send_queue(pair[0]).has_value());  // no TCP: no counts
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
}  // namespace orvo::qel
