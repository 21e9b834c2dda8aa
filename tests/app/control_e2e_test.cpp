// Steering the real binary: a pause over the API as a farm's power-price script sends it, and a
// start-up whose standard output is a pipe already full, as only a whole process shows them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "support/loopback.h"
#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::api_port_in;
using test_support::BackgroundProcess;
using test_support::StandinPool;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto STOP_BOUND = 5000ms;
#else
constexpr auto STOP_BOUND = 1500ms;
#endif

// The status line and body of `method path`, or empty when nothing answers within a second.
std::string http_request(uint16_t port, const std::string& method, const std::string& path,
                         const std::string& token = "") {
    const std::string answer = test_support::http_exchange(port, method, path, token);
    const size_t head_end = answer.find("\r\n\r\n");
    if (head_end == std::string::npos) return "";
    return answer.substr(0, answer.find("\r\n")) + "\n" + answer.substr(head_end + 4);
}

// CPU time the process has used, all its threads, in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Mining on the stand-in pool, paused over the API for 10 s: the threads sleep (the process's
// CPU time barely moves), the connection stays (no reconnect), no share is sent, hashing comes
// back within moments of the resume, and a stop while paused is clean and prompt.
TEST(ControlEndToEnd, APauseOverTheApiSleepsKeepsThePoolAndResumes) {
    StandinPool pool({"--difficulty", "5", "--job-interval", "0"});
    ASSERT_FALSE(pool.endpoint().empty());
    BackgroundProcess miner({MINTRAKEL_BINARY, "--no-color", "-o", pool.endpoint(), "-u",
                             "qel1testaddress", "-t", "2", "--http", "127.0.0.1:0", "--http-token",
                             "tok"});
    ASSERT_TRUE(miner.wait_for_output(" share accepted (", 30s)) << miner.stdout_text();
    const uint16_t port = api_port_in(miner.stdout_text());
    ASSERT_NE(port, 0) << miner.stdout_text();

    EXPECT_EQ(http_request(port, "POST", "/api/v1/pause", "tok"),
              "HTTP/1.1 200 OK\n{\"paused\":true,\"reasons\":[\"api\"]}\n");
    std::this_thread::sleep_for(500ms);  // the groups in progress end, their shares go out
    const size_t submits_paused = pool.submits();
    const double cpu_paused = cpu_seconds(miner.pid());
    std::this_thread::sleep_for(10s);
    const double cpu_share = (cpu_seconds(miner.pid()) - cpu_paused) / 10.0;
    std::printf("CPU while paused: %.2f%% of one CPU\n", 100 * cpu_share);
    EXPECT_LT(cpu_share, 0.02);
    EXPECT_EQ(pool.submits(), submits_paused);
    const std::string summary = http_request(port, "GET", "/api/v1/summary", "tok");
    EXPECT_NE(summary.find("\"paused\":true,\"pause_reasons\":[\"api\"]"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("\"reconnects\":0"), std::string::npos) << summary;
    EXPECT_NE(miner.stdout_text().find(" pause hashing paused — api\n"), std::string::npos);

    const auto resumed_at = Clock::now();
    EXPECT_EQ(http_request(port, "POST", "/api/v1/resume", "tok"),
              "HTTP/1.1 200 OK\n{\"paused\":false,\"reasons\":[]}\n");
    while (pool.submits() == submits_paused && Clock::now() - resumed_at < 2s) {
        std::this_thread::sleep_for(10ms);
    }
    std::printf("first share after the resume: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - resumed_at)
                        .count()));
    EXPECT_GT(pool.submits(), submits_paused);
    ASSERT_TRUE(miner.wait_for_output(" pause hashing resumed after ", 3s)) << miner.stdout_text();

    http_request(port, "POST", "/api/v1/pause", "tok");
    std::this_thread::sleep_for(300ms);
    const auto stop_at = Clock::now();
    miner.send_signal(SIGINT);
    const auto r = miner.wait(10s);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_LT(Clock::now() - stop_at, STOP_BOUND);
    EXPECT_NE(r.out.find("\n shutdown requested — clean exit\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("connection lost"), std::string::npos) << r.out;
}

// Standard output a pipe that is full before the first byte and never read, standard input and
// error closed: the miner still connects, mines, serves its API, and stops on SIGINT with exit
// code 0 after at most the console's bounded wait.
TEST(ControlEndToEnd, AFullPipeFromTheFirstByteHoldsNothingUp) {
    StandinPool pool({"--difficulty", "5", "--job-interval", "0"});
    ASSERT_FALSE(pool.endpoint().empty());
    uint16_t api_port = 0;
    const int probe = test_support::bound_loopback_socket(api_port);
    ASSERT_GE(probe, 0);
    close(probe);  // a free port for the miner's API; its output cannot tell which one it took
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    while (write(ends[1], "x", 1) == 1) {
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        fcntl(STDOUT_FILENO, F_SETFL, 0);  // blocking, as a shell's pipe is
        close(STDIN_FILENO);
        close(STDERR_FILENO);
        execl(MINTRAKEL_BINARY, MINTRAKEL_BINARY, "-o", pool.endpoint().c_str(), "-u",
              "qel1testaddress", "-t", "1", "--http",
              ("127.0.0.1:" + std::to_string(api_port)).c_str(), nullptr);
        _exit(127);
    }
    close(ends[1]);
    const auto begin = Clock::now();
    while (pool.submits() == 0 && Clock::now() - begin < 30s) std::this_thread::sleep_for(50ms);
    EXPECT_GT(pool.submits(), 0u);
    EXPECT_EQ(http_request(api_port, "GET", "/mmpos").rfind("HTTP/1.1 200 OK\n", 0), 0u);
    kill(pid, SIGINT);
    const auto stop_at = Clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0 && Clock::now() - stop_at < 10s) {
        std::this_thread::sleep_for(10ms);
    }
    const auto took = Clock::now() - stop_at;
    if (took >= 10s) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(ends[0]);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The stop itself, and the console's wait for the stalled output (2 s).
    EXPECT_LT(took, STOP_BOUND + 2s);
    EXPECT_EQ(pool.judgement(),
              "valid " + std::to_string(pool.submits()) + " invalid 0 duplicate 0");
}

}  // namespace
}  // namespace orvo::qel
