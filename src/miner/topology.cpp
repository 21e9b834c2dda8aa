#include "miner/topology.h"

#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>

#include "app/console.h"

namespace orvo::qel {

namespace {

// The first integer of a sysfs file, by stream extraction ("0-1" and "0,64" both read 0).
bool read_first_int(const std::string& path, int32_t& value) {
    std::ifstream in(path);
    int32_t v = 0;
    if (!(in >> v)) return false;
    value = v;
    return true;
}

// An L3 size file: a leading decimal number, times 1024 with a "K" suffix and 1 MiB with "M";
// any other last character leaves bytes. Saturates instead of overflowing on absurd values.
int64_t read_cache_size(const std::string& path) {
    std::ifstream in(path);
    std::string token;
    if (!(in >> token) || token.empty()) return 0;
    int64_t size = std::strtoll(token.c_str(), nullptr, 10);
    int64_t scale = 1;
    if (token.back() == 'K') scale = 1024;
    if (token.back() == 'M') scale = 1024 * 1024;
    int64_t scaled = 0;
    if (__builtin_mul_overflow(size, scale, &scaled)) {
        return size < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    return scaled;
}

// strtol-style reading of one int (optional blanks and sign, decimal digits) at `p`, the way
// "%d" scans. Returns the position after the number, or null when there is no number or it does
// not fit 32 bits.
const char* scan_int(const char* p, int64_t& value) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 10);
    if (end == p) return nullptr;
    if (errno == ERANGE || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max()) {
        return nullptr;
    }
    value = v;
    return end;
}

// One piece of the list: "a-b" or "a" (anything after a lone number is ignored, so "5-" is 5).
// Returns false when a number in it does not fit 32 bits.
bool append_piece(const std::string& piece, std::vector<int32_t>& out) {
    const char* p = piece.c_str();
    int64_t a = 0;
    const char* after_a = scan_int(p, a);
    if (after_a == nullptr) {
        // No number at all adds nothing; a number too large for 32 bits makes the list bad.
        char* end = nullptr;
        std::strtoll(p, &end, 10);
        return end == p;
    }
    int64_t b = 0;
    if (*after_a == '-') {
        const char* after_b = scan_int(after_a + 1, b);
        if (after_b != nullptr) {
            if (a > b) return true;
            if (b - a + 1 > MAX_CPUS_SCANNED - static_cast<int64_t>(out.size())) return false;
            for (int64_t cpu = a; cpu <= b; ++cpu) out.push_back(static_cast<int32_t>(cpu));
            return true;
        }
        char* end = nullptr;
        std::strtoll(after_a + 1, &end, 10);
        if (end != after_a + 1) return false;  // "a-<too large>"
    }
    if (out.size() >= static_cast<size_t>(MAX_CPUS_SCANNED)) return false;
    out.push_back(static_cast<int32_t>(a));
    return true;
}

}  // namespace

L3Groups scan_topology(const std::string& sysfs_root) {
    L3Groups groups;
    for (int32_t cpu = 0; cpu < MAX_CPUS_SCANNED; ++cpu) {
        std::string dir = sysfs_root + "/cpu" + std::to_string(cpu);
        if (access(dir.c_str(), F_OK) != 0) break;

        int32_t first_sibling = 0;
        if (!read_first_int(dir + "/topology/thread_siblings_list", first_sibling)) continue;

        int32_t id = 0;
        read_first_int(dir + "/cache/index3/id", id);
        L3Group& group = groups[id];
        group.id = id;
        group.l3_bytes = std::max(group.l3_bytes, read_cache_size(dir + "/cache/index3/size"));

        if (first_sibling == cpu) {
            group.first_threads.push_back(cpu);
        } else {
            group.sibling_threads.push_back(cpu);
        }
    }
    return groups;
}

std::vector<int32_t> build_pin_order(const L3Groups& groups) {
    std::vector<std::vector<int32_t>> lists;
    for (const auto& [id, group] : groups) {
        int64_t cap = group.l3_bytes > 0 ? group.l3_bytes / L3_BYTES_PER_THREAD
                                         : static_cast<int64_t>(group.first_threads.size());
        int64_t available =
            static_cast<int64_t>(group.first_threads.size() + group.sibling_threads.size());
        int64_t take = std::max<int64_t>(1, std::min(available, cap));

        std::vector<int32_t> list = group.first_threads;
        list.insert(list.end(), group.sibling_threads.begin(), group.sibling_threads.end());
        if (static_cast<int64_t>(list.size()) > take) list.resize(static_cast<size_t>(take));
        lists.push_back(std::move(list));
    }

    std::vector<int32_t> order;
    for (size_t j = 0;; ++j) {
        bool appended = false;
        for (const auto& list : lists) {
            if (list.size() > j) {
                order.push_back(list[j]);
                appended = true;
            }
        }
        if (!appended) break;
    }
    return order;
}

std::vector<int32_t> parse_cpu_list(const std::string& text) {
    std::vector<int32_t> cpus;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (!append_piece(text.substr(start, comma - start), cpus)) return {};
        start = comma + 1;
    }
    return cpus;
}

bool all_cpus_online(const std::vector<int32_t>& cpus, const L3Groups& groups) {
    std::vector<int32_t> online;
    for (const auto& [id, group] : groups) {
        online.insert(online.end(), group.first_threads.begin(), group.first_threads.end());
        online.insert(online.end(), group.sibling_threads.begin(), group.sibling_threads.end());
    }
    std::sort(online.begin(), online.end());
    return std::all_of(cpus.begin(), cpus.end(), [&](int32_t cpu) {
        return std::binary_search(online.begin(), online.end(), cpu);
    });
}

int32_t decide_thread_count(int32_t requested, int32_t best, int32_t memory_limit) {
    if (requested > 0) return requested;
    return std::max(1, std::min(memory_limit, best));
}

void pin_current_thread(int32_t cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    const auto index = static_cast<size_t>(cpu);  // not negative: checked above
    if (index < CPU_SETSIZE) CPU_SET(index, &set);
    // Best effort: an empty set or a CPU outside this process's cpuset is refused by the kernel,
    // and the thread then keeps running where it was allowed to.
    (void)sched_setaffinity(0, sizeof(set), &set);
}

std::string placement_line_text(const char* engine_name, int32_t threads, int32_t best,
                                int32_t group_count) {
    return std::string("engine ") + engine_name + " \u00b7 " +
           std::to_string(std::min(best, threads)) +
           " thread(s) pinned by L3 size (best: " + std::to_string(best) + ") \u00b7 " +
           std::to_string(group_count) + " L3 group(s)";
}

std::string auto_line_text(int32_t threads) {
    return std::to_string(threads) + " threads, override with -t <n>";
}

void print_placement_lines(const char* engine_name, int32_t threads, int32_t best,
                           int32_t group_count, bool automatic) {
    log_line(palette.gray, "cpu  ", placement_line_text(engine_name, threads, best, group_count));
    if (automatic) log_line(palette.gray, "auto ", auto_line_text(threads));
}

}  // namespace orvo::qel
