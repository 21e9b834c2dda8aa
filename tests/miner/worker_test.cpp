#include "miner/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/process.h"

namespace orvo::qel {
namespace {

constexpr uint64_t MAX64 = ~0ull;

TEST(NonceSchedule, InterleavesAndStopsAtTheEndOrOnWrap) {
    struct Case {
        uint64_t start, end;
        int32_t index;
        uint64_t k;
        int32_t threads;
        std::optional<uint64_t> nonce;
    } cases[] = {
        {100, 103, 0, 0, 2, 100},        {100, 103, 1, 0, 2, 101},
        {100, 103, 0, 1, 2, 102},        {100, 103, 1, 1, 2, 103},
        {100, 103, 0, 2, 2, {}},         {100, 103, 1, 2, 2, {}},
        {104, 103, 0, 0, 1, {}},         {MAX64 - 1, MAX64, 0, 1, 1, MAX64},
        {MAX64 - 1, MAX64, 0, 2, 1, {}},  // wrapped past 2^64 - 1
        {MAX64, MAX64, 1, 0, 2, {}},      // start + index already wraps
        {0, MAX64, 3, 1000, 4, 4003},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nonce_for_step(c.start, c.end, c.index, c.k, c.threads), c.nonce)
            << c.start << ".." << c.end << " i=" << c.index << " k=" << c.k;
    }
    EXPECT_EQ(bench_nonce(3, 7), (3ull << 40) + 7);
}

// The nonce of the fake self-check answer; no job or benchmark in these tests reaches it.
constexpr uint64_t CHECK_NONCE = 0x5e1f'c4ec'0000'0000;

// A stand-in for the hash: records every nonce but the self-check's and returns a chosen output.
// Side by side, it also records each group's nonces.
struct FakeHash {
    static inline std::mutex mutex;
    static inline std::vector<uint64_t> nonces;
    static inline std::vector<std::vector<uint64_t>> groups;
    static inline uint8_t output[HASH_BYTES];
    static bool checking(uint64_t nonce) { return nonce - CHECK_NONCE < MAX_INTENSITY; }
    static void hash(const Arena& arena, const uint8_t*, uint64_t nonce, uint8_t* out) {
        EXPECT_NE(arena.base, nullptr);
        std::memcpy(out, output, HASH_BYTES);
        if (checking(nonce)) return;
        std::lock_guard<std::mutex> lock(mutex);
        nonces.push_back(nonce);
    }
    static void many(const Arena* arenas, const uint8_t* const* headers, const uint64_t* group,
                     uint8_t (*outs)[HASH_BYTES], int32_t n) {
        EXPECT_GT(n, 1);  // a group of one goes through `hash`
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < i; ++j) EXPECT_NE(arenas[i].base, arenas[j].base);
            hash(arenas[i], headers[i], group[i], outs[i]);
        }
        if (checking(group[0])) return;
        std::lock_guard<std::mutex> lock(mutex);
        groups.emplace_back(group, group + n);
    }
    // A known answer the fake passes (or, planted wrong, fails) as it stands.
    static KnownAnswer answer(bool right) {
        KnownAnswer a{};
        a.nonce = CHECK_NONCE;
        std::memcpy(a.hash, output, HASH_BYTES);
        if (!right) a.hash[0] ^= 1;
        return a;
    }
    static void reset(uint8_t fill) {
        std::lock_guard<std::mutex> lock(mutex);
        nonces.clear();
        groups.clear();
        std::memset(output, fill, HASH_BYTES);
    }
    static std::vector<uint64_t> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return nonces;
    }
    static size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return nonces.size();
    }
    // Whether `nonce` is among the last few hashed.
    static bool hashed_lately(uint64_t nonce) {
        std::lock_guard<std::mutex> lock(mutex);
        const size_t from = nonces.size() > 8 ? nonces.size() - 8 : 0;
        return std::find(nonces.begin() + static_cast<ptrdiff_t>(from), nonces.end(), nonce) !=
               nonces.end();
    }
};

// The lines the hashing threads report, as an uncoloured console would show them.
struct ReportedLines {
    static inline std::mutex mutex;
    static inline std::string text;
    static void report(const ReportLine& line) {
        std::lock_guard<std::mutex> lock(mutex);
        text += std::string(" ") + line.tag + " " + line.text + "\n";
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        text.clear();
    }
    static std::string taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(text, {});
    }
};

// The pool's side of the hashing threads: the job board and a submit that records each share.
struct PoolSide {
    JobBoard board;
    std::mutex mutex;
    std::vector<std::pair<std::string, uint64_t>> submitted;  // (job id, nonce)
    SubmitFn submit = [this](const std::string& job_id, uint64_t nonce, const uint8_t*) {
        std::lock_guard<std::mutex> lock(mutex);
        submitted.emplace_back(job_id, nonce);
    };
    size_t submits() {
        std::lock_guard<std::mutex> lock(mutex);
        return submitted.size();
    }
    PoolSide() { board.connection_opened(); }
};
// Block candidates counted by the threads of the last run_workers.
std::atomic<uint64_t> last_blocks_found{0};
// Stale shares counted by the threads of the last run_workers.
uint64_t last_stale = 0;
// The control of the threads run_workers runs, while they run.
RunControl* workers_control = nullptr;

// Runs `threads` hashing threads on `pool` until `until` holds (or ten seconds pass). Thread i
// fails its self-check when wrong_answer[i] is set.
void run_workers(PoolSide& pool, int32_t threads, int32_t bench, const std::function<bool()>& until,
                 bool (*map)(Arena&) = map_arena, ArenaCounters* counters = nullptr,
                 const std::vector<bool>& wrong_answer = {},
                 const std::vector<int32_t>& pin_order = {},
                 std::atomic<int32_t>* refused_pins = nullptr, int32_t intensity = 1,
                 IntensityTrial* trial = nullptr,
                 std::chrono::nanoseconds idle_sleep = std::chrono::milliseconds(20)) {
    const KnownAnswer right = FakeHash::answer(true);
    const KnownAnswer wrong = FakeHash::answer(false);
    ArenaCounters local;
    ArenaCounters& arenas = counters ? *counters : local;
    std::atomic<uint64_t> total{0};
    RunControl control;
    workers_control = &control;
    std::vector<std::thread> workers;
    auto stats = std::make_unique<ThreadStats[]>(static_cast<size_t>(threads));
    last_blocks_found = 0;
    last_stale = 0;
    for (int32_t i = 0; i < threads; ++i) {
        WorkerContext ctx{.index = i,
                          .thread_count = threads,
                          .pin_order = pin_order,
                          .arenas = arenas,
                          .bench_seconds = bench,
                          .engine = {FakeHash::hash, FakeHash::many},
                          .intensity = intensity,
                          .trial = trial,
                          .total_hashes = total,
                          .board = pool.board,
                          .submit = pool.submit,
                          .control = control,
                          .report = ReportedLines::report,
                          .refused_pins = refused_pins,
                          .stats = &stats[static_cast<size_t>(i)],
                          .blocks_found = &last_blocks_found,
                          .idle_sleep = idle_sleep,
                          .map = map,
                          .known_answer = static_cast<size_t>(i) < wrong_answer.size() &&
                                                  wrong_answer[static_cast<size_t>(i)]
                                              ? &wrong
                                              : &right};
        workers.emplace_back(hashing_thread, ctx);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!until() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    control.request_stop();
    for (auto& w : workers) w.join();
    workers_control = nullptr;
    EXPECT_EQ(total.load(), FakeHash::count());
    // Each thread's own count: together they are the total, and each is what it hashed.
    uint64_t per_thread = 0;
    int32_t unpinned_despite_order = 0;
    for (int32_t i = 0; i < threads; ++i) {
        const ThreadStats& t = stats[static_cast<size_t>(i)];
        per_thread += t.hashes.load();
        last_stale += t.stale.load();
        // A CPU is recorded only for a pin the kernel accepted.
        const bool pinned = static_cast<size_t>(i) < pin_order.size();
        const int32_t cpu = t.cpu.load();
        if (cpu >= 0) {
            EXPECT_TRUE(pinned && cpu == pin_order[static_cast<size_t>(i)]) << i;
        } else if (pinned) {
            ++unpinned_despite_order;
        }
    }
    EXPECT_EQ(unpinned_despite_order, refused_pins != nullptr ? refused_pins->load() : 0);
    EXPECT_EQ(per_thread, total.load());
}

// Publishes a job as the pool client does. A target of 00 bytes is met only by the all-zero
// hash.
void publish_job(PoolSide& pool, const std::string& id, uint64_t start, uint64_t end,
                 uint8_t target_fill) {
    Job job;
    job.job_id = id;
    std::memset(job.header_base, 0xaa, sizeof job.header_base);
    std::memset(job.target, target_fill, sizeof job.target);
    job.height = 77;
    job.nonce_start = start;
    job.nonce_end = end;
    job.valid = true;
    const uint64_t before = pool.board.job_seq();
    pool.board.publish(job);
    ASSERT_EQ(pool.board.job_seq(), before + 1) << id;
}

std::map<uint64_t, int> nonce_counts() {
    std::lock_guard<std::mutex> lock(FakeHash::mutex);
    std::map<uint64_t, int> seen;
    for (uint64_t n : FakeHash::nonces) ++seen[n];
    return seen;
}

// One stage of a run: once `hashes` were computed in all, and `linger` later (long enough for
// several idle sleeps, so extra work would show), `then` runs while the threads keep going.
struct Stage {
    size_t hashes;
    std::function<void()> then = [] {};
};

void run_stages(PoolSide& pool, int32_t threads, std::vector<Stage> stages,
                std::chrono::milliseconds linger = std::chrono::milliseconds(150),
                int32_t intensity = 1,
                std::chrono::nanoseconds idle_sleep = std::chrono::milliseconds(20)) {
    size_t at = 0;
    std::optional<std::chrono::steady_clock::time_point> reached;
    run_workers(
        pool, threads, 0,
        [&] {
            if (at == stages.size()) return true;
            const auto now = std::chrono::steady_clock::now();
            if (!reached && FakeHash::count() >= stages[at].hashes) reached = now;
            if (reached && now - *reached > linger) {
                stages[at++].then();
                reached.reset();
            }
            return false;
        },
        map_arena, nullptr, {}, {}, nullptr, intensity, nullptr, idle_sleep);
    EXPECT_EQ(at, stages.size()) << "stage " << at << " never reached its hash count";
}

TEST(HashingThread, TwoThreadsWalkTheRangeOnceThenWaitForTheNextJob) {
    FakeHash::reset(0xFF);  // never a share
    PoolSide pool;
    const auto reconnect = [&] {
        pool.board.connection_closed();
        pool.board.connection_opened();
    };
    publish_job(pool, "j1", 100, 103, 0x00);
    std::map<uint64_t, int> after_first;
    std::vector<uint64_t> first_walk;
    run_stages(pool, 2,
               {{4,
                 [&] {
                     after_first = nonce_counts();
                     first_walk = FakeHash::snapshot();
                     // A new job with the same range starts the walk again.
                     publish_job(pool, "j2", 100, 103, 0x00);
                 }},
                {8,
                 [&] {
                     // The same work again after a reconnect: its nonces were all hashed.
                     reconnect();
                     publish_job(pool, "j2", 100, 103, 0x00);
                 }},
                {8,
                 [&] {
                     // So were those of older work that comes back.
                     reconnect();
                     publish_job(pool, "j1", 100, 103, 0x00);
                 }},
                {8, [&] { publish_job(pool, "j3", 100, 101, 0x00); }},
                {10}});
    EXPECT_EQ(after_first, (std::map<uint64_t, int>{{100, 1}, {101, 1}, {102, 1}, {103, 1}}));
    // Within a thread the order is 100, 102 (and 101, 103).
    std::vector<uint64_t> even, odd;
    for (uint64_t n : first_walk) (n % 2 ? odd : even).push_back(n);
    EXPECT_EQ(even, (std::vector<uint64_t>{100, 102}));
    EXPECT_EQ(odd, (std::vector<uint64_t>{101, 103}));
    EXPECT_EQ(nonce_counts(), (std::map<uint64_t, int>{{100, 3}, {101, 3}, {102, 2}, {103, 2}}));
}

TEST(HashingThread, ARepeatedJobKeepsEachThreadsPlace) {
    FakeHash::reset(0x00);  // every hash a share
    PoolSide pool;
    publish_job(pool, "j1", 0, 5, 0x00);
    // The pool repeats the job with a longer range: only the new nonces are hashed. Then a range
    // that starts inside the old one is new work, walked from its start: the shares found again
    // are not submitted again.
    run_stages(pool, 2,
               {{6, [&] { publish_job(pool, "j1", 0, 9, 0x00); }},
                {10, [&] { publish_job(pool, "j1", 5, 14, 0x00); }},
                {20}});
    std::map<uint64_t, int> expected;
    for (uint64_t n = 0; n <= 14; ++n) expected[n] = n >= 5 && n <= 9 ? 2 : 1;
    EXPECT_EQ(nonce_counts(), expected);
    EXPECT_EQ(pool.submits(), 15u);  // each share submitted exactly once
}

// Work that comes back after thousands of other jobs resumes where each thread left it: job A,
// then 5,000 one-nonce jobs (each hashed by thread 0 before the next comes; their shares push
// A's out of the memory of sent shares), then A again with a longer range. Every nonce of A is
// hashed and submitted once.
TEST(HashingThread, WorkResumesAfterThousandsOfOtherJobs) {
    FakeHash::reset(0x00);  // every hash a share
    PoolSide pool;
    constexpr uint64_t A_END = 3999, OTHER = 1'000'000, OTHERS = 5000;
    publish_job(pool, "A", 0, 1999, 0x00);
    size_t unseen = 0;  // one-nonce jobs no thread took up in time
    const auto others_then_a = [&] {
        for (uint64_t j = 0; j < OTHERS; ++j) {
            publish_job(pool, "one" + std::to_string(j), OTHER + j, OTHER + j, 0x00);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!FakeHash::hashed_lately(OTHER + j)) {
                if (std::chrono::steady_clock::now() > deadline) return void(++unseen);
                std::this_thread::yield();
            }
        }
        publish_job(pool, "A", 0, A_END, 0x00);
    };
    run_stages(pool, 2, {{2000, others_then_a}, {A_END + 1 + OTHERS}},
               std::chrono::milliseconds(150), 1, std::chrono::microseconds(100));
    ASSERT_EQ(unseen, 0u);
    std::map<uint64_t, int> once;
    for (uint64_t n = 0; n <= A_END; ++n) once[n] = 1;
    for (uint64_t j = 0; j < OTHERS; ++j) once[OTHER + j] = 1;
    EXPECT_EQ(nonce_counts(), once);
    EXPECT_EQ(pool.submits(), A_END + 1 + OTHERS);  // no share of A twice
}

// At intensity 3 each thread hashes three consecutive steps of its own side by side, a shorter
// group where the range ends, and submits every share of a group once.
TEST(HashingThread, GroupsOfConsecutiveStepsSideBySide) {
    FakeHash::reset(0x00);  // every hash a share
    PoolSide pool;
    publish_job(pool, "j1", 100, 110, 0x00);
    run_stages(pool, 2, {{11}}, std::chrono::milliseconds(150), 3);
    std::map<uint64_t, int> once;
    for (uint64_t n = 100; n <= 110; ++n) once[n] = 1;
    EXPECT_EQ(nonce_counts(), once);
    EXPECT_EQ(pool.submits(), 11u);
    std::vector<std::vector<uint64_t>> groups = FakeHash::groups;
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(groups, (std::vector<std::vector<uint64_t>>{
                          {100, 102, 104}, {101, 103, 105}, {106, 108, 110}, {107, 109}}));
}

// A pause stops every thread after its group in progress; the threads keep their arenas and
// their place, and after the resume walk the job that came during the pause.
TEST(HashingThread, APauseHoldsTheThreadsInPlaceUntilTheResume) {
    FakeHash::reset(0xFF);
    PoolSide pool;
    publish_job(pool, "j1", 0, 9, 0x00);
    size_t at_pause = 0;
    run_stages(pool, 2,
               {{4,
                 [&] {
                     workers_control->pause(PauseReason::api);
                     std::this_thread::sleep_for(std::chrono::milliseconds(50));
                     at_pause = FakeHash::count();
                     publish_job(pool, "j2", 100, 103, 0x00);
                     workers_control->pause(PauseReason::temperature);
                 }},
                {0, [&] { workers_control->resume(PauseReason::api); }},
                {0,
                 [&] {
                     EXPECT_EQ(FakeHash::count(), at_pause);  // one reason still holds
                     workers_control->resume(PauseReason::temperature);
                 }},
                {at_pause + 4}});
    const auto seen = nonce_counts();
    // Nothing hashed while paused; j2, which came during the pause, walked once after it.
    for (uint64_t n = 100; n <= 103; ++n) EXPECT_EQ(seen.count(n) ? seen.at(n) : 0, 1) << n;
    EXPECT_EQ(FakeHash::count(), at_pause + 4);
}

TEST(HashingThread, IdlesWithoutJobConnectionOrRange) {
    struct Case {
        bool connected;
        bool job;
        uint64_t start, end;
    } cases[] = {{false, true, 0, 10}, {true, false, 0, 10}, {true, true, 11, 10}};
    for (const auto& c : cases) {
        FakeHash::reset(0xFF);
        PoolSide pool;
        if (!c.connected) pool.board.connection_closed();
        if (c.job) publish_job(pool, "j1", c.start, c.end, 0);
        auto begin = std::chrono::steady_clock::now();
        run_workers(pool, 2, 0, [&] {
            return std::chrono::steady_clock::now() - begin > std::chrono::milliseconds(100);
        });
        EXPECT_EQ(FakeHash::count(), 0u);
    }
}

TEST(HashingThread, SubmitsSharesOfTheCurrentConnectionOnly) {
    FakeHash::reset(0x00);  // the all-zero hash meets every target, also a zero network target
    PoolSide pool;
    publish_job(pool, "j1", 0, 3, 0x00);
    ReportedLines::clear();
    run_stages(pool, 1, {{4}});
    std::string out = ReportedLines::taken();
    EXPECT_EQ(pool.submits(), 4u);  // every hash a share, submitted once
    EXPECT_EQ(last_stale, 0u);
    EXPECT_NE(out.find(" block candidate found at height 77\n"), std::string::npos) << out;
    EXPECT_EQ(last_blocks_found.load(),
              test_support::count_occurrences(out, " block candidate found"));

    // The pool reconnected since the job was copied: shares are dropped silently.
    FakeHash::reset(0x00);
    PoolSide stale;
    publish_job(stale, "j1", 0, 3, 0x00);
    stale.board.connection_opened();  // the connection changed but no job came on it yet
    run_workers(stale, 1, 0, [] { return FakeHash::count() >= 4; });
    EXPECT_GE(FakeHash::count(), 4u);
    EXPECT_EQ(stale.submits(), 0u);
    EXPECT_EQ(last_stale, FakeHash::count());  // each one counted as stale
}

TEST(HashingThread, BenchmarkNoncesAndArenaAccounting) {
    PoolSide pool;  // the benchmark needs no job
    for (int32_t intensity : {1, 3}) {
        FakeHash::reset(0xFF);
        ArenaCounters arenas;
        run_workers(
            // Both threads through start-up: a stop before then ends a thread uncounted.
            pool, 2, 10, [&] { return arenas.ready_count == 2 && FakeHash::count() >= 10; },
            map_arena, &arenas, {}, {}, nullptr, intensity);
        EXPECT_EQ(arenas.ready_count, 2);
        EXPECT_EQ(arenas.arena_count, 2 * intensity);
        EXPECT_EQ(arenas.failed_count, 0);
        // Thread i hashes i * 2^40, i * 2^40 + 1, ... in order.
        uint64_t next[2] = {0, 0};
        for (uint64_t n : FakeHash::nonces) {
            uint64_t thread = n >> 40;
            ASSERT_LT(thread, 2u) << n;
            EXPECT_EQ(n & ((1ull << 40) - 1), next[thread]++) << intensity;
        }
        EXPECT_GT(next[0] + next[1], 0u);
    }

    FakeHash::reset(0xFF);
    ArenaCounters failed;
    run_workers(
        pool, 3, 10, [&] { return failed.failed_count == 3; }, [](Arena&) { return false; },
        &failed);
    EXPECT_EQ(failed.failed_count, 3);
    EXPECT_EQ(failed.ready_count, 0);
    EXPECT_EQ(FakeHash::count(), 0u);
}

// With a trial, each thread's self-check times its candidate arenas, and the thread keeps only
// as many as main chooses: here 1 of 3.
TEST(HashingThread, MeasuredIntensityWaitsForTheChoice) {
    FakeHash::reset(0xFF);
    PoolSide pool;
    ArenaCounters arenas;
    IntensityTrial trial;
    run_workers(
        pool, 2, 10,
        [&] {
            if (arenas.checked_count == 2 && trial.chosen == 0) {
                EXPECT_EQ(arenas.ready_count, 0);  // nothing hashes before the choice
                EXPECT_EQ(FakeHash::count(), 0u);
                trial.chosen = 1;
            }
            return arenas.ready_count == 2 && FakeHash::count() >= 10;
        },
        map_arena, &arenas, {}, {}, nullptr, 3, &trial);
    EXPECT_EQ(trial.timed_threads, 2);
    EXPECT_EQ(arenas.ready_count, 2);
    EXPECT_EQ(arenas.arena_count, 2);
    EXPECT_TRUE(FakeHash::groups.empty());  // every group a single hash
}

// A thread whose self-check fails reports its CPU and stops before it hashes or submits
// anything; the others mine. Every hash of the job is a share, so a failed thread that went on
// would submit.
TEST(HashingThread, FailedSelfCheckStopsTheThreadBeforeAnyWork) {
    struct Case {
        std::vector<bool> wrong;
        int32_t ready, check_failed;
        std::vector<const char*> lines;
    } cases[] = {
        {{false, false}, 2, 0, {}},
        {{true, false},
         1,
         1,
         {" check thread 0 on CPU 0: wrong hash for the known answer — "
          "thread stopped\n"}},
        {{true, true},
         0,
         2,
         {" check thread 0 on CPU 0: wrong hash", " check thread 1 (unpinned, last on CPU "}},
    };
    for (const auto& c : cases) {
        FakeHash::reset(0x00);
        PoolSide pool;
        publish_job(pool, "j1", 0, 999, 0x00);
        ArenaCounters arenas;
        ReportedLines::clear();
        // Thread 0 is pinned to CPU 0, which every machine has; thread 1 runs unpinned.
        run_workers(pool, 2, 0,
                    [&] {
                        return arenas.ready_count + arenas.check_failed_count == 2 &&
                               (c.ready == 0 || FakeHash::count() >= 8);
                    },
                    map_arena, &arenas, c.wrong, {0});
        std::string out = ReportedLines::taken();
        EXPECT_EQ(arenas.ready_count, c.ready);
        EXPECT_EQ(arenas.check_failed_count, c.check_failed);
        EXPECT_EQ(arenas.failed_count, 0);
        // Thread i hashes only nonces i, i + 2, ...: none of a failed thread's appear.
        for (uint64_t n : FakeHash::nonces) EXPECT_FALSE(c.wrong[n % 2]) << n;
        if (c.ready == 0) {
            EXPECT_EQ(FakeHash::count(), 0u);
            EXPECT_EQ(pool.submits(), 0u);  // nothing submitted
            EXPECT_EQ(out.find(" block "), std::string::npos) << out;
        } else {
            EXPECT_GE(FakeHash::count(), 8u);
        }
        for (const char* line : c.lines) EXPECT_NE(out.find(line), std::string::npos) << out;
        EXPECT_EQ(out.find(" check ") != std::string::npos, c.check_failed > 0) << out;
    }
}

// A pin the kernel refuses (here a CPU no machine of ours has) leaves the thread unpinned: it
// says so, is counted, and still hashes; its self-check report does not claim the CPU either.
TEST(HashingThread, RefusedPinRunsUnpinnedAndSaysSo) {
    FakeHash::reset(0xFF);
    PoolSide pool;
    ArenaCounters arenas;
    std::atomic<int32_t> refused{0};
    ReportedLines::clear();
    run_workers(
        pool, 2, 10, [&] { return arenas.ready_count + arenas.check_failed_count == 2; }, map_arena,
        &arenas, {true, false}, {1023, 0}, &refused);
    const std::string out = ReportedLines::taken();
    EXPECT_EQ(refused, 1);
    EXPECT_NE(
        out.find(" cpu   thread 0: the kernel refused CPU 1023 \u2014 thread runs unpinned\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find(" check thread 0 (unpinned"), std::string::npos) << out;
    EXPECT_EQ(out.find("thread 1: the kernel refused"), std::string::npos) << out;
}

}  // namespace
}  // namespace orvo::qel
