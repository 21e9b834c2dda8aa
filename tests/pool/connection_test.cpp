#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool.h"
#include "pool_test_util.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::loopback_config;
using testing::LoopbackPeer;
using testing::Recorder;

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
    ASSERT_TRUE(peer_.send(R"({"id":1,"result":{}})" "\n" R"({"id":1,"result":{}})" "\n"));
    ASSERT_TRUE(eventually([&] { return rec_.count("logged in") == 1; }));
    peer_.close_client();  // the pool restarts before answering the shares
    ASSERT_TRUE(peer_.accept_client());
    std::string login;
    ASSERT_TRUE(peer_.read_line(login));
    ASSERT_TRUE(eventually([&] { return pool_.conn_gen.load() == 2; }));
    const auto new_ids = submit_shares(1);
    std::string replies;
    for (uint64_t id : old_ids) replies += R"({"id":)" + std::to_string(id) + R"(,"status":"OK"})" "\n";
    replies += R"({"id":1,"result":{}})" "\n";
    replies += R"({"id":)" + std::to_string(new_ids[0]) + R"(,"error":"stale"})" "\n";
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
    const uint16_t port = testing::closed_port();
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
    pool.start(loopback_config(testing::closed_port()));
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
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    ASSERT_EQ(listen(listener, 0), 0);
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
    pool.start(loopback_config(ntohs(addr.sin_port)));
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

// A pool that stops reading must not block senders (and so stop()) for ever: the write times
// out, the connection is given up and re-established.
TEST_F(Connection, StalledPeerTimesOutTheSend) {
    pool_.send_timeout = 200ms;
    connect();
    const std::string big(1 << 20, 'z');
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        for (int i = 0; i < 1000 && !failed; ++i) {
            if (!pool_.send_line(big)) failed = true;
        }
    });
    EXPECT_TRUE(eventually([&] { return failed.load(); }, 10s));
    writer.join();
    EXPECT_TRUE(eventually([&] { return rec_.count_prefix("connection lost") == 1; }));
    const auto t0 = std::chrono::steady_clock::now();
    pool_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

}  // namespace
}  // namespace orvo::qel
