#include "app/session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/bench_report.h"
#include "app/dev_fee.h"
#include "app/pause_lines.h"
#include "app/reporting.h"
#include "base/console.h"
#include "base/exit_code.h"
#include "base/report_line.h"
#include "miner/arena.h"
#include "miner/arena_gate.h"
#include "miner/intensity.h"
#include "miner/self_check.h"
#include "miner/temperature_guard.h"
#include "miner/thread_stats.h"
#include "miner/worker.h"
#include "monitor/api_feed.h"
#include "monitor/rate_history.h"
#include "monitor/stats_file.h"
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
    RunState(int32_t configured_threads, const PoolTiming& pool_timing)
        : thread_count(configured_threads > 0 ? static_cast<size_t>(configured_threads) : 0),
          thread_stats(new ThreadStats[thread_count]),
          pool(
              log_report_line,
              [this](bool accepted, const std::string& reason) {
                  report_share_result(shares, accepted, reason);
              },
              pool_timing) {}

    std::atomic<uint64_t> total_hashes{0};
    std::atomic<uint64_t> blocks_found{0};
    ShareCounters shares;
    ArenaCounters arenas;
    ArenaGate arena_gate;  // every arena is mapped through it
    std::atomic<int32_t> refused_pins{0};
    IntensityTrial intensity_trial;
    size_t thread_count;
    std::unique_ptr<ThreadStats[]> thread_stats;  // one record per thread, by index
    // Destroyed (and so stopped) before the counters its callbacks use.
    Pool pool;
    std::vector<std::thread> threads;
};

// Threads are numbered 0.. in creation order. The threads the plan gives an arena split the
// nonce range between them (thread i of those T). When the system refuses to create one more
// thread, that one and every later one are not started; the run goes on with those it has and
// their nonces go unhashed.
struct ThreadStart {
    int32_t started = 0;
    std::string refusal;  // why the first refused thread could not be created
};

ThreadStart start_hashing_threads(RunState& state, const RunConfig& config,
                                  const InstalledEngine& engine, const ThreadPlan& placement,
                                  const RunControl& control, const SessionSeams& seams) {
    ThreadStart result;
    for (int32_t i = 0; i < placement.arena_threads(); ++i) {
        WorkerContext context{
            .index = i,
            .thread_count = placement.arena_threads(),
            .pin_order = placement.pin_order,
            .arenas = state.arenas,
            .bench_seconds = config.bench_seconds,
            .engine = {engine.pow_hash, engine.pow_hash_many},
            .intensity = placement.intensity,
            .trial = placement.measures_intensity() ? &state.intensity_trial : nullptr,
            .total_hashes = state.total_hashes,
            .board = state.pool.board(),
            .submit = state.pool.submitter(),
            .control = control,
            .report = log_report_line,
            .refused_pins = &state.refused_pins,
            .stats = &state.thread_stats[static_cast<size_t>(i)],
            .blocks_found = &state.blocks_found,
            .arena_gate = &state.arena_gate,
            .map = seams.map,
        };
        try {
            state.threads.push_back(seams.start_thread([context] { hashing_thread(context); }));
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

// After the threads pinned themselves: how many pins held, when the kernel refused any.
void report_refused_pins(int32_t refused, const ThreadPlan& placement, int32_t started) {
    if (refused <= 0) return;
    const int32_t planned = std::min(placement.best(), started);
    log_line(palette.red, "cpu  ",
             std::to_string(planned - refused) + " of " + std::to_string(planned) +
                 " thread(s) pinned: the kernel refused " + std::to_string(refused) + " pin(s)");
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

// The endpoint's server options from --http and --http-token.
HttpServerOptions api_options(const RunConfig& config) {
    return {.host = config.http->host, .port = config.http->port, .token = config.http_token};
}

// What the endpoint shows of the run at this tick.
RunReading reading(const RunState& state, Clock::time_point uptime_origin, bool dev_fee_active,
                   const Pool* pool, int32_t intensity, const RunControl& control,
                   std::optional<int32_t> temperature_mc) {
    return {.uptime_s = whole_seconds_since(uptime_origin),
            .hashes_total = state.total_hashes.load(),
            .accepted = state.shares.accepted.load(),
            .rejected = state.shares.rejected.load(),
            .blocks_found = state.blocks_found.load(),
            .last_rejection = state.shares.last_rejection(),
            .intensity = intensity,
            .dev_fee_active = dev_fee_active,
            .pause_reasons = control.pause_reasons(),
            .cpu_temperature_mc = temperature_mc,
            .threads = state.thread_stats.get(),
            .pool = pool};
}

}  // namespace

int run_session(const RunConfig& config, const InstalledEngine& engine, const ThreadPlan& placement,
                RunControl& control, const SessionSeams& seams) {
    const bool bench = config.bench_seconds > 0;
    RunState state(placement.threads, seams.pool_timing);
    const PoolEndpoint& first = config.pools.front();
    Pool::Config pool_config{first.host,
                             first.port,
                             config.address,
                             config.worker,
                             {config.pools.begin() + 1, config.pools.end()},
                             first.tls,
                             first.pin,
                             config.proxy};
    if (!bench) state.pool.start(pool_config);

    // Threads whose arena the cgroup's memory limit cannot hold are not started: each would
    // draw the kernel's out-of-memory kill on the whole process. They count as threads without
    // an arena.
    const int32_t without_room = placement.threads - placement.arena_threads();
    state.arenas.failed_count.fetch_add(without_room);
    const ThreadStart start =
        start_hashing_threads(state, config, engine, placement, control, seams);
    if (start.started < placement.arena_threads()) {
        report_unstarted_threads(placement.arena_threads() - start.started, start.refusal);
    }
    const Clock::time_point uptime_origin = Clock::now();
    std::optional<ApiFeed> api;
    if (config.http) {
        api.emplace(api_options(config), engine_info(engine.kind).name, state.thread_count,
                    control);
    }
    const Pool* api_pool = bench ? nullptr : &state.pool;
    int32_t intensity = placement.intensity;  // until a measured choice replaces it
    std::optional<int32_t> temperature_mc;
    // Only the API and the --max-temp guard show or use the reading: without them it is not read.
    const bool reads_temperature = seams.temperature && (api || config.max_temp_c > 0);
    const auto read_temperature = [&] {
        if (reads_temperature) temperature_mc = read_temperature_mc(*seams.temperature);
    };
    const auto now_reading = [&](bool dev_fee_active) {
        return reading(state, uptime_origin, dev_fee_active, api_pool, intensity, control,
                       temperature_mc);
    };
    // The arena wait is start-up, not a stall: the endpoint's numbers stay fresh through it.
    const auto publish_start_up = [&] {
        if (api) api->publish(now_reading(false), RateHistory{});
    };
    const auto sleep_publishing = [&](std::chrono::nanoseconds d) {
        control.sleep_unless_stopped(d);
        publish_start_up();
    };
    read_temperature();
    publish_start_up();
    if (placement.measures_intensity()) {
        // Every thread's self-check has timed both intensities; the threads wait for the choice.
        wait_for_arenas(state.arenas, start.started + without_room, control, sleep_publishing,
                        &ArenaCounters::checked_count);
        const IntensityChoice choice = choose_intensity(state.intensity_trial, placement.intensity);
        state.intensity_trial.chosen.store(choice.intensity);
        intensity = choice.intensity;
        if (state.intensity_trial.timed_threads.load() > 0 || state.arenas.checked_count > 0) {
            log_line(palette.gray, "auto ", intensity_line_text(choice, placement.intensity));
        }
    }
    wait_for_arenas(state.arenas, start.started + without_room, control, sleep_publishing);
    report_refused_pins(state.refused_pins.load(), placement, start.started);
    report_arenas(state.arenas, log_report_line);
    report_self_check_outcome(state.arenas.ready_count.load(),
                              state.arenas.check_failed_count.load(), log_report_line);
    // Only threads that passed their self-check ever hash; when none did, every thread has
    // already ended.
    if (!control.stop_requested() && nothing_can_hash(state.arenas, bench)) {
        state.pool.stop();
        for (auto& thread : state.threads) thread.join();
        return EXIT_FAILED;
    }
    const int32_t hashing_threads = state.arenas.ready_count.load();

    RateHistory history;
    uint64_t previous = state.total_hashes.load();
    if (api) {
        api->publish(now_reading(false), history);
        api->start_sampling();
    }
    const Clock::time_point loop_origin = Clock::now();
    bool dev_fee_active = false;
    std::optional<TemperatureGuard> guard;
    if (config.max_temp_c > 0) guard.emplace(config.max_temp_c, loop_origin);
    PauseLines pause_lines;
    // A stop cuts the tick's sleep short and is taken at once; the unfinished tick is no sample.
    while (!control.sleep_unless_stopped(seams.tick)) {
        const uint64_t current = state.total_hashes.load();
        history.append(current - previous);
        previous = current;
        read_temperature();
        if (guard) guard->update(temperature_mc, Clock::now(), control);
        pause_lines.update(control.pause_reasons(), Clock::now(), guard ? guard->why() : "",
                           log_report_line);
        if (api) api->publish(now_reading(dev_fee_active), history);
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

    control.request_stop();
    if (api) api->stop();
    state.pool.stop();
    for (auto& thread : state.threads) thread.join();
    if (!bench) {
        write_console_text("\n shutdown requested — clean exit\n");
    }
    return EXIT_OK;
}

}  // namespace orvo::qel
