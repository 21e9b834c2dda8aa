// The stand-in pool as a peer of the real client: its judging and its misbehaviour switches.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pool/pool.h"
#include "pool_test_util.h"
#include "support/argon2_reference.h"
#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::eventually;
using test_support::Recorder;
using test_support::StandinPool;

Job wait_for_job(Pool& pool) {
    EXPECT_TRUE(eventually([&] { return pool.job_seq() > 0; }, 10s));
    return PoolTestAccess::job(pool);
}

TEST(StandinPool, JudgesSharesByRecomputingTheHash) {
    StandinPool standin({"--difficulty", "1", "--job-interval", "0"});
    ASSERT_NE(standin.port(), 0);
    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());
    pool.start(test_support::loopback_config(standin.port()));
    const Job job = wait_for_job(pool);
    ASSERT_TRUE(job.valid);
    EXPECT_TRUE(eventually([&] { return rec.count("logged in") == 1; }));

    uint8_t hash[32];
    test_support::coin_hash_reference(job.header_base, job.nonce_start, hash);
    pool.submit(job.job_id, job.nonce_start, hash);  // valid
    pool.submit(job.job_id, job.nonce_start, hash);  // duplicate
    uint8_t wrong[32];
    std::memcpy(wrong, hash, 32);
    wrong[31] ^= 1;
    pool.submit(job.job_id, job.nonce_start + 1, wrong);  // claimed hash mismatch
    pool.submit("no-such-job", job.nonce_start, hash);
    if (job.nonce_start > 0) pool.submit(job.job_id, job.nonce_start - 1, hash);
    ASSERT_TRUE(eventually([&] { return rec.results().size() >= 4; }, 20s));
    pool.stop();

    auto results = rec.results();
    EXPECT_TRUE(results[0].accepted);
    EXPECT_FALSE(results[1].accepted);
    EXPECT_EQ(results[1].reason, "duplicate share");
    EXPECT_FALSE(results[2].accepted);
    EXPECT_EQ(results[2].reason, "claimed hash mismatch");
    EXPECT_FALSE(results[3].accepted);
    const std::string out = standin.finish(SIGTERM);
    const std::string invalid = job.nonce_start > 0 ? "3" : "2";
    EXPECT_NE(out.find("valid 1 invalid " + invalid + " duplicate 1"), std::string::npos) << out;
}

TEST(StandinPool, RejectsHashesAboveTheTarget) {
    StandinPool standin({"--target", std::string(64, '0'), "--job-interval", "0"});
    ASSERT_NE(standin.port(), 0);
    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());
    pool.start(test_support::loopback_config(standin.port()));
    const Job job = wait_for_job(pool);
    uint8_t hash[32];
    test_support::coin_hash_reference(job.header_base, job.nonce_start, hash);
    pool.submit(job.job_id, job.nonce_start, hash);
    ASSERT_TRUE(eventually([&] { return rec.results().size() == 1; }, 20s));
    EXPECT_EQ(rec.results()[0].reason, "above target");
    pool.stop();
    EXPECT_NE(standin.finish(SIGTERM).find("valid 0 invalid 1 duplicate 0"), std::string::npos);
}

// A span longer than the rest of the 64-bit space ends at the last nonce; it must never wrap
// below the start, which would hand out an empty range.
TEST(StandinPool, LongSpanEndsAtTheLastNonce) {
    StandinPool standin({"--nonce-span", "18446744073709551615", "--job-interval", "0"});
    ASSERT_NE(standin.port(), 0);
    Pool pool;
    pool.start(test_support::loopback_config(standin.port()));
    const Job job = wait_for_job(pool);
    pool.stop();
    EXPECT_EQ(job.nonce_end, ~uint64_t{0});
    standin.finish(SIGTERM);
}

// The client survives every kind of misbehaviour and still gets its jobs.
TEST(StandinPool, ClientSurvivesMisbehaviour) {
    const struct {
        std::vector<std::string> args;
        std::string expected_log;
    } cases[] = {
        {{"--refuse-login", "banned"}, "login refused: banned"},
        {{"--notify", "maintenance"}, "pool notice: maintenance"},
        {{"--garbage", "--crlf", "--split", "--job-interval", "0.2"}, "logged in"},
        {{"--merge", "--job-in-login", "--job-interval", "0.2"}, "logged in"},
        {{"--bad-jobs", "--job-interval", "0.1"}, "job rejected: bad header_base/target"},
        {{"--drop-after", "2"}, "connection lost, reconnecting in 2 s"},
        {{"--overlong"}, "connection lost, reconnecting in 2 s"},
    };
    for (const auto& c : cases) {
        StandinPool standin(c.args);
        ASSERT_NE(standin.port(), 0);
        Recorder rec;
        Pool pool(rec.lines(), rec.verdicts(), {.delay_unit = 10ms});
        pool.start(test_support::loopback_config(standin.port()));
        EXPECT_TRUE(eventually([&] { return rec.count(c.expected_log) >= 1; }, 10s)) << c.args[0];
        if (c.args[0] != "--refuse-login" && c.args[0] != "--overlong") {
            EXPECT_TRUE(eventually([&] { return pool.job_seq() >= 1; }, 10s)) << c.args[0];
        }
        pool.stop();
        standin.finish(SIGTERM);
    }
}

// A first pool that refuses every connection: after three failed attempts the client hands over
// to the backup, and the shares it submits there are judged valid.
TEST(StandinPool, AnUnreachableFirstPoolHandsOverToTheNext) {
    StandinPool standin({"--difficulty", "1", "--job-interval", "0"});
    ASSERT_NE(standin.port(), 0);
    Recorder rec;
    Pool pool(rec.lines(), rec.verdicts(), {.delay_unit = 10ms});
    const uint16_t refusing = test_support::closed_port();
    Pool::Config config = test_support::loopback_config(refusing);
    config.backups = {{"127.0.0.1", standin.port()}};
    pool.start(config);
    const Job job = wait_for_job(pool);
    ASSERT_TRUE(job.valid);
    EXPECT_EQ(rec.count_prefix("cannot reach 127.0.0.1:" + std::to_string(refusing)), 3u);
    EXPECT_EQ(
        rec.count("switching to pool " + standin.endpoint() + " (3 failed attempts in a row)"), 1u);
    EXPECT_TRUE(pool.status().backup);
    uint8_t hash[32];
    test_support::coin_hash_reference(job.header_base, job.nonce_start, hash);
    pool.submit(job.job_id, job.nonce_start, hash);
    ASSERT_TRUE(eventually([&] { return rec.results().size() == 1; }, 20s));
    EXPECT_TRUE(rec.results()[0].accepted) << rec.results()[0].reason;
    pool.stop();
    EXPECT_NE(standin.finish(SIGTERM).find("valid 1 invalid 0 duplicate 0"), std::string::npos);
}

TEST(StandinPool, HelpAndBadOptions) {
    auto help = test_support::run_process({MINTRAKEL_STANDIN_POOL, "--help"}, 10s);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--drop-after"), std::string::npos);
    auto bad = test_support::run_process({MINTRAKEL_STANDIN_POOL, "--bogus"}, 10s);
    EXPECT_EQ(bad.exit_code, 2);
    auto exits = test_support::run_process({MINTRAKEL_STANDIN_POOL, "--exit-after", "0.3"}, 10s);
    EXPECT_EQ(exits.exit_code, 0);
    EXPECT_NE(exits.out.find("valid 0 invalid 0 duplicate 0"), std::string::npos);
}

}  // namespace
}  // namespace orvo::qel
