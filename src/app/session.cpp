#include "app/session.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

#include "app/bench_report.h"
#include "app/console.h"
#include "app/dev_fee.h"
#include "app/rate_history.h"
#include "app/reporting.h"
#include "app/sleep.h"
#include "app/stats_file.h"
#include "miner/arena.h"
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
// thread, it and every later one count as stopped threads, like an arena that failed.
void start_hashing_threads(RunState& state, const RunConfig& config, const Engine& engine,
                           const Placement& placement) {
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
        };
        try {
            state.threads.emplace_back(hashing_thread, context);
        } catch (const std::system_error&) {
            state.arenas.failed_count.fetch_add(config.threads - i);
            return;
        }
    }
}

}  // namespace

int run_session(const RunConfig& config, const Engine& engine, const Placement& placement) {
    const bool bench = config.bench_seconds > 0;
    RunState state;
    const PoolEndpoint& first = config.pools.front();
    Pool::Config pool_config{first.host, first.port, config.address, config.worker,
                             {config.pools.begin() + 1, config.pools.end()}};
    state.pool.on_log = log_net_line;
    state.pool.on_result = [&state](bool accepted, const std::string& reason) {
        report_share_result(state.shares, accepted, reason);
    };
    if (!bench) state.pool.start(pool_config);

    start_hashing_threads(state, config, engine, placement);
    const Clock::time_point uptime_origin = Clock::now();
    wait_for_arenas(state.arenas, config.threads, stop_requested);
    report_arenas(state.arenas);

    RateHistory history;
    uint64_t previous = state.total_hashes.load();
    const Clock::time_point loop_origin = Clock::now();
    bool dev_fee_active = false;
    while (!stop_requested.load()) {
        sleep_resuming(std::chrono::seconds(1));
        const uint64_t current = state.total_hashes.load();
        history.append(current - previous);
        previous = current;
        if (bench) {
            if (run_bench_report(history, config.bench_seconds, config.threads)) break;
            continue;
        }
        check_dev_fee(whole_seconds_since(loop_origin), dev_fee_active, state.pool, pool_config,
                      config.address, config.worker);
        if (history.count() % 10 == 0) {
            status_line(history, state.shares);
            if (!config.stats_file.empty()) {
                write_stats_file(config.stats_file,
                                 stats_line(history.average_rate(60), state.shares.accepted.load(),
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
    return 0;
}

}  // namespace orvo::qel
