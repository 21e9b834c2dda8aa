// The real binary against the stand-in pool on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>

#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::StandinPool;
using test_support::read_file;
using test_support::TempDir;

std::vector<std::string> miner(const std::string& endpoint, std::vector<std::string> extra) {
    std::vector<std::string> argv{MINTRAKEL_BINARY, "--no-color", "-o", endpoint, "-u",
                                  "qel1testaddress", "-w", "ci", "-t", "2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

TEST(MiningEndToEnd, SharesAreAcceptedStatusAndStatsFileThenCleanStop) {
    StandinPool pool({"--difficulty", "40", "--job-interval", "4"});
    ASSERT_FALSE(pool.endpoint().empty());
    TempDir dir;
    const std::string stats = dir.file("stats.json");
    BackgroundProcess m(miner(pool.endpoint(), {"--stats-file", stats}));
    ASSERT_TRUE(m.wait_for_output(" share accepted (", 30s)) << m.stdout_text();
    ASSERT_TRUE(m.wait_for_output(" speed ", 20s)) << m.stdout_text();
    m.send_signal(SIGINT);
    auto r = m.wait(10s);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");

    // Start-up lines of a mining run, in order.
    const char* in_order[] = {" cpu   engine ", " pool  " , " user  qel1testaddress · worker ci\n",
                              " net   connected to ", " net   logged in\n",
                              " net   new job — height ", " share accepted (1/0)\n", " speed "};
    size_t at = 0;
    for (const char* piece : in_order) {
        size_t found = r.out.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << r.out;
        at = found;
    }
    std::smatch pages;
    ASSERT_TRUE(std::regex_search(
        r.out, pages,
        std::regex("\n pages ([0-9]+) arena\\(s\\) in reserved huge pages, ([0-9]+) in "
                   "transparent huge pages\n")));
    EXPECT_EQ(std::stoi(pages[1]) + std::stoi(pages[2]), 2);
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("\n speed 10s/60s/15m  [0-9]+\\.[0-9]{2} H/s / [0-9]+\\.[0-9]{2} H/s / "
                          "[0-9]+\\.[0-9]{2} H/s   parts [0-9]+/0\n")))
        << r.out;
    // The shutdown line is last.
    const std::string shutdown = "\n shutdown requested — clean exit\n";
    ASSERT_GE(r.out.size(), shutdown.size());
    EXPECT_EQ(r.out.substr(r.out.size() - shutdown.size()), shutdown);

    EXPECT_TRUE(std::regex_match(
        read_file(stats),
        std::regex("\\{\"hashrate_hs\":[0-9]+\\.[0-9]{2},\"accepted\":[0-9]+,\"rejected\":0,"
                   "\"uptime_s\":(1[0-9]|[2-9][0-9]),\"version\":\"v1\\.0\\.1\","
                   "\"algo\":\"argon2id-qel\"\\}\n")))
        << read_file(stats);

    std::string counts = pool.judgement();
    EXPECT_TRUE(std::regex_match(counts, std::regex("valid [1-9][0-9]* invalid 0 duplicate 0")))
        << counts;
}

TEST(MiningEndToEnd, RejectedSharesPrintTheReason) {
    StandinPool pool({"--difficulty", "40", "--reject", "low difficulty share"});
    ASSERT_FALSE(pool.endpoint().empty());
    BackgroundProcess m(miner(pool.endpoint(), {}));
    EXPECT_TRUE(m.wait_for_output(" share REJECTED — low difficulty share\n", 30s))
        << m.stdout_text();
    m.send_signal(SIGTERM);
    EXPECT_EQ(m.wait(10s).exit_code, 0);
}

TEST(MiningEndToEnd, FlakyPoolNeverEndsTheRun) {
    // Garbage, notices, bad jobs and dropped connections: the miner logs and carries on, and
    // every share it submits is still valid.
    StandinPool pool({"--difficulty", "40", "--garbage", "--notify", "maintenance", "--bad-jobs",
                      "--crlf", "--split", "--drop-after", "12", "--job-interval", "1"});
    ASSERT_FALSE(pool.endpoint().empty());
    BackgroundProcess m(miner(pool.endpoint(), {}));
    EXPECT_TRUE(m.wait_for_output(" net   connection lost, reconnecting in ", 40s))
        << m.stdout_text();
    EXPECT_TRUE(m.wait_for_output(" net   pool notice: maintenance\n", 10s));
    m.send_signal(SIGINT);
    auto r = m.wait(10s);
    EXPECT_EQ(r.exit_code, 0);
    std::string counts = pool.judgement();
    EXPECT_TRUE(std::regex_match(counts, std::regex("valid [0-9]+ invalid 0 duplicate 0")))
        << counts;
}

TEST(BenchEndToEnd, ResultLineWithoutPoolOrShutdownLine) {
    TempDir dir;
    auto r = test_support::run_process({MINTRAKEL_BINARY, "--no-color", "--bench", "3", "-t", "1",
                                   "--stats-file", dir.file("stats.json")},
                                  60s);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(" ORVO TALVEX QEL v1.0.1  Argon2id 8 MiB · 1 thread · 1% dev fee\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n bench 1 threads: [0-9]+\\.[0-9]{2} H/s "
                                                    "over 3 s\n$")))
        << r.out;
    for (const char* absent : {" pool  ", " user  ", " net   ", "shutdown requested", "window"}) {
        EXPECT_EQ(r.out.find(absent), std::string::npos) << absent;
    }
    EXPECT_EQ(read_file(dir.file("stats.json")), "");  // never written outside mining
}

TEST(BenchEndToEnd, ThreadsThatCannotStartCountAsStopped) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer runtimes need far more address space than this test allows";
#endif
    // 300 MB of address space holds a few stacks and arenas, not 200: thread creation and
    // arena mapping fail, and the run goes on with the threads it got.
    auto r = test_support::run_process(
        {"/bin/sh", "-c",
         std::string("ulimit -v 300000; exec ") + MINTRAKEL_BINARY +
             " --no-color --bench 2 -t 200"},
        60s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        r.out, m, std::regex("\n mem   ([0-9]+) thread\\(s\\) stopped: not enough memory")))
        << r.out;
    EXPECT_GT(std::stoi(m[1]), 100);
    EXPECT_NE(r.out.find(" bench 200 threads: "), std::string::npos) << r.out;
}

TEST(BenchEndToEnd, SignalEndsTheBenchmarkQuietly) {
    BackgroundProcess b({MINTRAKEL_BINARY, "--no-color", "--bench", "30", "-t", "1"});
    ASSERT_TRUE(b.wait_for_output(" pages ", 30s));
    b.send_signal(SIGINT);
    auto r = b.wait(10s);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.find(" bench "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("shutdown requested"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace orvo::qel
