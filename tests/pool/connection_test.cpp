#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool.h"
#include "pool/socket_connector.h"
#include "pool_test_util.h"
#include "support/loopback.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::eventually;
using test_support::loopback_config;
using test_support::LoopbackPeer;
using test_support::Recorder;

const std::string kJob = R"({"method":"job","params":{"job_id":"j","header_base":")" +
                         std::string(224, 'a') + R"(","target":")" + std::string(64, 'f') +
                         R"(","height":1}})"
                         "\n";

// A client wired to a fresh loopback peer, with reconnect delays shortened 200-fold. A test
// changes timing_ before its first use of pool().
class Connection : public ::testing::Test {
  protected:
    Pool& pool() {
        if (!pool_) pool_.emplace(rec_.lines(), rec_.verdicts(), timing_);
        return *pool_;
    }
    void connect() {
        pool().start(loopback_config(peer_.port()));
        ASSERT_TRUE(peer_.accept_client());
        std::string login;
        ASSERT_TRUE(peer_.read_line(login));
        ASSERT_TRUE(eventually([&] { return pool().connected(); }));
    }
    // Submits `n` shares and reads their lines at the peer; their ids are returned.
    std::vector<uint64_t> submit_shares(int n) {
        std::vector<uint64_t> ids;
        const uint8_t hash[32] = {};
        for (int i = 0; i < n; ++i) {
            ids.push_back(pool().next_submit_id());
            pool().submit("j", static_cast<uint64_t>(i), hash);
            std::string line;
            EXPECT_TRUE(peer_.read_line(line));
        }
        return ids;
    }
    size_t results() const { return rec_.results().size(); }
    std::string reason(size_t i) const { return rec_.results().at(i).reason; }

    // Declared so that the client (and its thread) goes first, before what it reports to.
    LoopbackPeer peer_;
    Recorder rec_;
    Pool::Timing timing_{.delay_unit = 5ms};
    std::optional<Pool> pool_;
};

TEST_F(Connection, ConnectsAndLogsIn) {
    EXPECT_FALSE(pool().connected());
    pool().start(loopback_config(peer_.port()));
    ASSERT_TRUE(peer_.accept_client());
    std::string login;
    ASSERT_TRUE(peer_.read_line(login));
    EXPECT_EQ(login, R"({"id":1,"method":"login","params":{"address":"addr","worker":"rig",)"
                     R"("protocol_version":2,"capabilities":["submit_claimed_hash"],)"
                     R"("difficulty_hint":null}})");
    EXPECT_TRUE(pool().connected());
    EXPECT_EQ(pool().conn_gen(), 1u);
    EXPECT_EQ(rec_.count("connected to 127.0.0.1:" + std::to_string(peer_.port())), 1u);
}

TEST_F(Connection, FramesSplitMergedCrlfAndEmptyLines) {
    connect();
    ASSERT_EQ(submit_shares(4), (std::vector<uint64_t>{2, 3, 4, 5}));
    ASSERT_TRUE(peer_.send(R"({"id":2,"err)"));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(peer_.send(R"(or":"a"})"));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(
        peer_.send("\n"
                   R"({"id":3,"error":"b"})"
                   "\n\n\n"
                   R"({"id":4,"error":"c"})"
                   "\r\n"
                   R"({"id":5,"error":"d"})"
                   "\n\r\n"));
    ASSERT_TRUE(eventually([&] { return results() >= 4; }));
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(results(), 4u);  // the empty lines and the lone CR produce nothing
    EXPECT_EQ(reason(0), "a");
    EXPECT_EQ(reason(1), "b");
    EXPECT_EQ(reason(2), "c");
    EXPECT_EQ(reason(3), "d");
    EXPECT_TRUE(pool().connected());
}

// Replies are matched to the requests of the connection they came on: after a reconnect, the
// login reply counts again, and replies to submits of the old connection count nothing.
TEST_F(Connection, RepliesCountOnlyForRequestsOfThisConnection) {
    connect();
    const auto old_ids = submit_shares(2);
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{}})"
                           "\n"
                           R"({"id":1,"result":{}})"
                           "\n"));
    ASSERT_TRUE(eventually([&] { return rec_.count("logged in") == 1; }));
    peer_.close_client();  // the pool restarts before answering the shares
    ASSERT_TRUE(peer_.accept_client());
    std::string login;
    ASSERT_TRUE(peer_.read_line(login));
    ASSERT_TRUE(eventually([&] { return pool().conn_gen() == 2; }));
    const auto new_ids = submit_shares(1);
    std::string replies;
    for (uint64_t id : old_ids)
        replies += R"({"id":)" + std::to_string(id) +
                   R"(,"status":"OK"})"
                   "\n";
    replies += R"({"id":1,"result":{}})"
               "\n";
    replies += R"({"id":)" + std::to_string(new_ids[0]) +
               R"(,"error":"stale"})"
               "\n";
    ASSERT_TRUE(peer_.send(replies));
    ASSERT_TRUE(eventually([&] { return results() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(results(), 1u);
    EXPECT_EQ(reason(0), "stale");
    EXPECT_EQ(rec_.count("logged in"), 2u);
}

TEST_F(Connection, LineOfExactlyTheCapIsKept) {
    connect();
    submit_shares(1);
    ASSERT_TRUE(peer_.send(std::string(POOL_MAX_PARTIAL_LINE, 'x')));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(
        peer_.send("\n"
                   R"({"id":2,"error":"after"})"
                   "\n"));
    ASSERT_TRUE(eventually([&] { return results() == 1; }));
    EXPECT_EQ(reason(0), "after");
    EXPECT_EQ(pool().conn_gen(), 1u);
    EXPECT_EQ(rec_.count_prefix("connection lost"), 0u);
}

TEST_F(Connection, LongerPartialLineDisconnectsSayingWhy) {
    connect();
    ASSERT_TRUE(peer_.send(std::string(POOL_MAX_PARTIAL_LINE + 1, 'x')));
    EXPECT_TRUE(peer_.client_closed());
    EXPECT_TRUE(
        eventually([&] { return rec_.count("connection lost, reconnecting in 2 s") == 1; }));
    const auto logs = rec_.logs();
    const auto lost = std::find(logs.begin(), logs.end(), "connection lost, reconnecting in 2 s");
    ASSERT_NE(lost, logs.begin());
    EXPECT_EQ(*(lost - 1), "red: 127.0.0.1:" + std::to_string(peer_.port()) +
                               " sent a line longer than 1 MiB: that is no pool message, so the "
                               "connection was dropped");
    EXPECT_TRUE(peer_.accept_client());  // and it comes back
    EXPECT_TRUE(eventually([&] { return pool().conn_gen() == 2; }));
}

TEST_F(Connection, RetryDelaysDoubleUpTo15) {
    const uint16_t port = test_support::closed_port();
    pool().start(loopback_config(port));
    const std::string prefix = "cannot reach 127.0.0.1:" + std::to_string(port) + ", retry in ";
    ASSERT_TRUE(eventually([&] { return rec_.count_prefix(prefix) >= 6; }));
    pool().stop();
    auto logs = rec_.logs();
    const char* expected[] = {"2", "4", "8", "15", "15", "15"};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(logs.at(i), prefix + expected[i] + " s");
    EXPECT_EQ(pool().conn_gen(), 0u);
    EXPECT_FALSE(pool().connected());
}

TEST_F(Connection, DelayResetsAfterAConnectionThatDeliveredAJob) {
    pool().start(loopback_config(peer_.port()));
    const char* sends[] = {"", "", kJob.c_str(), ""};
    const char* expected[] = {"2", "4", "2", "4"};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(peer_.accept_client());
        std::string login;
        ASSERT_TRUE(peer_.read_line(login));
        if (*sends[i]) {
            ASSERT_TRUE(peer_.send(sends[i]));
            ASSERT_TRUE(eventually([&] { return pool().job_seq() == 1; }));
        }
        peer_.close_client();
        const std::string line =
            std::string("connection lost, reconnecting in ") + expected[i] + " s";
        ASSERT_TRUE(
            eventually([&] { return rec_.count_prefix("connection lost") == size_t(i) + 1; }));
        EXPECT_EQ(rec_.logs().back(), line) << i;
    }
}

TEST_F(Connection, LossInvalidatesTheJobButKeepsItsContent) {
    connect();
    ASSERT_TRUE(peer_.send(kJob));
    ASSERT_TRUE(eventually([&] { return pool().job_seq() == 1; }));
    {
        const Job job = PoolTestAccess::job(pool());
        EXPECT_TRUE(job.valid);
        EXPECT_EQ(job.conn_gen, 1u);
    }
    PoolStatus status = pool().status();
    EXPECT_TRUE(status.connected);
    EXPECT_EQ(status.reconnects, 0u);
    EXPECT_EQ(status.job_height, 1u);
    EXPECT_EQ(status.port, peer_.port());
    EXPECT_FALSE(status.backup);
    peer_.close_client();
    ASSERT_TRUE(eventually([&] { return !pool().connected(); }));
    ASSERT_TRUE(eventually([&] { return !PoolTestAccess::job(pool()).valid; }));
    const Job job = PoolTestAccess::job(pool());
    EXPECT_EQ(job.job_id, "j");
    EXPECT_EQ(job.height, 1u);
    ASSERT_TRUE(peer_.accept_client());
    ASSERT_TRUE(eventually([&] { return pool().connected(); }));
    status = pool().status();
    EXPECT_EQ(status.reconnects, 1u);
    EXPECT_EQ(status.job_height, 1u);  // the last job received, also when it is no longer valid
}

// What the monitoring side is shown: the pool, the connection, the losses and the last job.
TEST_F(Connection, StatusFollowsTheConnection) {
    EXPECT_FALSE(pool().status().connected);
    connect();
    PoolStatus s = pool().status();
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, peer_.port());
    EXPECT_TRUE(s.connected);
    EXPECT_FALSE(s.backup);
    EXPECT_EQ(s.reconnects, 0u);
    EXPECT_LE(s.seconds_connected, 1u);      // counted from the connect just made
    EXPECT_FALSE(s.job_height.has_value());  // no job yet
    ASSERT_TRUE(peer_.send(kJob));
    ASSERT_TRUE(eventually([&] { return pool().job_seq() == 1; }));
    s = pool().status();
    EXPECT_EQ(s.job_height, 1u);
    EXPECT_EQ(s.job_difficulty, 0u);

    peer_.close_client();
    ASSERT_TRUE(eventually([&] { return pool().status().reconnects == 1; }));
    EXPECT_EQ(pool().status().job_height, 1u);  // the last job's numbers stay
    ASSERT_TRUE(peer_.accept_client());
    ASSERT_TRUE(eventually([&] { return pool().status().connected; }));
    pool().stop();  // a stop is no loss
    EXPECT_EQ(pool().status().reconnects, 1u);
    EXPECT_FALSE(pool().status().connected);
}

TEST_F(Connection, StopWhileConnectedIsSilent) {
    connect();
    ASSERT_TRUE(peer_.send(kJob));
    ASSERT_TRUE(eventually([&] { return pool().job_seq() == 1; }));
    const auto t0 = std::chrono::steady_clock::now();
    pool().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_TRUE(peer_.client_closed());
    EXPECT_EQ(rec_.count_prefix("connection lost"), 0u);
    EXPECT_FALSE(pool().connected());
    EXPECT_FALSE(PoolTestAccess::has_transport(pool()));
    EXPECT_FALSE(PoolTestAccess::job(pool()).valid);
    EXPECT_FALSE(PoolTestAccess::thread_joinable(pool()));
}

TEST(ConnectionTiming, StopDuringAWaitReturnsWithinASlice) {
    Recorder rec;                            // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());  // real delay unit: the wait would be 2 s
    pool.start(loopback_config(test_support::closed_port()));
    ASSERT_TRUE(eventually([&] { return rec.count_prefix("cannot reach") == 1; }));
    std::this_thread::sleep_for(50ms);
    const auto t0 = std::chrono::steady_clock::now();
    pool.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);  // the wait itself is 2 s
    EXPECT_EQ(rec.count_prefix("cannot reach"), 1u);
}

// A listener whose accept queue is full drops further handshakes, so a connect to it stays
// pending (the kernel keeps retrying for minutes).
TEST(ConnectionTiming, StopDuringAPendingConnectDoesNotWaitForIt) {
    uint16_t port = 0;
    const int listener = test_support::bound_loopback_socket(port);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(listen(listener, 0), 0);
    sockaddr_in addr = test_support::loopback_address(port);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(s);
    }
    std::this_thread::sleep_for(100ms);

    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());
    pool.start(loopback_config(port));
    std::this_thread::sleep_for(300ms);
    const bool pending = pool.conn_gen() == 0;
    const auto t0 = std::chrono::steady_clock::now();
    pool.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    if (pending) {
        EXPECT_EQ(rec.count_prefix("cannot reach"), 0u);  // a stop is not a failure
    }
    for (int s : fillers) close(s);
    close(listener);
}

TEST_F(Connection, IdsAndGenerationsContinueAcrossRestarts) {
    connect();
    uint8_t hash[32] = {};
    pool().submit("j", 1, hash);
    std::string line;
    ASSERT_TRUE(peer_.read_line(line));
    EXPECT_EQ(line.rfind(R"({"id":2,)", 0), 0u) << line;
    pool().stop();
    EXPECT_EQ(pool().conn_gen(), 1u);

    pool().start(loopback_config(peer_.port()));
    ASSERT_TRUE(peer_.accept_client());
    ASSERT_TRUE(peer_.read_line(line));
    EXPECT_EQ(line.rfind(R"({"id":1,"method":"login")", 0), 0u);
    ASSERT_TRUE(eventually([&] { return pool().connected(); }));
    EXPECT_EQ(pool().conn_gen(), 2u);
    pool().submit("j", 2, hash);
    ASSERT_TRUE(peer_.read_line(line));
    EXPECT_EQ(line.rfind(R"({"id":3,)", 0), 0u) << line;
}

// A pool that stops reading: submits keep returning at once (they only queue), the queue that
// cannot drain ends the connection after send_timeout, and stop() never waits for a write.
TEST_F(Connection, DeafPeerNeverBlocksSubmitsOrStop) {
    timing_.send_timeout = 500ms;
    connect();
    const uint8_t hash[32] = {};
    const std::string long_id(4000, 'j');  // fills the socket buffers quickly
    std::atomic<bool> done{false};
    std::atomic<int64_t> slowest_us{0};
    std::thread hashing([&] {
        while (!done) {
            const auto t0 = std::chrono::steady_clock::now();
            pool().submit(long_id, 1, hash);
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - t0)
                                .count();
            if (us > slowest_us) slowest_us = us;
        }
    });
    EXPECT_TRUE(eventually(
        [&] { return rec_.count_prefix("pool stopped reading: nothing could be sent for ") == 1; },
        10s));
    EXPECT_TRUE(eventually([&] { return rec_.count_prefix("connection lost") == 1; }));
    EXPECT_TRUE(peer_.accept_client());  // and it comes back
    const auto t0 = std::chrono::steady_clock::now();
    pool().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    done = true;
    hashing.join();
    EXPECT_LT(slowest_us.load(), 200000);  // generous: the machine is loaded
}

// A pool that stops reading while the kernel still takes every write: a few lines wait in the
// kernel's buffers, no write is ever refused, and the connection still ends after send_timeout.
TEST(ConnectionTiming, APoolThatStopsReadingIsSeenWhileTheKernelTakesEveryWrite) {
    LoopbackPeer peer(LoopbackPeer::Family::ipv4,
                      4096);  // takes little: the rest waits at the client
    Recorder rec;             // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts(), {.delay_unit = 5ms, .send_timeout = 300ms});
    pool.start(loopback_config(peer.port()));
    ASSERT_TRUE(peer.accept_client());  // and never reads a byte
    ASSERT_TRUE(eventually([&] { return pool.connected(); }));
    const uint8_t hash[32] = {};
    for (uint64_t i = 0; i < 8; ++i) pool.submit(std::string(1000, 'j'), i, hash);
    EXPECT_TRUE(eventually(
        [&] { return rec.count_prefix("pool stopped reading: nothing could be sent for ") == 1; },
        5s));
    EXPECT_TRUE(eventually([&] { return rec.count_prefix("connection lost") == 1; }));
}

TEST_F(Connection, StopWhileThePeerIsDeafIsPrompt) {
    connect();
    const uint8_t hash[32] = {};
    const std::string long_id(4000, 'j');
    for (uint64_t i = 0; i < 3000; ++i) pool().submit(long_id, i, hash);  // far beyond the buffers
    std::this_thread::sleep_for(200ms);
    const auto t0 = std::chrono::steady_clock::now();
    pool().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(rec_.count_prefix("connection lost"), 0u);
}

TEST_F(Connection, QueuedLinesGoOutWholeAndInOrder) {
    connect();
    const uint8_t hash[32] = {};
    constexpr int THREADS = 4, EACH = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            const std::string job_id(1, static_cast<char>('0' + t));
            for (uint64_t i = 0; i < EACH; ++i) pool().submit("t" + job_id, i, hash);
        });
    }
    for (auto& t : threads) t.join();
    std::vector<int> next(THREADS, 0);
    for (int n = 0; n < THREADS * EACH; ++n) {
        std::string line;
        ASSERT_TRUE(peer_.read_line(line));
        const auto job = line.find(R"("job_id":"t)");
        ASSERT_NE(job, std::string::npos) << line;
        const auto t = static_cast<size_t>(line[job + 11] - '0');
        ASSERT_LT(t, next.size()) << line;
        EXPECT_NE(line.find(R"("nonce":)" + std::to_string(next[t]++) + ","), std::string::npos)
            << line;
        EXPECT_EQ(line.substr(line.size() - 2), "}}") << line;
    }
}

// The pool may keep the connection open and stop answering: the login and each submit have a
// reply deadline, after which the connection counts as lost and the job as gone.
TEST_F(Connection, LoginWithoutReplyEndsTheConnection) {
    timing_.login_timeout = 300ms;
    connect();
    EXPECT_TRUE(
        eventually([&] { return rec_.count_prefix("no reply to the login within ") == 1; }));
    EXPECT_TRUE(
        eventually([&] { return rec_.count("connection lost, reconnecting in 2 s") == 1; }));
    ASSERT_TRUE(peer_.accept_client());
    std::string login;
    ASSERT_TRUE(peer_.read_line(login));
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{"status":"OK"}})"
                           "\n"));
    std::this_thread::sleep_for(600ms);  // twice the deadline: an answered login keeps it open
    EXPECT_EQ(rec_.count_prefix("no reply to the login"), 1u);
    EXPECT_EQ(pool().conn_gen(), 2u);
}

// Some pools answer the login with their first job instead of a reply: a job accepted on the
// connection settles the login's deadline, and a reply that comes later still counts.
TEST_F(Connection, AJobInsteadOfTheLoginReplySettlesTheLogin) {
    timing_.login_timeout = 300ms;
    connect();
    ASSERT_TRUE(peer_.send(R"({"id":1,"method":"job","params":{"job_id":"j","header_base":")" +
                           std::string(224, 'a') + R"(","target":")" + std::string(64, 'f') +
                           R"("}})"
                           "\n"));
    ASSERT_TRUE(eventually([&] { return pool().job_seq() == 1; }));
    std::this_thread::sleep_for(700ms);  // more than twice the deadline
    EXPECT_EQ(rec_.count_prefix("no reply to the login"), 0u);
    EXPECT_EQ(pool().conn_gen(), 1u);
    EXPECT_TRUE(pool().connected());
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{"status":"OK"}})"
                           "\n"));
    EXPECT_TRUE(eventually([&] { return rec_.count("logged in") == 1; }));
}

TEST_F(Connection, SubmitWithoutReplyEndsTheConnectionAndTheJob) {
    timing_.reply_timeout = 400ms;
    connect();
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{"status":"OK"}})"
                           "\n" +
                           kJob));
    ASSERT_TRUE(eventually([&] { return pool().job_seq() == 1; }));
    const uint8_t hash[32] = {};
    pool().submit("j", 1, hash);
    pool().submit("j", 2, hash);
    std::string line;
    ASSERT_TRUE(peer_.read_line(line));
    ASSERT_TRUE(peer_.read_line(line));
    ASSERT_TRUE(peer_.send(R"({"id":3,"status":"OK"})"
                           "\n"));  // the second is answered, the first never
    EXPECT_TRUE(eventually([&] { return rec_.count_prefix("no reply to a share within ") == 1; }));
    EXPECT_TRUE(
        eventually([&] { return rec_.count("connection lost, reconnecting in 2 s") == 1; }));
    EXPECT_FALSE(PoolTestAccess::job(pool()).valid);  // no thread hashes the dead pool's job
    const auto logs = rec_.logs();
    const auto lost = std::find(logs.begin(), logs.end(), "connection lost, reconnecting in 2 s");
    ASSERT_NE(lost, logs.end());
    EXPECT_EQ((lost - 1)->rfind("no reply to a share within ", 0), 0u);  // says which, first
    EXPECT_TRUE(peer_.accept_client());
}

TEST_F(Connection, AnsweredSubmitsKeepTheConnection) {
    timing_.reply_timeout = 300ms;
    connect();
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{"status":"OK"}})"
                           "\n"));
    const uint8_t hash[32] = {};
    for (uint64_t i = 0; i < 6; ++i) {
        pool().submit("j", i, hash);
        std::string line;
        ASSERT_TRUE(peer_.read_line(line));
        ASSERT_TRUE(peer_.send(R"({"id":)" + std::to_string(2 + i) +
                               R"(,"status":"OK"})"
                               "\n"));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(rec_.count_prefix("no reply"), 0u);
    EXPECT_EQ(pool().conn_gen(), 1u);
}

// A resolver that fails only when released, or when `hold` has passed (and from then on at once):
// a name server that never replies within the test's time. The hold bounds the test, so a stop that
// wrongly waits for the look-up fails the test after a few seconds instead of hanging it until the
// ctest timeout.
struct StuckResolver {
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool released = false;
        int calls = 0;
    };
    static constexpr auto hold = 3s;
    std::shared_ptr<State> state = std::make_shared<State>();
    ResolveFn fn() const {
        return [s = state](const char*, const char*, const addrinfo*, addrinfo**) {
            std::unique_lock<std::mutex> lock(s->mutex);
            ++s->calls;
            s->cv.notify_all();
            // Once the hold has passed, later calls fail at once too.
            s->released = s->released || !s->cv.wait_for(lock, hold, [&] { return s->released; });
            return EAI_AGAIN;
        };
    }
    bool wait_called() const {
        std::unique_lock<std::mutex> lock(state->mutex);
        return state->cv.wait_for(lock, 5s, [&] { return state->calls > 0; });
    }
    ~StuckResolver() {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->released = true;
        state->cv.notify_all();
    }
};

TEST(ConnectionTiming, StopDoesNotWaitForTheResolver) {
    StuckResolver resolver;
    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts(), {},
              std::make_unique<SocketConnector>(PoolTiming{}, resolver.fn()));
    pool.start(loopback_config(1));
    ASSERT_TRUE(resolver.wait_called());
    std::this_thread::sleep_for(300ms);
    const auto t0 = std::chrono::steady_clock::now();
    pool.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(rec.count_prefix("cannot reach"), 0u);  // a stop is not a failure
    EXPECT_FALSE(PoolTestAccess::thread_joinable(pool));
}

TEST(ConnectionTiming, AnAbandonedLookupAnsweringLateIsHarmless) {
    // The late answer is a real address list: the helper must free it, not hand it over.
    auto gate = std::make_shared<std::atomic<bool>>(false);
    {
        Pool pool({}, {}, {},
                  std::make_unique<SocketConnector>(
                      PoolTiming{},
                      [gate](const char* h, const char* s, const addrinfo* hints, addrinfo** out) {
                          while (!*gate) std::this_thread::sleep_for(1ms);
                          return getaddrinfo(h, s, hints, out);
                      }));
        pool.start(loopback_config(test_support::closed_port()));
        std::this_thread::sleep_for(200ms);
        pool.stop();
    }
    *gate = true;
    std::this_thread::sleep_for(200ms);  // the helper finishes after its client is gone
}

class Failover2 : public ::testing::Test {
  protected:
    Pool& pool() {
        if (!pool_) pool_.emplace(rec_.lines(), rec_.verdicts(), timing_);
        return *pool_;
    }
    Pool::Config two_pools() {
        Pool::Config config = loopback_config(first_);
        config.backups = {{"127.0.0.1", second_.port()}};
        return config;
    }
    uint16_t first_ = test_support::closed_port();
    LoopbackPeer second_;
    Recorder rec_;
    Pool::Timing timing_{.delay_unit = 5ms};
    std::optional<Pool> pool_;
};

TEST_F(Failover2, ThreeFailuresHandOverToTheNextPool) {
    pool().start(two_pools());
    ASSERT_TRUE(second_.accept_client());
    const auto logs = rec_.logs();
    const std::string first = "127.0.0.1:" + std::to_string(first_);
    const std::string second = "127.0.0.1:" + std::to_string(second_.port());
    const std::vector<std::string> expected = {
        "cannot reach " + first + ", retry in 2 s",
        "cannot reach " + first + ", retry in 4 s",
        "cannot reach " + first + ", retry in 8 s",
        "switching to pool " + second + " (3 failed attempts in a row)",
    };
    ASSERT_GE(logs.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(logs[i], expected[i]);
    EXPECT_TRUE(eventually([&] { return rec_.count("connected to " + second) == 1; }));
    const PoolStatus s = pool().status();
    EXPECT_TRUE(s.backup);
    EXPECT_EQ(s.port, second_.port());
    EXPECT_EQ(s.failovers, 1u);
}

// A refused login: with backups it is a failed attempt (closed, backed off, handed over after
// three); a lone pool keeps the connection, since jobs it sends later are still used.
TEST_F(Failover2, ARefusedLoginIsAFailedAttemptOnlyWithBackups) {
    LoopbackPeer refusing;
    const std::string refusal = R"({"id":1,"error":"unknown address"})"
                                "\n";
    {
        Pool::Config config = loopback_config(refusing.port());
        config.backups = {{"127.0.0.1", second_.port()}};
        pool().start(config);
        for (int attempt = 0; attempt < 3; ++attempt) {
            ASSERT_TRUE(refusing.accept_client()) << attempt;
            std::string login;
            ASSERT_TRUE(refusing.read_line(login));
            ASSERT_TRUE(refusing.send(refusal));
            ASSERT_TRUE(refusing.client_closed()) << attempt;
        }
        ASSERT_TRUE(second_.accept_client());
        const std::string first = "127.0.0.1:" + std::to_string(refusing.port());
        const std::string second = "127.0.0.1:" + std::to_string(second_.port());
        EXPECT_EQ(rec_.count("login refused: unknown address"), 3u);
        EXPECT_EQ(rec_.count("switching to pool " + second + " (3 failed attempts in a row)"), 1u);
        const auto logs = rec_.logs();
        const std::vector<std::string> delays = {"2", "4", "8"};
        std::vector<std::string> seen;
        for (const auto& line : logs) {
            if (line.rfind("connection lost, reconnecting in ", 0) == 0) seen.push_back(line);
        }
        ASSERT_EQ(seen.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(seen[i], "connection lost, reconnecting in " + delays[i] + " s");
        }
        pool().stop();
    }
    Recorder rec;
    Pool lone(rec.lines(), rec.verdicts(), timing_);
    lone.start(loopback_config(refusing.port()));
    ASSERT_TRUE(refusing.accept_client());
    std::string login;
    ASSERT_TRUE(refusing.read_line(login));
    ASSERT_TRUE(refusing.send(refusal));
    ASSERT_TRUE(eventually([&] { return rec.count("login refused: unknown address") == 1; }));
    EXPECT_FALSE(refusing.client_closed(200ms));
    EXPECT_EQ(lone.conn_gen(), 1u);
    ASSERT_TRUE(refusing.send(kJob));
    EXPECT_TRUE(eventually([&] { return lone.job_seq() == 1; }));
    lone.stop();
}

TEST_F(Failover2, BackToTheFirstAtTheNextReconnectAfterTheReturnTime) {
    timing_.failover_return = 300ms;
    LoopbackPeer first;  // not listening yet: made unreachable by pointing at a closed port
    pool().start(two_pools());
    ASSERT_TRUE(second_.accept_client());
    std::string login;
    ASSERT_TRUE(second_.read_line(login));
    ASSERT_TRUE(second_.send(kJob));
    ASSERT_TRUE(eventually([&] { return pool().job_seq() == 1; }));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(pool().conn_gen(), 1u);  // a healthy backup is not dropped for the return
    second_.close_client();
    const std::string back =
        "switching to pool 127.0.0.1:" + std::to_string(first_) + " (back to the first pool)";
    EXPECT_TRUE(eventually([&] { return rec_.count(back) == 1; }));
    EXPECT_EQ(pool().status().failovers, 2u);  // to the backup and back
    EXPECT_TRUE(eventually([&] {
        return rec_.count_prefix("cannot reach 127.0.0.1:" + std::to_string(first_)) == 4;
    }));
}

TEST_F(Failover2, ARestartWithTheSamePoolsStaysOnThePoolInUse) {
    pool().start(two_pools());
    ASSERT_TRUE(second_.accept_client());
    ASSERT_TRUE(eventually([&] { return pool().connected(); }));
    pool().stop();
    Pool::Config config = two_pools();
    config.address = "dev";  // the fee switch changes only the login
    pool().start(config);
    ASSERT_TRUE(second_.accept_client());
    std::string login;
    ASSERT_TRUE(second_.read_line(login));
    EXPECT_NE(login.find(R"("address":"dev")"), std::string::npos) << login;
    EXPECT_EQ(rec_.count_prefix("cannot reach"), 3u);
}

}  // namespace
}  // namespace orvo::qel
