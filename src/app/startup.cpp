#include "app/startup.h"

#include <signal.h>

#include <csignal>
#include <cstdio>

#include "base/console.h"
#include "base/report_line.h"
#include "miner/arena.h"
#include "miner/cpu_list.h"
#include "miner/pin_order.h"
#include "miner/placement_lines.h"
#include "miner/thread_count.h"
#include "miner/topology.h"

namespace orvo::qel {

std::atomic<bool> stop_requested{false};

namespace {

void on_signal(int) {
    stop_requested.exchange(true);
}

}  // namespace

void install_signal_handlers() {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    // A closed terminal or SSH session stops the run cleanly, unless the miner was started
    // with SIGHUP ignored (nohup) to outlive its terminal.
    struct sigaction hup {};
    if (sigaction(SIGHUP, nullptr, &hup) != 0 || hup.sa_handler != SIG_IGN) {
        std::signal(SIGHUP, on_signal);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

std::optional<Engine> select_engine(const RunConfig& config) {
    EngineChoice choice = choose_engine(detect_cpu_features(), config.engine);
    if (!choice.engine) {
        log_line(palette.red, "cpu  ", choice.error);
        return std::nullopt;
    }
    PowHashFn hash = install_engine(*choice.engine, config.stores);
    if (hash == nullptr) {
        log_line(palette.red, "cpu  ", "cannot allocate the reference table");
        return std::nullopt;
    }
    return Engine{*choice.engine, hash};
}

std::optional<Placement> read_placement(const std::string& cpus) {
    L3Groups groups = scan_topology();
    Placement placement;
    placement.pin_order = build_pin_order(groups);
    placement.group_count = static_cast<int32_t>(groups.size());
    if (!cpus.empty()) {
        std::vector<int32_t> list = parse_cpu_list(cpus);
        if (list.empty() || !all_cpus_online(list, groups)) {
            std::fprintf(stderr, "bad --cpus list\n");
            return std::nullopt;
        }
        placement.pin_order = std::move(list);
    }
    placement.best = static_cast<int32_t>(placement.pin_order.size());
    return placement;
}

bool require_payout_address(const RunConfig& config) {
    if (config.bench_seconds > 0 || !config.address.empty()) return true;
    std::fprintf(stderr, "an QEL payout address is required: -u <qel1...>\n");
    return false;
}

bool settle_threads_and_worker(RunConfig& config, const Placement& placement) {
    if (!config.cpus.empty()) config.threads = placement.best;
    const bool automatic = config.threads <= 0;
    if (automatic) {
        config.threads = decide_thread_count(config.threads, placement.best, memory_thread_limit());
    }
    if (config.worker.empty()) config.worker = default_worker_name();
    return automatic;
}

void print_summary(const RunConfig& config, const Engine& engine, const Placement& placement,
                   bool automatic) {
    std::printf("%s %s %s%s  Argon2id 8 MiB · %d thread%s%s\n", palette.bold, TITLE, VERSION,
                palette.reset, config.threads, config.threads > 1 ? "s" : "", " · 1% dev fee");
    std::fflush(stdout);
    report_placement(engine_display_name(engine.kind), config.threads, placement.best,
                     placement.group_count, automatic, log_report_line);
    if (config.bench_seconds > 0) return;
    for (size_t i = 0; i < config.pools.size(); ++i) {
        log_line(palette.gray, "pool ", config.pools[i].text() + (i > 0 ? " (backup)" : ""));
    }
    log_line(palette.gray, "user ", config.address + " · worker " + config.worker);
}

}  // namespace orvo::qel
