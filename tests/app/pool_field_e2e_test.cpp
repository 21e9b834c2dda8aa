// Whole runs against pools that misbehave on purpose: one that stops reading (in this process,
// with short times), and a name server that never answers (the real binary, in namespaces of its
// own). A first pool that cannot be reached is the pool client's matter: see the stand-in pool
// tests.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "app/session_run.h"
#include "app/startup.h"
#include "pool/pool.h"
#include "support/console_capture.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::SessionRun;
using test_support::StandinPool;
using test_support::TempDir;

const std::string ALL_ONES(64, 'f');  // every hash is a share

// A stop ends the current hash first; a sanitized hash takes a good part of a second.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto STOP_BOUND = 5000ms;
#else
constexpr auto STOP_BOUND = 1500ms;
#endif

std::vector<std::string> miner(std::vector<std::string> pool_args) {
    std::vector<std::string> argv{MINTRAKEL_BINARY, "--no-color"};
    argv.insert(argv.end(), pool_args.begin(), pool_args.end());
    for (const char* a : {"-u", "qel1testaddress", "-w", "ci", "-t", "2"}) argv.push_back(a);
    return argv;
}

// SIGINT and the time until the process has ended.
std::chrono::milliseconds stop_time(BackgroundProcess& process, int& exit_code) {
    const auto t0 = std::chrono::steady_clock::now();
    process.send_signal(SIGINT);
    exit_code = process.wait(30s).exit_code;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0);
}

std::string after(const std::string& text, const std::string& marker) {
    const size_t at = text.find(marker);
    return at == std::string::npos ? "" : text.substr(at);
}

// A whole run in this process against a pool that stops reading. The hash is the test's own
// (a fixed pause per hash, every hash a share), so the shares that fill the socket buffers come
// at the same pace on any machine and under any sanitizer.
TEST(PoolInTheField, APoolThatStopsReadingStallsNeitherHashingNorTheStop) {
    StandinPool standin({"--target", ALL_ONES, "--deaf", "--job-interval", "0"});
    ASSERT_FALSE(standin.endpoint().empty());
    SessionSeams seams = test_support::fast_seams();
    seams.pool_timing.delay_unit = 20ms;
    seams.pool_timing.send_timeout = 1s;
    SessionRun run(test_support::mining_config({standin.endpoint()}, 2),
                   test_support::stand_in_engine(), seams);
    ASSERT_TRUE(standin.wait_for_output("deaf #1", 10s)) << standin.output();
    // The queue cannot drain: the connection is given up and made again.
    ASSERT_TRUE(
        run.wait_for_output(" net   pool stopped reading: nothing could be sent for 1 s\n", 5s))
        << run.output();
    ASSERT_TRUE(run.wait_for_output(" net   connection lost, reconnecting in ", 2s));
    // Hashing went on through the stall: the first status line after it shows a rate.
    const std::string stalled = "pool stopped reading";
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (after(run.output(), stalled).find(" speed ") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << run.output();
        std::this_thread::sleep_for(20ms);
    }
    std::smatch rate;
    const std::string tail = after(run.output(), stalled);
    ASSERT_TRUE(std::regex_search(tail, rate, std::regex(" speed 10s/60s/15m  ([0-9.]+) H/s")));
    EXPECT_GT(std::stod(rate[1]), 0.0) << tail;

    // Stopped again in the middle of the next stall: some 200 shares fill the buffers, and the
    // threads send a thousand a second.
    ASSERT_TRUE(standin.wait_for_output("deaf #2", 5s));
    std::this_thread::sleep_for(500ms);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run.stop(), 0);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, STOP_BOUND);
    std::printf("[ measured ] deaf pool: stop to return %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST(PoolInTheField, ANameServerThatNeverAnswersDoesNotHoldTheStop) {
    // The miner runs in network and mount namespaces of its own: only a loopback interface, and
    // /etc/resolv.conf pointing at a loopback name server that reads queries and never answers.
    // Nothing leaves the machine; the mount must succeed before the miner is started.
    if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0 ||
        system("/usr/bin/unshare -mn true >/dev/null 2>&1") != 0 ||
        system("python3 -c pass >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root, unshare and python3";
    }
    TempDir dir;
    test_support::write_file(dir.file("resolv.conf"),
                             "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n");
    // The name server is bound before the miner starts (else the lookup fails at once). It is a
    // child of the shell that becomes the miner, and the kernel kills it when the miner ends,
    // however that happens; it writes its pid once bound.
    const std::string bound = dir.file("bound");
    std::string command = "ip link set lo up && mount --bind " + dir.file("resolv.conf") +
                          " /etc/resolv.conf && "
                          "python3 -c 'import ctypes,os,signal,socket,sys,time; "
                          "ctypes.CDLL(None).prctl(1, signal.SIGKILL); "
                          "os.getppid() == int(sys.argv[1]) or sys.exit(); "
                          "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); "
                          "s.bind((\"127.0.0.1\",53)); open(\"" +
                          bound + "\",\"w\").write(str(os.getpid())); time.sleep(60)' \"$$\" & " +
                          "for i in $(seq 100); do [ -s " + bound +
                          " ] && break; sleep 0.1; done && [ -s " + bound + " ] && exec";
    for (const auto& a : miner({"-o", "pool.never-answers.test:3360"})) command += " '" + a + "'";
    BackgroundProcess m({"/usr/bin/unshare", "-mn", "/bin/sh", "-c", command});
    ASSERT_TRUE(m.wait_for_output(" pages ", 30s)) << m.stdout_text() << m.stderr_text();
    std::this_thread::sleep_for(1s);
    int code = -1;
    const auto took = stop_time(m, code);
    EXPECT_EQ(code, 0);
    EXPECT_LT(took, STOP_BOUND);
    EXPECT_EQ(m.stdout_text().find(" net   "), std::string::npos) << m.stdout_text();  // resolving
    // The name server went with the miner.
    const pid_t server = std::stoi(test_support::read_file(bound));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (kill(server, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(kill(server, 0), 0) << "name server " << server << " outlived the test";
    std::printf("[ measured ] never-answering name server: SIGINT to exit %lld ms\n",
                static_cast<long long>(took.count()));
}

}  // namespace
}  // namespace orvo::qel
