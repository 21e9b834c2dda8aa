#include "app/session.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/bench_report.h"
#include "app/dev_fee.h"
#include "app/rate_history.h"
#include "app/reporting.h"
#include "app/stats_file.h"
#include "base/console.h"
#include "base/exit_code.h"
#include "base/report_line.h"
#include "base/sleep.h"
#include "miner/arena.h"
#include "miner/self_check.h"
#include "miner/worker.h"
#include "pool/pool.h"

namespace orvo::qel {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t whole_seconds_since(Clock::time_point origin) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - origin).count());
}

// Everything main owns for the run; the threads get references to it.
struct RunState {
    std::atomic<uint64_t> total_hashes{0};
    ShareCounters shares;
    ArenaCounters arenas;
    Pool pool;  // destroyed (and so stopped) before the counters its callbacks use
    std::vector<std::thread> threads;
};

// Threads are numbered 0.. in creation order. When the system refuses to create one more
// thread, that one and every later one are not started; the run goes on with those it has.
struct ThreadStart {
    int32_t started = 0;
    std::string refusal;  // why the first refused thread could not be created
};

ThreadStart start_hashing_threads(RunState& state, const RunConfig& config, const Engine& engine,
                                  const Placement& placement) {
    ThreadStart result;
    for (int32_t i = 0; i < config.threads; ++i) {
        WorkerContext context{
            .index = i,
            .thread_count = config.threads,
            .pin_order = placement.pin_order,
            .arenas = state.arenas,
            .bench_seconds = config.bench_seconds,
            .pow_hash = engine.pow_hash,
            .total_hashes = state.total_hashes,
            .pool = state.pool,
            .stop_requested = stop_requested,
            .report = log_report_line,
        };
        try {
            state.threads.emplace_back(hashing_thread, context);
        } catch (const std::system_error& e) {
            result.refusal = e.code().message();
            return result;
        }
        result.started = i + 1;
    }
    return result;
}

// The red "cpu  " line for threads the system would not create.
void report_unstarted_threads(int32_t count, const std::string& refusal) {
    log_line(palette.red, "cpu  ",
             std::to_string(count) + " thread(s) could not be started: " + refusal);
}

// A run in which no thread hashes ends with exit code 1 when that makes the run pointless: a
// benchmark would measure nothing, and threads that failed their self-check would have mined
// wrong shares. A mining run whose threads only lacked memory keeps its connection and waits
// to be stopped.
bool nothing_can_hash(const ArenaCounters& arenas, bool bench) {
    if (arenas.ready_count.load() > 0) return false;
    if (arenas.check_failed_count.load() > 0) {
        report_no_thread_passed(log_report_line);
        return true;
    }
    if (bench) {
        report_bench_without_hashing();
        return true;
    }
    return false;
}

}  // namespace

int run_session(const RunConfig& config, const Engine& engine, const Placement& placement,
                const SessionSeams& seams) {
    const bool bench = config.bench_seconds > 0;
    RunState state;
    const PoolEndpoint& first = config.pools.front();
    Pool::Config pool_config{first.host,
                             first.port,
                             config.address,
                             config.worker,
                             {config.pools.begin() + 1, config.pools.end()}};
    if (seams.pool_timing) seams.pool_timing(state.pool);
    state.pool.on_log = log_net_line;
    state.pool.on_result = [&state](bool accepted, const std::string& reason) {
        report_share_result(state.shares, accepted, reason);
    };
    if (!bench) state.pool.start(pool_config);

    const ThreadStart start = start_hashing_threads(state, config, engine, placement);
    if (start.started < config.threads) {
        report_unstarted_threads(config.threads - start.started, start.refusal);
    }
    const Clock::time_point uptime_origin = Clock::now();
    wait_for_arenas(state.arenas, start.started, stop_requested);
    report_arenas(state.arenas, log_report_line);
    report_self_check_outcome(state.arenas.ready_count.load(),
                              state.arenas.check_failed_count.load(), log_report_line);
    // Only threads that passed their self-check ever hash; when none did, every thread has
    // already ended.
    if (!stop_requested.load() && nothing_can_hash(state.arenas, bench)) {
        state.pool.stop();
        for (auto& thread : state.threads) thread.join();
        return EXIT_FAILED;
    }
    const int32_t hashing_threads = state.arenas.ready_count.load();

    RateHistory history;
    uint64_t previous = state.total_hashes.load();
    const Clock::time_point loop_origin = Clock::now();
    bool dev_fee_active = false;
    while (!stop_requested.load()) {
        sleep_resuming(seams.tick);
        const uint64_t current = state.total_hashes.load();
        history.append(current - previous);
        previous = current;
        if (bench) {
            if (run_bench_report(history, config.bench_seconds, hashing_threads)) break;
            continue;
        }
        check_dev_fee(whole_seconds_since(loop_origin), dev_fee_active, state.pool, pool_config,
                      config.address, config.worker);
        if (history.count() % 10 == 0) {
            print_status_line(history, state.shares);
            if (!config.stats_file.empty()) {
                write_stats_file(
                    config.stats_file,
                    format_stats_json(history.average_rate(60), state.shares.accepted.load(),
                                      state.shares.rejected.load(),
                                      whole_seconds_since(uptime_origin)));
            }
        }
    }

    stop_requested.exchange(true);
    state.pool.stop();
    for (auto& thread : state.threads) thread.join();
    if (!bench) {
        std::printf("\n shutdown requested — clean exit\n");
        std::fflush(stdout);
    }
    return EXIT_OK;
}

}  // namespace orvo::qel
