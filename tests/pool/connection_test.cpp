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
#include <string>
#include <thread>
#include <vector>

#include "pool/pool.h"
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

// A client wired to a fresh loopback peer, with reconnect delays shortened 200-fold.
class Connection : public ::testing::Test {
  protected:
    void SetUp() override {
        rec_.attach(pool_);
        pool_.delay_unit = 5ms;
    }
    void connect() {
        pool_.start(loopback_config(peer_.port()));
        ASSERT_TRUE(peer_.accept_client());
        std::string login;
        ASSERT_TRUE(peer_.read_line(login));
        ASSERT_TRUE(eventually([&] { return pool_.connected.load(); }));
    }
    // Submits `n` shares and reads their lines at the peer; their ids are returned.
    std::vector<uint64_t> submit_shares(int n) {
        std::vector<uint64_t> ids;
        const uint8_t hash[32] = {};
        for (int i = 0; i < n; ++i) {
            ids.push_back(pool_.next_submit_id.load());
            pool_.submit("j", static_cast<uint64_t>(i), hash);
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
    Pool pool_;
};

TEST_F(Connection, ConnectsAndLogsIn) {
    EXPECT_FALSE(pool_.connected.load());
    pool_.start(loopback_config(peer_.port()));
    ASSERT_TRUE(peer_.accept_client());
    std::string login;
    ASSERT_TRUE(peer_.read_line(login));
    EXPECT_EQ(login, R"({"id":1,"method":"login","params":{"address":"addr","worker":"rig",)"
                     R"("protocol_version":2,"capabilities":["submit_claimed_hash"],)"
                     R"("difficulty_hint":null}})");
    EXPECT_TRUE(pool_.connected.load());
    EXPECT_EQ(pool_.conn_gen.load(), 1u);
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
    EXPECT_TRUE(pool_.connected.load());
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
    ASSERT_TRUE(eventually([&] { return pool_.conn_gen.load() == 2; }));
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
    EXPECT_EQ(pool_.conn_gen.load(), 1u);
    EXPECT_EQ(rec_.count_prefix("connection lost"), 0u);
}

TEST_F(Connection, LongerPartialLineDisconnects) {
    connect();
    ASSERT_TRUE(peer_.send(std::string(POOL_MAX_PARTIAL_LINE + 1, 'x')));
    EXPECT_TRUE(peer_.client_closed());
    EXPECT_TRUE(
        eventually([&] { return rec_.count("connection lost, reconnecting in 2 s") == 1; }));
    EXPECT_TRUE(peer_.accept_client());  // and it comes back
    EXPECT_TRUE(eventually([&] { return pool_.conn_gen.load() == 2; }));
}

TEST_F(Connection, RetryDelaysDoubleUpTo15) {
    const uint16_t port = test_support::closed_port();
    pool_.start(loopback_config(port));
    const std::string prefix = "cannot reach 127.0.0.1:" + std::to_string(port) + ", retry in ";
    ASSERT_TRUE(eventually([&] { return rec_.count_prefix(prefix) >= 6; }));
    pool_.stop();
    auto logs = rec_.logs();
    const char* expected[] = {"2", "4", "8", "15", "15", "15"};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(logs.at(i), prefix + expected[i] + " s");
    EXPECT_EQ(pool_.conn_gen.load(), 0u);
    EXPECT_FALSE(pool_.connected.load());
}

TEST_F(Connection, DelayResetsAfterAConnectionThatDeliveredAJob) {
    pool_.start(loopback_config(peer_.port()));
    const char* sends[] = {"", "", kJob.c_str(), ""};
    const char* expected[] = {"2", "4", "2", "4"};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(peer_.accept_client());
        std::string login;
        ASSERT_TRUE(peer_.read_line(login));
        if (*sends[i]) {
            ASSERT_TRUE(peer_.send(sends[i]));
            ASSERT_TRUE(eventually([&] { return pool_.job_seq.load() == 1; }));
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
    ASSERT_TRUE(eventually([&] { return pool_.job_seq.load() == 1; }));
    {
        const Job job = PoolTestAccess::job(pool_);
        EXPECT_TRUE(job.valid);
        EXPECT_EQ(job.conn_gen, 1u);
    }
    peer_.close_client();
    ASSERT_TRUE(eventually([&] { return !pool_.connected.load(); }));
    ASSERT_TRUE(eventually([&] { return !PoolTestAccess::job(pool_).valid; }));
    const Job job = PoolTestAccess::job(pool_);
    EXPECT_EQ(job.job_id, "j");
    EXPECT_EQ(job.height, 1u);
}

TEST_F(Connection, StopWhileConnectedIsSilent) {
    connect();
    ASSERT_TRUE(peer_.send(kJob));
    ASSERT_TRUE(eventually([&] { return pool_.job_seq.load() == 1; }));
    const auto t0 = std::chrono::steady_clock::now();
    pool_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_TRUE(peer_.client_closed());
    EXPECT_EQ(rec_.count_prefix("connection lost"), 0u);
    EXPECT_FALSE(pool_.connected.load());
    EXPECT_EQ(PoolTestAccess::socket(pool_), -1);
    EXPECT_FALSE(PoolTestAccess::job(pool_).valid);
    EXPECT_FALSE(PoolTestAccess::thread_joinable(pool_));
}

TEST(ConnectionTiming, StopDuringAWaitReturnsWithinASlice) {
    Recorder rec;  // outlives the client that reports to it
    Pool pool;
    rec.attach(pool);  // real delay unit: the wait would be 2 s
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
    Pool pool;
    rec.attach(pool);
    pool.start(loopback_config(port));
    std::this_thread::sleep_for(300ms);
    const bool pending = pool.conn_gen.load() == 0;
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
    pool_.submit("j", 1, hash);
    std::string line;
    ASSERT_TRUE(peer_.read_line(line));
    EXPECT_EQ(line.rfind(R"({"id":2,)", 0), 0u) << line;
    pool_.stop();
    EXPECT_EQ(pool_.conn_gen.load(), 1u);

    pool_.start(loopback_config(peer_.port()));
    ASSERT_TRUE(peer_.accept_client());
    ASSERT_TRUE(peer_.read_line(line));
    EXPECT_EQ(line.rfind(R"({"id":1,"method":"login")", 0), 0u);
    ASSERT_TRUE(eventually([&] { return pool_.connected.load(); }));
    EXPECT_EQ(pool_.conn_gen.load(), 2u);
    pool_.submit("j", 2, hash);
    ASSERT_TRUE(peer_.read_line(line));
    EXPECT_EQ(line.rfind(R"({"id":3,)", 0), 0u) << line;
}

// A pool that stops reading: submits keep returning at once (they only queue), the queue that
// cannot drain ends the connection after send_timeout, and stop() never waits for a write.
TEST_F(Connection, DeafPeerNeverBlocksSubmitsOrStop) {
    pool_.send_timeout = 500ms;
    connect();
    const uint8_t hash[32] = {};
    const std::string long_id(4000, 'j');  // fills the socket buffers quickly
    std::atomic<bool> done{false};
    std::atomic<int64_t> slowest_us{0};
    std::thread hashing([&] {
        while (!done) {
            const auto t0 = std::chrono::steady_clock::now();
            pool_.submit(long_id, 1, hash);
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
    pool_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    done = true;
    hashing.join();
    EXPECT_LT(slowest_us.load(), 200000);  // generous: the machine is loaded
}

TEST_F(Connection, StopWhileThePeerIsDeafIsPrompt) {
    connect();
    const uint8_t hash[32] = {};
    const std::string long_id(4000, 'j');
    for (uint64_t i = 0; i < 3000; ++i) pool_.submit(long_id, i, hash);  // far beyond the buffers
    std::this_thread::sleep_for(200ms);
    const auto t0 = std::chrono::steady_clock::now();
    pool_.stop();
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
            for (uint64_t i = 0; i < EACH; ++i) pool_.submit("t" + job_id, i, hash);
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
    pool_.login_timeout = 300ms;
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
    EXPECT_EQ(pool_.conn_gen.load(), 2u);
}

TEST_F(Connection, SubmitWithoutReplyEndsTheConnectionAndTheJob) {
    pool_.reply_timeout = 400ms;
    connect();
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{"status":"OK"}})"
                           "\n" +
                           kJob));
    ASSERT_TRUE(eventually([&] { return pool_.job_seq.load() == 1; }));
    const uint8_t hash[32] = {};
    pool_.submit("j", 1, hash);
    pool_.submit("j", 2, hash);
    std::string line;
    ASSERT_TRUE(peer_.read_line(line));
    ASSERT_TRUE(peer_.read_line(line));
    ASSERT_TRUE(peer_.send(R"({"id":3,"status":"OK"})"
                           "\n"));  // the second is answered, the first never
    EXPECT_TRUE(eventually([&] { return rec_.count_prefix("no reply to a share within ") == 1; }));
    EXPECT_TRUE(
        eventually([&] { return rec_.count("connection lost, reconnecting in 2 s") == 1; }));
    EXPECT_FALSE(PoolTestAccess::job(pool_).valid);  // no thread hashes the dead pool's job
    const auto logs = rec_.logs();
    const auto lost = std::find(logs.begin(), logs.end(), "connection lost, reconnecting in 2 s");
    ASSERT_NE(lost, logs.end());
    EXPECT_EQ((lost - 1)->rfind("no reply to a share within ", 0), 0u);  // says which, first
    EXPECT_TRUE(peer_.accept_client());
}

TEST_F(Connection, AnsweredSubmitsKeepTheConnection) {
    pool_.reply_timeout = 300ms;
    connect();
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{"status":"OK"}})"
                           "\n"));
    const uint8_t hash[32] = {};
    for (uint64_t i = 0; i < 6; ++i) {
        pool_.submit("j", i, hash);
        std::string line;
        ASSERT_TRUE(peer_.read_line(line));
        ASSERT_TRUE(peer_.send(R"({"id":)" + std::to_string(2 + i) +
                               R"(,"status":"OK"})"
                               "\n"));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(rec_.count_prefix("no reply"), 0u);
    EXPECT_EQ(pool_.conn_gen.load(), 1u);
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
    Pool pool;
    rec.attach(pool);
    pool.resolve = resolver.fn();
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
        Pool pool;
        pool.resolve = [gate](const char* h, const char* s, const addrinfo* hints, addrinfo** out) {
            while (!*gate) std::this_thread::sleep_for(1ms);
            return getaddrinfo(h, s, hints, out);
        };
        pool.start(loopback_config(test_support::closed_port()));
        std::this_thread::sleep_for(200ms);
        pool.stop();
    }
    *gate = true;
    std::this_thread::sleep_for(200ms);  // the helper finishes after its client is gone
}

class Failover2 : public ::testing::Test {
  protected:
    void SetUp() override {
        rec_.attach(pool_);
        pool_.delay_unit = 5ms;
    }
    Pool::Config two_pools() {
        Pool::Config config = loopback_config(first_);
        config.backups = {{"127.0.0.1", second_.port()}};
        return config;
    }
    uint16_t first_ = test_support::closed_port();
    LoopbackPeer second_;
    Recorder rec_;
    Pool pool_;
};

TEST_F(Failover2, ThreeFailuresHandOverToTheNextPool) {
    pool_.start(two_pools());
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
}

TEST_F(Failover2, BackToTheFirstAtTheNextReconnectAfterTheReturnTime) {
    pool_.failover_return = 300ms;
    LoopbackPeer first;  // not listening yet: made unreachable by pointing at a closed port
    pool_.start(two_pools());
    ASSERT_TRUE(second_.accept_client());
    std::string login;
    ASSERT_TRUE(second_.read_line(login));
    ASSERT_TRUE(second_.send(kJob));
    ASSERT_TRUE(eventually([&] { return pool_.job_seq.load() == 1; }));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(pool_.conn_gen.load(), 1u);  // a healthy backup is not dropped for the return
    second_.close_client();
    const std::string back =
        "switching to pool 127.0.0.1:" + std::to_string(first_) + " (back to the first pool)";
    EXPECT_TRUE(eventually([&] { return rec_.count(back) == 1; }));
    EXPECT_TRUE(eventually([&] {
        return rec_.count_prefix("cannot reach 127.0.0.1:" + std::to_string(first_)) == 4;
    }));
}

TEST_F(Failover2, ARestartWithTheSamePoolsStaysOnThePoolInUse) {
    pool_.start(two_pools());
    ASSERT_TRUE(second_.accept_client());
    ASSERT_TRUE(eventually([&] { return pool_.connected.load(); }));
    pool_.stop();
    Pool::Config config = two_pools();
    config.address = "dev";  // the fee switch changes only the login
    pool_.start(config);
    ASSERT_TRUE(second_.accept_client());
    std::string login;
    ASSERT_TRUE(second_.read_line(login));
    EXPECT_NE(login.find(R"("address":"dev")"), std::string::npos) << login;
    EXPECT_EQ(rec_.count_prefix("cannot reach"), 3u);
}

}  // namespace
}  // namespace orvo::qel
