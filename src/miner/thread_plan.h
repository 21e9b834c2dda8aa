// Where the hashing threads run and how many there are: one decision from the machine's facts
// (topology, the CPUs this process may use, memory and its cgroup limit, the CPU quota) and what
// the user asked for (-t, --cpus). Nothing after it changes the count or the pin order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/report_line.h"
#include "miner/arena_gate.h"
#include "miner/machine_facts.h"

namespace orvo::qel {

// What decided the thread count.
enum class CountCap {
    requested,      // -t or a --cpus list
    l3,             // the pin order: one thread per 8 MiB of L3 on the allowed CPUs
    memory,         // available memory beside the reserve for the rest of the system
    cgroup_memory,  // the cgroup's memory limit
    cpu_quota,      // the cgroup's CPU quota
};

struct ThreadPlan {
    int32_t threads = 1;
    bool automatic = false;
    CountCap decided_by = CountCap::requested;
    // Arenas per thread, hashed side by side: the --intensity asked for, or, when automatic, the
    // largest that the L3, the memory budget and the cgroup room hold for every thread. An
    // automatic intensity above 1 is measured against 1 by the threads' self-checks, and the
    // faster is kept.
    int32_t intensity = 1;
    bool intensity_automatic = false;
    // Thread i is pinned to entry i when there is one; the others run unpinned.
    std::vector<int32_t> pin_order;
    int32_t group_count = 0;   // L3 groups with at least one allowed CPU
    int32_t online_cpus = 0;   // CPUs the topology scan found
    int32_t allowed_cpus = 0;  // of those, the ones this process may run on
    // Arenas the cgroup memory limit can hold; threads from this index on get none and stop at
    // once (counted like a failed mapping) instead of drawing the kernel's out-of-memory kill.
    // Nothing: no cgroup limit, every thread maps its own.
    std::optional<int32_t> cgroup_arenas;
    // Gray "limit" lines: the limits found and what they allow.
    std::vector<std::string> limits;
    // Not empty: the --cpus list is refused with this message (exit status 2).
    std::string refusal;

    int32_t best() const { return static_cast<int32_t>(pin_order.size()); }
    // Threads that get their arenas when mapping succeeds.
    int32_t arena_threads() const;
    // Whether the threads' self-checks time intensity 1 against `intensity`.
    bool measures_intensity() const { return intensity_automatic && intensity > 1; }
};

// The L3 groups cut to the CPUs in `allowed` (ascending). A sibling whose core's first thread is
// not allowed takes that thread's place among the first threads; groups left empty are dropped.
L3Groups restrict_groups(const L3Groups& groups, const std::vector<int32_t>& allowed);

// The plan for -t `requested` (0 or less: automatic), the --cpus text (empty: the topology's
// order on the allowed CPUs) and --intensity `intensity` (1..MAX_INTENSITY; 0: automatic).
// Every limit counts arenas, threads x intensity:
//   --cpus: every entry must be an allowed online CPU (else refusal); one thread per entry.
//   -t n:   n threads, pinned along the automatic pin order, the rest unpinned.
//   neither: min(pin order, memory budget, cgroup memory room, CPU quota rounded up), at least 1;
//            the pin order gives each L3 group l3_arenas / intensity threads.
//   automatic intensity: the threads come first, as at intensity 1; then the largest intensity
//            up to MAX_INTENSITY whose arenas fit the L3 arenas of the allowed groups, the memory
//            budget and the cgroup room, else 1.
ThreadPlan plan_threads(const MachineFacts& facts, int32_t requested, const std::string& cpus,
                        int32_t intensity = 0);

// "0-3,8,10-11"; "none" for no CPU.
std::string cpu_ranges_text(const std::vector<int32_t>& cpus);

// "engine <name> · <pinned> thread(s) pinned by L3 size (best: <best>) · <groups> L3 group(s)",
// with pinned = min(best, threads that get an arena), followed by " · <allowed> of <online> CPUs
// allowed" when the process may not use every online CPU.
std::string placement_line_text(const char* engine_name, const ThreadPlan& plan);
// "<threads> threads, override with -t <n>"
std::string auto_line_text(int32_t threads);
// "intensity 1: the L3 and memory hold one arena per thread, override with --intensity <n>"
std::string single_arena_line_text();
// The gray "cpu  " line, the gray "auto " line when the count was automatic (and a second one
// when an automatic intensity had no room above 1), then one gray "limit" line per limit found.
void report_plan(const char* engine_name, const ThreadPlan& plan, const ReportSink& report);

}  // namespace orvo::qel
