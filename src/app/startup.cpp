#include "app/startup.h"

#include <signal.h>

#include <csignal>
#include <cstdio>

#include "base/console.h"
#include "base/report_line.h"
#include "miner/temperature_guard.h"

namespace orvo::qel {

namespace {

// The one thing a signal handler can reach: the control of the process's run. A pointer set once
// before the handlers are installed, read lock-free by them.
std::atomic<RunControl*> signal_target{nullptr};
static_assert(std::atomic<RunControl*>::is_always_lock_free);

void on_signal(int) {
    if (RunControl* control = signal_target.load()) control->request_stop();
}

}  // namespace

void install_signal_handlers(RunControl& control) {
    signal_target.store(&control);
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

std::optional<InstalledEngine> select_engine(const RunConfig& config) {
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
    return InstalledEngine{*choice.engine, hash, engine_info(*choice.engine).hash_many};
}

std::optional<ThreadPlan> plan_placement(const RunConfig& config, const MachinePaths& paths) {
    ThreadPlan plan =
        plan_threads(read_machine_facts(paths), config.threads, config.cpus, config.intensity);
    if (!plan.refusal.empty()) {
        write_console_error(plan.refusal + "\n");
        return std::nullopt;
    }
    return plan;
}

bool require_payout_address(const RunConfig& config) {
    if (config.bench_seconds > 0 || !config.address.empty()) return true;
    write_console_error("an QEL payout address is required: -u <qel1...>\n");
    return false;
}

void fill_default_worker(RunConfig& config) {
    if (config.worker.empty()) config.worker = default_worker_name();
}

bool find_temperature_source(const RunConfig& config, std::optional<TemperatureSensor>& sensor,
                             const std::string& sysfs_root) {
    sensor = find_temperature_sensor(sysfs_root);
    if (sensor || config.max_temp_c <= 0) return true;
    write_console_error(std::string("--max-temp needs a CPU temperature sensor, and none was found "
                                    "(looked for ") +
                        TEMPERATURE_SOURCES + " under " + sysfs_root + "/class)\n");
    return false;
}

void report_temperature_source(const RunConfig& config,
                               const std::optional<TemperatureSensor>& sensor) {
    if (!sensor) return;
    std::string text = "CPU temperature from " + sensor->description;
    if (config.max_temp_c > 0) {
        text += " \u00b7 hashing pauses at " + std::to_string(config.max_temp_c) +
                " \u00b0C, resumes at " +
                std::to_string(config.max_temp_c - TEMPERATURE_HYSTERESIS_C) + " \u00b0C";
    }
    log_line(palette.gray, "temp ", text);
}

void print_summary(const RunConfig& config, const InstalledEngine& engine, const ThreadPlan& plan) {
    write_console_text(std::string(palette.bold) + " " + TITLE + " " + VERSION + palette.reset +
                       "  Argon2id 8 MiB · " + std::to_string(plan.threads) + " thread" +
                       (plan.threads > 1 ? "s" : "") + " · 1% dev fee\n");
    report_plan(engine_display_name(engine.kind), plan, log_report_line);
    if (config.bench_seconds > 0) return;
    for (size_t i = 0; i < config.pools.size(); ++i) {
        const PoolEndpoint& pool = config.pools[i];
        std::string text = pool.text();
        if (pool.tls) text += " · TLS";
        if (pool.pin) text += " · pinned " + fingerprint_hex(*pool.pin);
        if (config.proxy) text += " · via " + config.proxy->text();
        log_line(palette.gray, "pool ", text + (i > 0 ? " (backup)" : ""));
    }
    log_line(palette.gray, "user ", config.address + " · worker " + config.worker);
}

}  // namespace orvo::qel
