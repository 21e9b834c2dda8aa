// Whole runs against the stand-in pool on loopback: the real binary for what only a process
// shows (output streams, exit codes, signals), run_session in this process for the rest.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include "app/session.h"
#include "app/session_run.h"
#include "app/startup.h"
#include "base/console.h"
#include "support/console_capture.h"
#include "support/process.h"
#include "support/standin_pool.h"
#include "support/test_certificates.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::read_file;
using test_support::SessionRun;
using test_support::StandinPool;
using test_support::TempDir;

std::vector<std::string> miner(const std::string& endpoint, std::vector<std::string> extra) {
    std::vector<std::string> argv{MINTRAKEL_BINARY,  "--no-color", "-o", endpoint, "-u",
                                  "qel1testaddress", "-w",         "ci", "-t",     "2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

// What only the process shows: the start-up lines in order on stdout, nothing on stderr, the
// exit code of a stop by signal and the shutdown line last; over plain TCP and over TLS with a
// pinned self-signed certificate, every share valid either way.
TEST(MiningEndToEnd, SharesAreAcceptedThenCleanStop) {
    test_support::TestCertificates certs;
    ASSERT_TRUE(certs.ok()) << certs.problem();
    const std::string fingerprint =
        test_support::TestCertificates::fingerprint(certs.self_signed());
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        std::vector<std::string> switches{"--difficulty", "40", "--job-interval", "4"};
        if (tls) switches.insert(switches.end(), {"--tls", certs.self_signed(), certs.key()});
        StandinPool pool(switches);
        ASSERT_FALSE(pool.endpoint().empty());
        BackgroundProcess m(
            tls ? miner("stratum+ssl://" + pool.endpoint(), {"--tls-fingerprint", fingerprint})
                : miner(pool.endpoint(), {}));
        ASSERT_TRUE(m.wait_for_output(" share accepted (", 30s)) << m.stdout_text();
        m.send_signal(SIGINT);
        auto r = m.wait(10s);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");

        // Start-up lines of a mining run, in order.
        const std::string pool_line =
            " pool  " + pool.endpoint() + (tls ? " · TLS · pinned " : "\n");
        const std::string connected =
            " net   connected to " + pool.endpoint() + (tls ? " · TLS 1.3 · fingerprint " : "\n");
        const std::string in_order[] = {" cpu   engine ",
                                        pool_line,
                                        " user  qel1testaddress · worker ci\n",
                                        connected,
                                        " net   logged in\n",
                                        " net   new job — height ",
                                        " share accepted (1/0)\n"};
        size_t at = 0;
        for (const std::string& piece : in_order) {
            size_t found = r.out.find(piece, at);
            ASSERT_NE(found, std::string::npos) << piece << "\n" << r.out;
            at = found;
        }
        // The shutdown line is last.
        const std::string shutdown = "\n shutdown requested — clean exit\n";
        ASSERT_GE(r.out.size(), shutdown.size());
        EXPECT_EQ(r.out.substr(r.out.size() - shutdown.size()), shutdown);
        // A deliberate end, over TLS too (close_notify), not a cut connection.
        EXPECT_TRUE(pool.wait_for_output("disconnect #1\n", 5s)) << pool.output();

        std::string counts = pool.judgement();
        EXPECT_TRUE(std::regex_match(counts, std::regex("valid [1-9][0-9]* invalid 0 duplicate 0")))
            << counts;
    }
}

// A whole run in this process with a 20 ms tick: the arena and self-check lines, shares, and a
// status line and a stats file every tenth tick.
TEST(MiningEndToEnd, SharesStatusLineAndStatsFileEveryTenthTick) {
    StandinPool pool({"--difficulty", "40", "--job-interval", "4"});
    ASSERT_FALSE(pool.endpoint().empty());
    TempDir dir;
    const std::string stats = dir.file("stats.json");
    RunConfig config = test_support::mining_config({pool.endpoint()}, 2);
    config.stats_file = stats;
    const auto started = std::chrono::steady_clock::now();
    SessionRun run(config, test_support::real_engine());
    ASSERT_TRUE(run.wait_for_output(" share accepted (", 30s)) << run.output();
    // The first status line after the first share, and a stats turn beside it.
    const size_t first_share = run.output().find(" share accepted (");
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (run.output().find(" speed ", first_share) == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << run.output();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(run.stop(), 0);
    const auto seconds_run =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    const std::string out = run.output();

    const char* in_order[] = {" net   connected to ", " net   logged in\n",
                              " net   new job — height ", " share accepted (1/0)\n", " speed "};
    size_t at = 0;
    for (const char* piece : in_order) {
        size_t found = out.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << out;
        at = found;
    }
    std::smatch pages;
    ASSERT_TRUE(std::regex_search(
        out, pages,
        std::regex("(^|\n) pages ([0-9]+) arena\\(s\\) in reserved huge pages, ([0-9]+) in "
                   "transparent huge pages\n")));
    EXPECT_EQ(std::stoi(pages[2]) + std::stoi(pages[3]), 2);
    // After the pages line; a pool line may come between the two.
    EXPECT_NE(out.find("\n check known answer matched on 2 of 2 thread(s)\n",
                       static_cast<size_t>(pages.position(0))),
              std::string::npos)
        << out;
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\n speed 10s/60s/15m  [0-9]+\\.[0-9]{2} H/s / [0-9]+\\.[0-9]{2} H/s / "
                        "[0-9]+\\.[0-9]{2} H/s   parts [0-9]+/0\n")))
        << out;

    std::smatch line;
    const std::string written = read_file(stats);
    ASSERT_TRUE(std::regex_match(
        written, line,
        std::regex("\\{\"hashrate_hs\":[0-9]+\\.[0-9]{2},\"accepted\":[0-9]+,\"rejected\":0,"
                   "\"uptime_s\":([0-9]+),\"version\":\"v1\\.0\\.1\","
                   "\"algo\":\"argon2id-qel\"\\}\n")))
        << written;
    EXPECT_LE(std::stoll(line[1]), seconds_run);  // real seconds, whatever the tick

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
    auto r = test_support::run_process({MINTRAKEL_BINARY, "--no-color", "--bench", "1", "-t", "1",
                                        "--stats-file", dir.file("stats.json")},
                                       60s);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(" ORVO TALVEX QEL v1.0.1  Argon2id 8 MiB · 1 thread · 1% dev fee\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n bench 1 threads: [0-9]+\\.[0-9]{2} H/s "
                                                    "over 1 s\n$")))
        << r.out;
    for (const char* absent : {" pool  ", " user  ", " net   ", "shutdown requested", "window"}) {
        EXPECT_EQ(r.out.find(absent), std::string::npos) << absent;
    }
    EXPECT_EQ(read_file(dir.file("stats.json")), "");  // never written outside mining
}

// The count in a "<prefix><n><suffix>" line, 0 when there is no such line.
int count_in_line(const std::string& out, const std::string& prefix, const std::string& suffix) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("(?:^|\n) " + prefix + "([0-9]+)" + suffix)))
        return 0;
    return std::stoi(m[1]);
}

// Where a benchmark's threads went, as its lines say.
struct ThreadFates {
    int unstarted = 0;  // the system would not create them
    int no_arena = 0;   // started, but no arena could be mapped
    int hashing = 0;    // passed the self-check and hashed
};

// Checks a finished benchmark's output and exit code against the accounting every run keeps:
// every asked-for thread is reported once, in its own line, and the result counts only the
// threads that hashed; a benchmark in which none did says so and fails. Returns the fates read.
ThreadFates expect_bench_accounting(const std::string& out, int exit_code, int threads) {
    ThreadFates fates;
    fates.unstarted = count_in_line(out, "cpu   ", " thread\\(s\\) could not be started: ");
    fates.no_arena = count_in_line(
        out, "mem   ", " thread\\(s\\) stopped: not enough memory for an 8 MiB arena\n");
    fates.hashing = count_in_line(out, "check known answer matched on ", " of ");
    // The pages line counts arenas: as many as the hashing threads, or more when the start-up
    // trial chose to hash several side by side.
    std::smatch pages;
    if (!std::regex_search(out, pages,
                           std::regex("(?:^|\n) pages ([0-9]+) arena\\(s\\) in reserved huge "
                                      "pages, ([0-9]+) in transparent huge pages\n"))) {
        ADD_FAILURE() << "no pages line";
        return fates;
    }
    const int arenas = std::stoi(pages[1]) + std::stoi(pages[2]);
    EXPECT_GE(arenas, fates.hashing);
    EXPECT_LE(arenas, fates.hashing * MAX_INTENSITY);
    EXPECT_EQ(fates.unstarted + fates.no_arena + fates.hashing, threads);
    if (fates.hashing == 0) {
        EXPECT_EQ(exit_code, 1);
        EXPECT_TRUE(out.ends_with("\n bench no thread could hash — nothing measured\n"));
        EXPECT_EQ(out.find(" threads: "), std::string::npos);
    } else {
        const std::string n = std::to_string(fates.hashing);
        EXPECT_EQ(exit_code, 0);
        EXPECT_TRUE(
            std::regex_search(out, std::regex("\n check known answer matched on " + n + " of " + n +
                                              " thread\\(s\\)\n bench " + n +
                                              " threads: [0-9]+\\.[0-9]{2} H/s over 1 s\n$")));
    }
    return fates;
}

// The accounting with the system's refusals placed by the test: the first `startable` threads
// are created, and the first `arenas` arenas mapped, whatever the order the threads run in.
std::atomic<int> arenas_left{0};  // the room left for arenas in the current case
bool map_while_room(Arena& arena) {
    return arenas_left.fetch_sub(1) > 0 && map_arena(arena);
}

TEST(BenchSession, ResultCountsOnlyThreadsThatHashed) {
    struct Case {
        int threads;
        int startable;
        int arenas;
        ThreadFates expected;
        int intensity = 1;
    } cases[] = {
        {8, 8, 3, {0, 5, 3}},
        // One thread is refused its second arena and hashes in its first: five arenas, three
        // threads counted.
        {3, 3, 5, {0, 0, 3}, 2},
        {8, 5, 2, {3, 3, 2}},
        {3, 1, 3, {2, 0, 1}},
        {4, 4, 0, {0, 4, 0}},
        {2, 0, 2, {2, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.threads) + " threads, " + std::to_string(c.startable) +
                     " startable, room for " + std::to_string(c.arenas) + " arena(s)");
        arenas_left = c.arenas;
        int started = 0;
        SessionSeams seams = test_support::fast_seams();
        seams.map = map_while_room;
        seams.start_thread = [&started, &c](std::function<void()> body) {
            if (started == c.startable) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            ++started;
            return std::thread(std::move(body));
        };
        RunConfig config = test_support::mining_config({"127.0.0.1:9"}, c.threads);
        config.bench_seconds = 1;  // no pool is reached
        ThreadPlan plan;
        plan.threads = c.threads;
        plan.intensity = c.intensity;
        SessionRun run(config, test_support::real_engine(), plan, seams);
        ASSERT_TRUE(run.wait_for_output("\n bench ", 30s)) << run.output();
        const int code = run.stop();
        const std::string out = run.output();
        SCOPED_TRACE(out);
        const ThreadFates fates = expect_bench_accounting(out, code, c.threads);
        EXPECT_EQ(fates.unstarted, c.expected.unstarted);
        EXPECT_EQ(fates.no_arena, c.expected.no_arena);
        EXPECT_EQ(fates.hashing, c.expected.hashing);
        if (c.expected.unstarted > 0) {
            EXPECT_NE(out.find(" could not be started: Resource temporarily unavailable\n"),
                      std::string::npos);
        }
    }
}

// The same accounting under a real address-space limit, in the cases whose outcome the limit
// fixes whatever the scheduler does: how many threads hash beside the stacks that fit depends
// on which the kernel maps first (and on the C library's per-thread heaps), so a "some hash,
// some do not" case is only certain with the refusals placed, above.
TEST(BenchEndToEnd, ResultCountsOnlyThreadsThatHashed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool limits_work = false;  // sanitizer runtimes need far more address space
#else
    constexpr bool limits_work = true;
#endif
    enum Hashing { none, some, either };
    struct Case {
        const char* ulimit_kib;  // null: no limit
        int threads;
        Hashing hashing;
    } cases[] = {
        // Two stacks cannot fit, nor one stack and one arena: nothing hashes, whatever starts.
        {"16000", 2, none},
        // 200 stacks cannot fit; whether any arena fits beside the stacks that do is a race.
        {"300000", 200, either},
        {nullptr, 2, some},
    };
    for (const auto& c : cases) {
        if (c.ulimit_kib && !limits_work) continue;
        std::string command = std::string("exec ") + MINTRAKEL_BINARY +
                              " --no-color -o 127.0.0.1:9 --bench 1 -t " +
                              std::to_string(c.threads);
        if (c.ulimit_kib) command = std::string("ulimit -v ") + c.ulimit_kib + "; " + command;
        auto r = test_support::run_process({"/bin/sh", "-c", command}, 60s);
        SCOPED_TRACE(command + "\n" + r.out + r.err);
        const ThreadFates fates = expect_bench_accounting(r.out, r.exit_code, c.threads);
        if (c.ulimit_kib) {
            // The system's own refusal reaches the user in its own words.
            EXPECT_GT(fates.unstarted, 0);
            EXPECT_NE(r.out.find(" could not be started: Resource temporarily unavailable\n"),
                      std::string::npos);
        }
        if (c.hashing != either) {
            EXPECT_EQ(fates.hashing == 0, c.hashing == none);
        }
    }
}

// A --cpus list is run only when every entry is an online CPU this process may use; otherwise no
// thread could be pinned where the placement line says. Every machine has CPU 0; none has CPU
// 4096.
TEST(CpusEndToEnd, ListsOfOnlineCpusOnly) {
    struct Case {
        const char* list;
        int exit_code;
        // Run: the "cpu  " line's count and best when the run starts; refused: the CPU named.
        const char* expected;
    } cases[] = {
        {"5000", 2, "5000"},
        {"0,4096", 2, "4096"},
        {"-1", 2, "-1"},
        {"4096-4097,0", 2, "4096"},
        {"x", 2, nullptr},
        {"0", 0, "1 thread(s) pinned by L3 size (best: 1)"},
        {"3-1,0", 0, "1 thread(s) pinned by L3 size (best: 1)"},
        {"0,0", 0, "2 thread(s) pinned by L3 size (best: 2)"},
    };
    for (const auto& c : cases) {
        auto r = test_support::run_process({MINTRAKEL_BINARY, "--no-color", "-o", "127.0.0.1:9",
                                            "--bench", "1", "-t", "3", "--cpus", c.list},
                                           60s);
        SCOPED_TRACE(std::string(c.list) + "\n" + r.out + r.err);
        EXPECT_EQ(r.exit_code, c.exit_code);
        if (c.exit_code == 0) {
            EXPECT_NE(r.out.find(std::string(" · ") + c.expected + " · "), std::string::npos);
            EXPECT_EQ(r.err, "");
            continue;
        }
        EXPECT_EQ(r.out.find(" cpu   "), std::string::npos);
        if (c.expected) {
            EXPECT_TRUE(r.err.starts_with(std::string("bad --cpus list: CPU ") + c.expected +
                                          " is not allowed (allowed: "));
        } else {
            EXPECT_EQ(r.err, "bad --cpus list\n");
        }
    }
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

// An engine that computes a wrong hash on this machine, as a faulty core or an unstable
// overclock would: the real hash with one bit flipped.
PowHashFn real_hash = nullptr;
void faulty_hash(const Arena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    real_hash(arena, header, nonce, out);
    out[5] ^= 0x10;
}

// Without the self-check every hash of this run would be a share (difficulty 1) and wrong. With
// it, each thread names its CPU and stops, and the run ends with 1 before submitting anything.
TEST(SelfCheckEndToEnd, WrongHashOnEveryThreadEndsTheRunWithoutSubmitting) {
    StandinPool pool({"--difficulty", "1"});
    ASSERT_FALSE(pool.endpoint().empty());
    RunConfig config;
    std::optional<PoolEndpoint> endpoint = split_pool_endpoint(pool.endpoint());
    ASSERT_TRUE(endpoint);
    config.pools = {*endpoint};
    config.address = "qel1testaddress";
    config.worker = "ci";
    config.threads = 2;
    config.color = false;
    set_console_palette(false);
    std::optional<InstalledEngine> engine = select_engine(config);
    ASSERT_TRUE(engine);
    real_hash = engine->pow_hash;
    engine->pow_hash = faulty_hash;
    ThreadPlan placement;  // unpinned
    placement.threads = 2;

    // A run that goes on mining is stopped after a while, so it fails here instead of hanging.
    RunControl control;
    std::atomic<bool> returned{false};
    std::thread watchdog([&] {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!returned && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        if (!returned) control.request_stop();
    });
    int code = -1;
    const std::string out = test_support::capture_console(
        [&] { code = run_session(config, *engine, placement, control); });
    returned = true;
    watchdog.join();
    EXPECT_EQ(code, 1);
    for (const char* line :
         {" check thread 0 (unpinned", " check thread 1 (unpinned",
          "\n check no thread passed the self-check — the hash is wrong on this machine\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    for (const char* absent : {" share ", " block ", "known answer matched", "shutdown"}) {
        EXPECT_EQ(out.find(absent), std::string::npos) << absent << "\n" << out;
    }
    EXPECT_FALSE(control.stop_requested());
    EXPECT_EQ(pool.judgement(), "valid 0 invalid 0 duplicate 0");
}

}  // namespace
}  // namespace orvo::qel
