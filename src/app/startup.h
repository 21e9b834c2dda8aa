// The start-up steps of a run that are more than one call, in the order main takes them.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/run_config.h"
#include "miner/engine.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// Set by SIGINT, SIGTERM and SIGHUP (and by main before it joins the threads); ends the run.
extern std::atomic<bool> stop_requested;

// SIGINT, SIGTERM and SIGHUP set stop_requested; SIGHUP keeps an inherited "ignore" (nohup).
// SIGPIPE is ignored, so a write to a closed socket fails with an error instead of ending the
// process.
void install_signal_handlers();

// The installed engine.
struct Engine {
    EngineKind kind;
    PowHashFn pow_hash;
};
// Detects the CPU, chooses the engine for --engine, builds its table and sets the store mode.
// On refusal (or when the table cannot be allocated) prints the red "cpu  " line and returns
// nothing: the run ends with EXIT_FAILED.
std::optional<Engine> select_engine(const RunConfig& config);

// Where hashing thread i runs.
struct Placement {
    std::vector<int32_t> pin_order;
    int32_t best = 0;         // length of pin_order
    int32_t group_count = 0;  // L3 groups found
};
// The topology's pin order, replaced by the --cpus list when `cpus` is not empty. Returns
// nothing after writing "bad --cpus list" to stderr (EXIT_USAGE) when the list names no CPU or
// any CPU that is not online.
std::optional<Placement> read_placement(const std::string& cpus);

// A mining run needs a payout address; a verify or benchmark run does not. Writes the error to
// stderr and returns false when it is missing.
bool require_payout_address(const RunConfig& config);

// Settles the thread count and the worker name in `config`: a --cpus list runs one thread per
// listed CPU whatever --threads said, an automatic count (0 or less) becomes the topology's and
// memory's limit, an empty worker name becomes the host name. Returns whether the count was
// automatic.
bool settle_threads_and_worker(RunConfig& config, const Placement& placement);

// The summary line, the "cpu  " and "auto " lines and, when mining, "pool " (one per pool, the
// backups marked) and "user ".
void print_summary(const RunConfig& config, const Engine& engine, const Placement& placement,
                   bool automatic);

}  // namespace orvo::qel
