// The pool client's small bookkeeping units: the replies it awaits and why a connection ended.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "pool/connection_ending.h"
#include "pool/pending_replies.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;

// The oldest awaited submit is the one with the lowest id: ids are handed out in order, so it
// is found at the front of the set, not by walking it. The login (id 1) is left out.
TEST(PendingReplies, OldestSubmitIsTheLowestIdAfterTheLogin) {
    const auto t0 = PendingReplies::Clock::now();
    PendingReplies pending;
    EXPECT_EQ(pending.oldest_after(1), std::nullopt);
    pending.add(1, t0);
    EXPECT_EQ(pending.oldest_after(1), std::nullopt);
    pending.add(9, t0 + 1ms);  // sent by a thread that took its id later but queued first
    pending.add(7, t0 + 2ms);
    pending.add(8, t0 + 3ms);
    EXPECT_EQ(pending.oldest_after(1), t0 + 2ms);
    EXPECT_TRUE(pending.take(7));
    EXPECT_EQ(pending.oldest_after(1), t0 + 3ms);
    EXPECT_FALSE(pending.take(7));
    EXPECT_TRUE(pending.take(1));
    EXPECT_EQ(pending.oldest_after(1), t0 + 3ms);
    pending.clear();
    EXPECT_EQ(pending.oldest_after(1), std::nullopt);
    EXPECT_EQ(pending.sent_at(8), std::nullopt);
}

// Every ending but a plain close (or a refusal, logged when it came) says why before
// "connection lost", with the times the client was given.
TEST(ConnectionEnding, EachEndingSaysWhy) {
    const PoolTiming timing{.send_timeout = 10s,
                            .login_timeout = 30s,
                            .reply_timeout = 60s,
                            .keepalive_idle = 60s,
                            .keepalive_interval = 10s,
                            .keepalive_count = 6};
    const struct {
        ConnectionEnding ending;
        std::optional<std::string> line;
    } cases[] = {
        {ConnectionEnding::closed, std::nullopt},
        {ConnectionEnding::login_refused, std::nullopt},
        {ConnectionEnding::write_stalled, "pool stopped reading: nothing could be sent for 10 s"},
        {ConnectionEnding::login_unanswered, "no reply to the login within 30 s"},
        {ConnectionEnding::submit_unanswered, "no reply to a share within 60 s"},
        {ConnectionEnding::keepalive_timeout,
         "no sign of the pool for 120 s: keepalive probes unanswered"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ending_reason(c.ending, timing), c.line) << static_cast<int>(c.ending);
    }
    // The kernel reports failed keepalive probes as a timed-out connection; other errors are
    // a plain loss.
    EXPECT_EQ(ending_for_socket_error(ETIMEDOUT), ConnectionEnding::keepalive_timeout);
    EXPECT_EQ(ending_for_socket_error(ECONNRESET), ConnectionEnding::closed);
    EXPECT_EQ(ending_for_socket_error(EPIPE), ConnectionEnding::closed);
}

}  // namespace
}  // namespace orvo::qel
