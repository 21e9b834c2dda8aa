// The start-up steps of a run that are more than one call, in the order main takes them.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/run_config.h"
#include "base/run_control.h"
#include "miner/cpu_temperature.h"
#include "miner/engine.h"
#include "miner/machine_facts.h"
#include "miner/thread_plan.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// SIGINT, SIGTERM and SIGHUP stop `control`; SIGHUP keeps an inherited "ignore" (nohup).
// SIGPIPE is ignored, so a write to a closed socket fails with an error instead of ending the
// process. `control` must live until the process ends (main's); installed before the first byte
// is written, so a stalled output cannot hold a signal off.
void install_signal_handlers(RunControl& control);

// The installed engine.
struct InstalledEngine {
    EngineKind kind;
    PowHashFn pow_hash;
    PowHashManyFn pow_hash_many = nullptr;  // the same with several hashes side by side
};
// Detects the CPU, chooses the engine for --engine, builds its table and sets the store mode.
// On refusal (or when the table cannot be allocated) prints the red "cpu  " line and returns
// nothing: the run ends with EXIT_FAILED.
std::optional<InstalledEngine> select_engine(const RunConfig& config);

// The thread plan of this run from the machine's facts and -t/--cpus/--intensity. Returns nothing
// after writing the refusal to stderr (EXIT_USAGE) when the --cpus list names no CPU, or one that
// is offline or outside the CPUs this process may use.
std::optional<ThreadPlan> plan_placement(const RunConfig& config, const MachinePaths& paths = {});

// A mining run needs a payout address; a verify or benchmark run does not. Writes the error to
// stderr and returns false when it is missing.
bool require_payout_address(const RunConfig& config);

// An empty worker name becomes the host name.
void fill_default_worker(RunConfig& config);

// The CPU temperature sensor, when the machine has one (the API shows its reading). Returns
// false after writing the refusal to stderr (EXIT_USAGE) when --max-temp asks for a guard and
// there is no sensor: a guard that cannot see is no guard.
bool find_temperature_source(const RunConfig& config, std::optional<TemperatureSensor>& sensor,
                             const std::string& sysfs_root = SYSFS_ROOT);
// The gray "temp " line: where the temperature is read and, with --max-temp, at what it pauses
// and resumes. Nothing without a sensor.
void report_temperature_source(const RunConfig& config,
                               const std::optional<TemperatureSensor>& sensor);

// The summary line, the placement lines ("cpu  ", "auto ", "limit") and, when mining, "pool "
// (one per pool, the backups marked) and "user ".
void print_summary(const RunConfig& config, const InstalledEngine& engine, const ThreadPlan& plan);

}  // namespace orvo::qel
