// mintrakel: the start-up sequence, one call per step, then the run.
#include "app/name_lookup.h"
#include "app/run_config.h"
#include "app/session.h"
#include "app/startup.h"
#include "base/console.h"
#include "base/exit_code.h"
#include "base/report_line.h"
#include "base/run_control.h"
#include "base/standard_streams.h"
#include "miner/verify.h"

using namespace orvo::qel;

namespace {

int run_miner(int argc, char** argv, RunControl& control) {
    use_builtin_name_sources();
    CommandLine command_line = parse_command_line(argc, argv);
    if (command_line.exit_code) return *command_line.exit_code;
    RunConfig& config = command_line.config;

    set_console_palette(config.color);
    print_banner(TITLE, SUBTITLE, VERSION, config.color);

    std::optional<InstalledEngine> engine = select_engine(config);
    if (!engine) return EXIT_FAILED;
    std::optional<ThreadPlan> plan = plan_placement(config);
    if (!plan) return EXIT_USAGE;
    if (!config.verify_file.empty()) {
        return run_verify(config.verify_file, {engine->pow_hash, engine->pow_hash_many},
                          config.intensity, control, log_report_line);
    }

    if (!require_payout_address(config)) return EXIT_USAGE;
    fill_default_worker(config);
    SessionSeams seams;
    if (!find_temperature_source(config, seams.temperature)) return EXIT_USAGE;
    print_summary(config, *engine, *plan);
    report_temperature_source(config, seams.temperature);
    return run_session(config, *engine, *plan, control, seams);
}

}  // namespace

// Every way out passes here: lines still queued for the console (a refusal, the shutdown line)
// are written before the process ends, unless the output has stalled.
int main(int argc, char** argv) {
    // Before anything opens a file: a parent's closed descriptors 0-2 must not become sockets.
    open_closed_standard_streams();
    // The run's stop and pause, reached by the signal handlers until the process ends (trivially
    // destructible: nothing tears it down under a late signal).
    static RunControl control;
    install_signal_handlers(control);
    const int code = run_miner(argc, argv, control);
    flush_console();
    return code;
}
