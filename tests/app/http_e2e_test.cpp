// The miner's HTTP endpoint as a farm tool meets it, against the stand-in pool: whole runs in
// this process with a short main-loop tick for what the endpoint shows, and the real binary for
// what only a process shows.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/session_run.h"
#include "pool/json.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::api_port_in;
using test_support::BackgroundProcess;
using test_support::HostileClients;
using test_support::Hostility;
using test_support::run_process;
using test_support::SessionRun;
using test_support::StandinPool;

// A stop ends the current hash first; a sanitized hash takes a good part of a second.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto STOP_BOUND = 5000ms;
#else
constexpr auto STOP_BOUND = 1500ms;
#endif

// The body of GET `path`, or empty when there is no 200 answer within a second.
std::string http_get(uint16_t port, const std::string& path) {
    const std::string answer = test_support::http_exchange(port, "GET", path);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200 ", 0) != 0 || body == std::string::npos) return "";
    return answer.substr(body + 4);
}

// A run of two hashing threads against `pool` with the endpoint on any free loopback port.
RunConfig api_config(const std::string& pool) {
    RunConfig config = test_support::mining_config({pool}, 2);
    config.http = HttpListen{"127.0.0.1", 0};
    return config;
}

using Rates = std::tuple<std::string, std::string, std::string>;  // 10s, 60s, 15m as printed

struct SpeedLine {
    Rates rates;
    uint64_t accepted = 0;
};

// Every speed line in `output`, oldest first.
std::vector<SpeedLine> speed_lines(const std::string& output) {
    static const std::regex line(
        " speed 10s/60s/15m  ([0-9.]+) H/s / ([0-9.]+) H/s / ([0-9.]+) H/s   parts "
        "([0-9]+)/([0-9]+)\n");
    std::vector<SpeedLine> lines;
    for (std::sregex_iterator it(output.begin(), output.end(), line), end; it != end; ++it) {
        const std::smatch& m = *it;
        lines.push_back({{m[1], m[2], m[3]}, std::stoull(m[4])});
    }
    return lines;
}

// A range the two threads finish in about a second, with some fifteen shares in it.
constexpr uint64_t RANGE = 600;

uint64_t hashed_by_threads(const JsonValue& summary) {
    uint64_t sum = 0;
    if (const JsonValue* threads = summary.find("threads")) {
        for (const JsonValue& t : threads->elements) sum += t.get_u64("hashes", 0);
    }
    return sum;
}

uint64_t answered(const JsonValue& summary) {
    const JsonValue* shares = summary.find("shares");
    if (shares == nullptr) return 0;
    return shares->get_u64("accepted", 0) + shares->get_u64("rejected", 0);
}

uint64_t whole_seconds(Clock::duration d) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

// The summary carries the speed line's own numbers (it is published on the same tick) and the
// pool's count of valid shares. A run in this process with a 20 ms tick: a speed line every
// 200 ms.
TEST(HttpEndToEnd, SummaryAgreesWithTheSpeedLineAndThePool) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Sanitized hashing and judging are some 40 times slower: the range would not be done in
    // the test's time. The server tests cover the same code under the sanitizers.
    GTEST_SKIP() << "needs the unsanitized hash rate";
#endif
    // A short range and no new job: the whole range is hashed once, and every share judged.
    StandinPool pool(
        {"--difficulty", "40", "--job-interval", "0", "--nonce-span", "600", "--height", "1234"});
    ASSERT_FALSE(pool.endpoint().empty());
    const auto run_start = Clock::now();
    SessionRun run(api_config(pool.endpoint()), test_support::real_engine());
    ASSERT_TRUE(run.wait_for_output(" · /api/v1/summary", 20s)) << run.output();
    const auto http_seen = Clock::now();
    const uint16_t port = api_port_in(run.output());
    ASSERT_NE(port, 0) << run.output();

    // Every set of rates the endpoint shows, polled without pause, until one speed line's rates
    // are among them. Only a line with three different rates counts: where two windows agree
    // (the first line, whose windows hold the same ten samples, or the lines long after the
    // range is done) it could not tell one window from the other.
    std::set<Rates> shown;
    std::optional<SpeedLine> matched;
    std::optional<Clock::time_point> connected_seen;
    const auto end = Clock::now() + 8s;
    while (!matched) {
        ASSERT_LT(Clock::now(), end) << "no speed line's rates shown by the endpoint\n"
                                     << run.output();
        JsonValue v;
        if (parse_json(http_get(port, "/api/v1/summary"), v)) {
            if (const JsonValue* r = v.find("hashrate_hs")) {
                shown.emplace(r->find("10s")->text, r->find("60s")->text, r->find("15m")->text);
            }
            const JsonValue* p = v.find("pool");
            if (!connected_seen && p != nullptr && p->find("connected")->flag) {
                connected_seen = Clock::now();
            }
        }
        const std::vector<SpeedLine> lines = speed_lines(run.output());
        for (const SpeedLine& line : lines) {
            const auto& [r10, r60, r15] = line.rates;
            if (r10 != r60 && r60 != r15 && r10 != r15 && shown.count(line.rates)) {
                matched = line;
                break;
            }
        }
    }
    ASSERT_TRUE(connected_seen.has_value());

    // The whole range hashed and every submit the stand-in received answered; held over a
    // second look, since a thread counts its hash a moment before it submits the share.
    std::string summary;
    JsonValue v;
    const auto range_end = Clock::now() + 8s;
    for (int held = 0; held < 2;) {
        ASSERT_LT(Clock::now(), range_end) << summary << "\n" << run.output();
        std::this_thread::sleep_for(100ms);
        summary = http_get(port, "/api/v1/summary");
        const bool done = parse_json(summary, v) && hashed_by_threads(v) == RANGE &&
                          answered(v) == pool.submits();
        held = done ? held + 1 : 0;
    }
    const auto fetched = Clock::now();
    summary = http_get(port, "/api/v1/summary");
    ASSERT_TRUE(parse_json(summary, v)) << summary;
    const auto run_so_far = Clock::now() - run_start;
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
    EXPECT_LE(matched->accepted, valid);

    const JsonValue* p = v.find("pool");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->get_string("host", ""), "127.0.0.1");
    EXPECT_EQ(p->get_u64("port", 0), pool.port());
    EXPECT_TRUE(p->find("connected")->flag);
    EXPECT_FALSE(p->find("backup")->flag);
    EXPECT_EQ(p->get_u64("reconnects", 99), 0u);
    EXPECT_EQ(p->get_u64("job_height", 0), 1234u);
    EXPECT_EQ(p->get_u64("job_difficulty", 0), 40u);
    EXPECT_FALSE(v.find("dev_fee_active")->flag);
    // The times are wall-clock seconds, whatever the tick: the run started before the test saw
    // its "http " line and the connection, and within the test's own measure of the run.
    EXPECT_GE(p->get_u64("connected_s", 0), whole_seconds(fetched - *connected_seen));
    EXPECT_GE(v.get_u64("uptime_s", 0), whole_seconds(fetched - http_seen));
    EXPECT_LE(v.get_u64("uptime_s", 999), whole_seconds(run_so_far));

    // The threads split the range.
    const JsonValue* threads = v.find("threads");
    ASSERT_EQ(threads->elements.size(), 2u);
    for (const JsonValue& t : threads->elements) EXPECT_GT(t.get_u64("hashes", 0), 0u);

    EXPECT_EQ(run.stop(), 0);
}

// Slow, oversized, garbage and silent clients of the endpoint, all at once: 50 clients dribbling
// a request one byte every 100 ms, request heads of a mebibyte and garbage, 20 connections left
// open without a word.
const std::vector<test_support::HostileKind> HOSTILE_MIX = {{Hostility::dribbling, 50},
                                                            {Hostility::oversized, 1},
                                                            {Hostility::garbage, 1},
                                                            {Hostility::silent, 20}};

// The main loop keeps its rhythm under hostile clients (a speed line every tenth tick, on time),
// and a stop still ends the run at once. In this process with a 50 ms tick; the hash is the
// test's own, so the rhythm is the same under the sanitizers.
TEST(HttpEndToEnd, HostileClientsDisturbNeitherTheSpeedLineNorTheStop) {
    StandinPool pool({"--difficulty", "1000000", "--job-interval", "0"});
    ASSERT_FALSE(pool.endpoint().empty());
    SessionSeams seams = test_support::fast_seams();
    seams.tick = 50ms;
    SessionRun run(api_config(pool.endpoint()), test_support::stand_in_engine(), seams);
    ASSERT_TRUE(run.wait_for_output(" · /api/v1/summary", 20s)) << run.output();
    const uint16_t port = api_port_in(run.output());
    ASSERT_NE(port, 0) << run.output();
    ASSERT_TRUE(run.wait_for_output(" check known answer matched", 20s)) << run.output();
    const auto loop_start = Clock::now();

    HostileClients hostile(port, HOSTILE_MIX);
    ASSERT_TRUE(hostile.wait_until_attacking(5s));
    // The third speed line comes at the thirtieth tick of the loop.
    const auto deadline = loop_start + 5s;
    while (test_support::count_occurrences(run.output(), " speed ") < 3) {
        ASSERT_LT(Clock::now(), deadline) << run.output();
        std::this_thread::sleep_for(5ms);
    }
    const auto third_at = Clock::now() - loop_start;
    EXPECT_GT(third_at, 30 * seams.tick - 100ms);
    EXPECT_LT(third_at, 30 * seams.tick + 1s);

    const auto stop_at = Clock::now();
    EXPECT_EQ(run.stop(), 0);
    EXPECT_LT(Clock::now() - stop_at, STOP_BOUND);
}

// The same clients at the real binary: SIGINT still ends the process at once, cleanly.
TEST(HttpEndToEnd, HostileClientsDoNotHoldTheProcessAtSigint) {
    StandinPool pool({"--difficulty", "1000000", "--job-interval", "0"});
    ASSERT_FALSE(pool.endpoint().empty());
    BackgroundProcess miner({MINTRAKEL_BINARY, "--no-color", "-o", pool.endpoint(), "-u",
                             "qel1testaddress", "-t", "2", "--http", "127.0.0.1:0"});
    ASSERT_TRUE(miner.wait_for_output(" · /api/v1/summary", 20s)) << miner.stdout_text();
    const uint16_t port = api_port_in(miner.stdout_text());
    ASSERT_NE(port, 0) << miner.stdout_text();
    ASSERT_TRUE(miner.wait_for_output(" check known answer matched", 20s)) << miner.stdout_text();

    HostileClients hostile(port, HOSTILE_MIX);
    ASSERT_TRUE(hostile.wait_until_attacking(5s));
    const auto stop_at = Clock::now();
    miner.send_signal(SIGINT);
    const auto r = miner.wait(10s);
    const auto stop_took = Clock::now() - stop_at;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_LT(stop_took, STOP_BOUND);
    EXPECT_NE(r.out.find("\n shutdown requested — clean exit\n"), std::string::npos) << r.out;
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
