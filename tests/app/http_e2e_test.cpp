// The miner's HTTP endpoint as a farm tool meets it: the real binary against the stand-in pool.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pool/json.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::BackgroundProcess;
using test_support::run_process;
using test_support::StandinPool;

int connect_to(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = test_support::loopback_address(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {  // NOLINT
        close(fd);
        return -1;
    }
    return fd;
}

// The body of GET `path`, or empty when there is no 200 answer within a second.
std::string http_get(uint16_t port, const std::string& path) {
    const int fd = connect_to(port);
    if (fd < 0) return "";
    const std::string request = "GET " + path + " HTTP/1.1\r\nConnection: close\r\n\r\n";
    [[maybe_unused]] ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    const auto end = Clock::now() + 1s;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (Clock::now() >= end || poll(&p, 1, 100) < 0) break;
        char buf[4096];
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200 ", 0) != 0 || body == std::string::npos) return "";
    return answer.substr(body + 4);
}

uint16_t api_port(BackgroundProcess& miner) {
    if (!miner.wait_for_output(" · /api/v1/summary", 20s)) return 0;
    std::smatch m;
    const std::string out = miner.stdout_text();
    if (!std::regex_search(out, m, std::regex(" http  API on http://127\\.0\\.0\\.1:([0-9]+) "))) {
        return 0;
    }
    return static_cast<uint16_t>(std::stoul(m[1]));
}

std::vector<std::string> miner_argv(const std::string& pool, std::vector<std::string> extra) {
    std::vector<std::string> argv{MINTRAKEL_BINARY,  "--no-color", "-o", pool,     "-u",
                                  "qel1testaddress", "-t",         "2",  "--http", "127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

// A range the two threads finish in about a second, with some fifteen shares in it.
constexpr uint64_t RANGE = 600;
constexpr const char* SHARE_DIFFICULTY = "40";

uint64_t hashed_by_threads(const JsonValue& summary) {
    uint64_t sum = 0;
    if (const JsonValue* threads = summary.find("threads")) {
        for (const JsonValue& t : threads->elements) sum += t.get_u64("hashes", 0);
    }
    return sum;
}

// The summary carries the speed line's own numbers (it is published on the same tick) and the
// pool's count of valid shares.
TEST(HttpEndToEnd, SummaryAgreesWithTheSpeedLineAndThePool) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitized miner and stand-in hash some 40 times slower: the range would not be done in
    // the test's time. The server tests cover the same code under the sanitizers.
    GTEST_SKIP() << "needs the unsanitized hash rate";
#endif
    // A short range that the two threads finish in about a second, and no new job: every share
    // is judged and answered long before the first speed line.
    StandinPool pool(
        {"--difficulty", "40", "--job-interval", "0", "--nonce-span", "600", "--height", "1234"});
    ASSERT_FALSE(pool.endpoint().empty());
    BackgroundProcess miner(miner_argv(pool.endpoint(), {}));
    const uint16_t port = api_port(miner);
    ASSERT_NE(port, 0) << miner.stdout_text();

    // Every distinct set of rates the endpoint shows until the speed line is out.
    std::set<std::tuple<std::string, std::string, std::string>> shown;
    std::string summary;
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end && miner.stdout_text().find(" speed ") == std::string::npos) {
        std::string s = http_get(port, "/api/v1/summary");
        JsonValue v;
        if (parse_json(s, v) && v.find("hashrate_hs") != nullptr) {
            const JsonValue* r = v.find("hashrate_hs");
            shown.emplace(r->find("10s")->text, r->find("60s")->text, r->find("15m")->text);
        }
        std::this_thread::sleep_for(100ms);
    }
    // The snapshot of the speed line's tick may be taken just after the line was printed.
    std::this_thread::sleep_for(200ms);
    summary = http_get(port, "/api/v1/summary");
    JsonValue v;
    ASSERT_TRUE(parse_json(summary, v)) << summary;
    {
        const JsonValue* r = v.find("hashrate_hs");
        shown.emplace(r->find("10s")->text, r->find("60s")->text, r->find("15m")->text);
    }
    std::smatch speed;
    const std::string out = miner.stdout_text();
    ASSERT_TRUE(std::regex_search(
        out, speed,
        std::regex(" speed 10s/60s/15m  ([0-9.]+) H/s / ([0-9.]+) H/s / ([0-9.]+) H/s   parts "
                   "([0-9]+)/([0-9]+)\n")))
        << out;
    EXPECT_TRUE(shown.count({speed[1], speed[2], speed[3]}))
        << "speed line rates " << speed[1] << " / " << speed[2] << " / " << speed[3]
        << " never shown by the endpoint";

    // The whole range hashed (the threads' counts add up to every nonce of it), then a moment
    // for the last replies.
    const auto range_end = Clock::now() + 30s;
    while (Clock::now() < range_end && (!parse_json(summary, v) || hashed_by_threads(v) < RANGE)) {
        std::this_thread::sleep_for(100ms);
        summary = http_get(port, "/api/v1/summary");
    }
    std::this_thread::sleep_for(1s);
    summary = http_get(port, "/api/v1/summary");
    ASSERT_TRUE(parse_json(summary, v)) << summary;
    EXPECT_EQ(hashed_by_threads(v), RANGE);
    const std::string judgement = pool.judgement();  // ends the stand-in
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(judgement, counts, std::regex("^valid ([0-9]+) invalid 0 ")))
        << judgement;
    const uint64_t valid = std::stoull(counts[1]);
    EXPECT_GT(valid, 0u);
    const JsonValue* shares = v.find("shares");
    EXPECT_EQ(shares->get_u64("accepted", 999), valid);
    EXPECT_EQ(shares->get_u64("rejected", 999), 0u);
    EXPECT_LE(std::stoull(speed[4]), valid);

    const JsonValue* p = v.find("pool");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->get_string("host", ""), "127.0.0.1");
    EXPECT_EQ(p->get_u64("port", 0), pool.port());
    EXPECT_TRUE(p->find("connected")->flag);
    EXPECT_GE(p->get_u64("connected_s", 0), 9u);
    EXPECT_FALSE(p->find("backup")->flag);
    EXPECT_EQ(p->get_u64("reconnects", 99), 0u);
    EXPECT_EQ(p->get_u64("job_height", 0), 1234u);
    EXPECT_EQ(p->get_u64("job_difficulty", 0), 40u);
    EXPECT_FALSE(v.find("dev_fee_active")->flag);
    EXPECT_GE(v.get_u64("uptime_s", 0), 10u);

    // The threads split the range.
    const JsonValue* threads = v.find("threads");
    ASSERT_EQ(threads->elements.size(), 2u);
    for (const JsonValue& t : threads->elements) EXPECT_GT(t.get_u64("hashes", 0), 0u);

    miner.send_signal(SIGINT);
    EXPECT_EQ(miner.wait(10s).exit_code, 0);
}

// Slow, oversized, garbage and silent clients all at once: the main loop keeps its rhythm, and
// a stop still ends the run at once.
TEST(HttpEndToEnd, HostileClientsDisturbNeitherTheSpeedLineNorTheStop) {
    StandinPool pool({"--difficulty", "1000000", "--job-interval", "0"});
    ASSERT_FALSE(pool.endpoint().empty());
    BackgroundProcess miner(miner_argv(pool.endpoint(), {}));
    const uint16_t port = api_port(miner);
    ASSERT_NE(port, 0) << miner.stdout_text();
    ASSERT_TRUE(miner.wait_for_output(" check known answer matched", 20s)) << miner.stdout_text();
    const auto loop_start = Clock::now();

    std::atomic<bool> attacking{true};
    std::vector<std::thread> attackers;
    // 50 clients dribbling a request one byte every 100 ms, reconnecting when cut off.
    attackers.emplace_back([&] {
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: rig\r\n\r\n";
        std::vector<std::pair<int, size_t>> slow;
        while (attacking) {
            while (slow.size() < 50) slow.emplace_back(connect_to(port), 0);
            for (auto& [fd, at] : slow) {
                if (fd < 0 || send(fd, head.data() + at % (head.size() - 2), 1,
                                   MSG_NOSIGNAL | MSG_DONTWAIT) <= 0) {
                    if (fd >= 0) close(fd);
                    fd = connect_to(port);
                    at = 0;
                } else {
                    ++at;
                }
            }
            std::this_thread::sleep_for(100ms);
        }
        for (auto& [fd, at] : slow) close(fd);
    });
    // Oversized heads, garbage and connections left open without a word.
    attackers.emplace_back([&] {
        const std::string huge = "GET /metrics HTTP/1.1\r\nX: " + std::string(1 << 20, 'x');
        const std::string garbage = "\x01\x02\xff\xfe garbage\r\n\r\n";
        std::vector<int> silent;
        while (attacking) {
            for (const std::string* text : {&huge, &garbage}) {
                const int fd = connect_to(port);
                if (fd < 0) continue;
                [[maybe_unused]] ssize_t n =
                    send(fd, text->data(), text->size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                close(fd);
            }
            if (silent.size() < 20) silent.push_back(connect_to(port));
            std::this_thread::sleep_for(50ms);
        }
        for (int fd : silent) close(fd);
    });

    const bool speed = miner.wait_for_output(" speed ", 15s);
    const auto speed_at = Clock::now() - loop_start;
    EXPECT_TRUE(speed) << miner.stdout_text();
    // The first speed line comes at the tenth tick of the loop.
    EXPECT_LT(speed_at, 11500ms);
    EXPECT_GT(speed_at, 9s);

    const auto stop_at = Clock::now();
    miner.send_signal(SIGINT);
    const auto r = miner.wait(10s);
    const auto stop_took = Clock::now() - stop_at;
    attacking = false;
    for (auto& t : attackers) t.join();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_LT(stop_took, 1500ms);
    EXPECT_NE(r.out.find("\n shutdown requested — clean exit\n"), std::string::npos);
}

// The process contracts of the options: a non-loopback address without a token is refused
// before anything starts; a port that cannot be bound is reported and the run goes on.
TEST(HttpEndToEnd, TokenRuleAndAnUnusablePort) {
    const auto refused =
        run_process({MINTRAKEL_BINARY, "--no-color", "--bench", "1", "--http", "0.0.0.0:9"}, 10s);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.err.find("--http on 0.0.0.0 needs --http-token"), std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "");

    uint16_t taken = 0;
    const int fd = test_support::bound_loopback_socket(taken);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(listen(fd, 1), 0);
    const auto r = run_process({MINTRAKEL_BINARY, "--no-color", "--bench", "2", "-t", "1", "--http",
                                "127.0.0.1:" + std::to_string(taken)},
                               30s);
    close(fd);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(" http  cannot listen on 127.0.0.1:" + std::to_string(taken) +
                         " — Address already in use"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" bench 1 threads: "), std::string::npos) << r.out;
}

}  // namespace
}  // namespace orvo::qel
