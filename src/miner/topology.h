// CPU topology by L3 domain, the pin order of the hashing threads, the --cpus list, the thread
// count and the placement summary lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvo::qel {

// CPUs cpu0 .. cpu1023 are scanned; the CPU set used for pinning has the same size. It also
// bounds the length of a --cpus list.
inline constexpr int32_t MAX_CPUS_SCANNED = 1024;
inline constexpr char SYSFS_CPU_ROOT[] = "/sys/devices/system/cpu";
// One hashing thread per this many bytes of L3.
inline constexpr int64_t L3_BYTES_PER_THREAD = 8 * 1024 * 1024;

// One L3 cache domain.
struct L3Group {
    int32_t id = 0;        // cache/index3/id, 0 when unreadable
    int64_t l3_bytes = 0;  // largest L3 size read for any of its CPUs, 0 when none was readable
    std::vector<int32_t> first_threads;    // first hardware thread of their core, ascending
    std::vector<int32_t> sibling_threads;  // the other hardware threads, ascending
};
// Groups by id, ascending; the iteration order is the order threads are spread in.
using L3Groups = std::map<int32_t, L3Group>;

// Reads <root>/cpuN for N = 0, 1, ... until a directory is missing or N reaches
// MAX_CPUS_SCANNED. A CPU without a readable thread_siblings_list (offline) is skipped; a CPU
// without an L3 id joins group 0.
L3Groups scan_topology(const std::string& sysfs_root = SYSFS_CPU_ROOT);

// At most l3_bytes / 8 MiB CPUs per group (its first-thread count when the size is unknown, and
// never fewer than one), first threads before siblings, then the groups interleaved entry by
// entry in id order. Thread i is pinned to entry i.
std::vector<int32_t> build_pin_order(const L3Groups& groups);

// The --cpus grammar: comma-separated pieces, each "a-b" (a..b, nothing when a > b) or "a";
// unreadable pieces add nothing; duplicates and negative numbers are kept in order. Returns the
// empty list (a bad list) when no CPU results, when a number does not fit 32 bits, or when the
// list would have more than MAX_CPUS_SCANNED entries.
std::vector<int32_t> parse_cpu_list(const std::string& text);

// Whether every entry of a --cpus list names a CPU the scan found online (one of some group's
// threads). A list with any other entry (a negative number, a CPU past the last one, an offline
// CPU) is a bad list: no thread could be pinned there, and the placement line would claim it.
bool all_cpus_online(const std::vector<int32_t>& cpus, const L3Groups& groups);

// A requested count above 0 is used as is (threads past the pin order run unpinned). Otherwise
// the automatic count: max(1, min(memory_limit, best)).
int32_t decide_thread_count(int32_t requested, int32_t best, int32_t memory_limit);

// Binds the calling thread to `cpu`. Negative: nothing happens. Best effort: a CPU past 1023 or
// a refused call leaves the inherited affinity.
void pin_current_thread(int32_t cpu);

// "engine <name> · <pinned> thread(s) pinned by L3 size (best: <best>) · <groups> L3 group(s)",
// with pinned = min(best, threads).
std::string placement_line_text(const char* engine_name, int32_t threads, int32_t best,
                                int32_t group_count);
// "<threads> threads, override with -t <n>"
std::string auto_line_text(int32_t threads);
// The gray "cpu  " line, then the gray "auto " line when the count was automatic.
void print_placement_lines(const char* engine_name, int32_t threads, int32_t best,
                           int32_t group_count, bool automatic);

}  // namespace orvo::qel
