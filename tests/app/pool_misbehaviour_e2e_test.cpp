// Whole runs (in this process, with short times) against stand-in pools that misbehave on
// purpose: odd replies, error objects, a damaged network target, a tiny nonce range and hostile
// notice texts. Every share the miner sends must still be judged valid, and none twice.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "app/session_run.h"
#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::count_occurrences;
using test_support::SessionRun;
using test_support::StandinPool;

RunConfig miner(const std::string& endpoint) {
    return test_support::mining_config({endpoint}, 2);
}

std::string stop(SessionRun& m) {
    EXPECT_EQ(m.stop(), 0);
    return m.output();
}

const std::regex kAllValid("valid [1-9][0-9]* invalid 0 duplicate 0");

TEST(PoolMisbehaviour, RepliesCountOnlyOnceAndOnlyForSharesSent) {
    StandinPool pool({"--difficulty", "20", "--job-interval", "0", "--odd-replies"});
    ASSERT_FALSE(pool.endpoint().empty());
    SessionRun m(miner(pool.endpoint()), test_support::real_engine());
    ASSERT_TRUE(m.wait_for_output(" share accepted (3/0)\n", 60s)) << m.output();
    const std::string out = stop(m);
    const std::string counts = pool.judgement();
    EXPECT_TRUE(std::regex_match(counts, kAllValid)) << counts;

    // The accepted count rises by one per line and never passes the shares the pool judged.
    std::smatch v;
    ASSERT_TRUE(std::regex_search(counts, v, std::regex("valid ([0-9]+)")));
    const unsigned valid = static_cast<unsigned>(std::stoul(v[1]));
    unsigned expected = 1;
    const std::regex accepted(" share accepted \\(([0-9]+)/0\\)\n");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), accepted);
         it != std::sregex_iterator(); ++it, ++expected) {
        EXPECT_EQ(std::stoul((*it)[1]), expected) << out;
    }
    EXPECT_LE(expected - 1, valid) << out;
    EXPECT_EQ(count_occurrences(out, " net   logged in\n"), 1u) << out;
    EXPECT_EQ(out.find("login refused"), std::string::npos) << out;
    EXPECT_EQ(out.find("REJECTED"), std::string::npos) << out;
}

TEST(PoolMisbehaviour, ErrorObjectsRejectSharesAndRefuseLogins) {
    {
        StandinPool pool({"--difficulty", "20", "--error-json", "--reject",
                          R"({"code":23,"message":"Low difficulty share"})"});
        ASSERT_FALSE(pool.endpoint().empty());
        SessionRun m(miner(pool.endpoint()), test_support::real_engine());
        EXPECT_TRUE(m.wait_for_output(" share REJECTED — Low difficulty share\n", 60s))
            << m.output();
        const std::string out = stop(m);
        EXPECT_EQ(out.find(" share accepted"), std::string::npos) << out;
        EXPECT_TRUE(std::regex_match(pool.judgement(), kAllValid));
    }
    StandinPool pool({"--error-json", "--refuse-login", R"({"code":401})"});
    ASSERT_FALSE(pool.endpoint().empty());
    SessionRun m(miner(pool.endpoint()), test_support::real_engine());
    EXPECT_TRUE(m.wait_for_output(" net   login refused: {\"code\":401}\n", 30s)) << m.output();
    const std::string out = stop(m);
    EXPECT_EQ(out.find("logged in"), std::string::npos) << out;
}

TEST(PoolMisbehaviour, APartlyBadNetworkTargetAnnouncesNoBlocks) {
    // Decoded up to its first bad pair, this would be 7f00.. and make half the hashes blocks.
    StandinPool pool({"--difficulty", "1", "--job-interval", "0", "--network-target-text",
                      "7f" + std::string(62, 'z')});
    ASSERT_FALSE(pool.endpoint().empty());
    SessionRun m(miner(pool.endpoint()), test_support::real_engine());
    ASSERT_TRUE(m.wait_for_output(" share accepted (8/0)\n", 60s)) << m.output();
    const std::string out = stop(m);
    EXPECT_EQ(out.find(" block "), std::string::npos) << out;
    EXPECT_TRUE(std::regex_match(pool.judgement(), kAllValid));
}

TEST(PoolMisbehaviour, AUsedUpRangeWaitsForTheNextJob) {
    // Every hash is a share and each job holds four nonces.
    StandinPool pool({"--difficulty", "1", "--nonce-span", "4", "--job-interval", "2"});
    ASSERT_FALSE(pool.endpoint().empty());
    SessionRun m(miner(pool.endpoint()), test_support::real_engine());
    ASSERT_TRUE(m.wait_for_output(" share accepted (4/0)\n", 60s)) << m.output();
    std::this_thread::sleep_for(1s);  // a thread that walked the range again would show
    const std::string jobs = pool.output();
    if (count_occurrences(jobs, "\njob #") == 1) {  // the next job is not out yet
        EXPECT_EQ(pool.submits(), 4u) << jobs;
    }
    ASSERT_TRUE(m.wait_for_output(" share accepted (8/0)\n", 30s)) << m.output();
    stop(m);
    const size_t job_count = count_occurrences(pool.output(), "\njob #");
    EXPECT_LE(pool.submits(), 4 * job_count) << pool.output();
    EXPECT_TRUE(std::regex_match(pool.judgement(), kAllValid));
}

TEST(PoolMisbehaviour, NoticeTextsCannotDriveOrFloodTheTerminal) {
    // U+009B is CSI in a UTF-8 terminal; the notice is 1,000,002 bytes (six per repeat) long.
    StandinPool pool({"--notify",
                      "\xC2\x9B"
                      "31mx",
                      "--notify-repeat", "166667"});
    ASSERT_FALSE(pool.endpoint().empty());
    SessionRun m(miner(pool.endpoint()), test_support::real_engine());
    std::string shown;
    for (int i = 0; i < 40; ++i) shown += "?31mx";
    EXPECT_TRUE(m.wait_for_output(" net   pool notice: " + shown + "\xE2\x80\xA6\n", 30s))
        << m.output().substr(0, 4000);
    const std::string out = stop(m);
    EXPECT_EQ(out.find("\xC2\x9B"), std::string::npos);
    EXPECT_LT(out.size(), 10000u);
}

}  // namespace
}  // namespace orvo::qel
