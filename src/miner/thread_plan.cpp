#include "miner/thread_plan.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "miner/cpu_list.h"
#include "miner/pin_order.h"

namespace orvo::qel {

namespace {

bool contains(const std::vector<int32_t>& sorted, int32_t cpu) {
    return std::binary_search(sorted.begin(), sorted.end(), cpu);
}

std::vector<int32_t> online_cpus(const L3Groups& groups) {
    std::vector<int32_t> online;
    for (const auto& [id, group] : groups) {
        online.insert(online.end(), group.first_threads.begin(), group.first_threads.end());
        online.insert(online.end(), group.sibling_threads.begin(), group.sibling_threads.end());
    }
    std::sort(online.begin(), online.end());
    online.erase(std::unique(online.begin(), online.end()), online.end());
    return online;
}

std::string mib_text(int64_t bytes) {
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

}  // namespace

int32_t ThreadPlan::arena_threads() const {
    return cgroup_arenas ? std::min(threads, std::max(0, *cgroup_arenas) / std::max(1, intensity))
                         : threads;
}

L3Groups restrict_groups(const L3Groups& groups, const std::vector<int32_t>& allowed) {
    L3Groups out;
    for (const auto& [id, group] : groups) {
        L3Group cut;
        cut.id = group.id;
        cut.l3_bytes = group.l3_bytes;
        for (int32_t cpu : group.first_threads) {
            if (contains(allowed, cpu)) cut.first_threads.push_back(cpu);
        }
        std::set<int32_t> stood_in;  // cores whose place a sibling already took
        for (size_t k = 0; k < group.sibling_threads.size(); ++k) {
            const int32_t cpu = group.sibling_threads[k];
            if (!contains(allowed, cpu)) continue;
            const int32_t core = k < group.sibling_cores.size() ? group.sibling_cores[k] : -1;
            if (core >= 0 && !contains(allowed, core) && stood_in.insert(core).second) {
                cut.first_threads.push_back(cpu);
            } else {
                cut.sibling_threads.push_back(cpu);
                cut.sibling_cores.push_back(core);
            }
        }
        std::sort(cut.first_threads.begin(), cut.first_threads.end());
        if (!cut.first_threads.empty() || !cut.sibling_threads.empty()) out[id] = std::move(cut);
    }
    return out;
}

namespace {

// The largest intensity whose arenas, `threads` of them each, fit every one of the limits.
int32_t largest_intensity(int32_t threads, const L3Groups& usable, int32_t memory,
                          std::optional<int32_t> room) {
    int64_t l3 = 0;
    for (const auto& [id, group] : usable) l3 += l3_arenas(group);
    int64_t fits = std::min<int64_t>(l3, memory);
    if (room) fits = std::min<int64_t>(fits, *room);
    const int64_t each = fits / std::max(1, threads);
    return static_cast<int32_t>(std::clamp<int64_t>(each, 1, MAX_INTENSITY));
}

// The automatic thread count for the plan's intensity; notes what decided it.
int32_t automatic_count(ThreadPlan& plan, const MachineFacts& facts, int32_t memory_arenas) {
    plan.automatic = true;
    int32_t count = plan.best();
    plan.decided_by = CountCap::l3;
    const int32_t memory = memory_arenas / plan.intensity;
    if (memory < count) {
        count = memory;
        plan.decided_by = CountCap::memory;
        plan.limits.push_back("available memory: room for " + std::to_string(memory_arenas) +
                              " arena(s) beside the " + mib_text(MEMORY_RESERVE_BYTES) +
                              " kept for the system");
    }
    if (plan.cgroup_arenas && *plan.cgroup_arenas / plan.intensity < count) {
        count = *plan.cgroup_arenas / plan.intensity;
        plan.decided_by = CountCap::cgroup_memory;
    }
    if (facts.cpu_quota && facts.cpu_quota->whole_cpus() < count) {
        count = facts.cpu_quota->whole_cpus();
        plan.decided_by = CountCap::cpu_quota;
    }
    return std::max(1, count);
}

}  // namespace

ThreadPlan plan_threads(const MachineFacts& facts, int32_t requested, const std::string& cpus,
                        int32_t intensity) {
    ThreadPlan plan;
    plan.intensity_automatic = intensity <= 0;
    plan.intensity = plan.intensity_automatic ? 1 : std::min(intensity, MAX_INTENSITY);
    const int32_t memory = memory_thread_limit(facts.meminfo);
    const std::vector<int32_t> online = online_cpus(facts.groups);
    std::vector<int32_t> mask = facts.allowed_cpus.value_or(std::vector<int32_t>{});
    std::sort(mask.begin(), mask.end());
    std::vector<int32_t> allowed;
    for (int32_t cpu : online) {
        if (!facts.allowed_cpus || contains(mask, cpu)) allowed.push_back(cpu);
    }
    plan.online_cpus = static_cast<int32_t>(online.size());
    plan.allowed_cpus = static_cast<int32_t>(allowed.size());
    const L3Groups usable = restrict_groups(facts.groups, allowed);
    plan.group_count = static_cast<int32_t>(usable.size());

    if (facts.cgroup_memory) {
        plan.cgroup_arenas = cgroup_arena_count(*facts.cgroup_memory, facts.meminfo);
        plan.limits.push_back("cgroup memory limit " + mib_text(facts.cgroup_memory->limit_bytes) +
                              ", " + mib_text(facts.cgroup_memory->free_bytes()) +
                              " free: room for " + std::to_string(*plan.cgroup_arenas) +
                              " arena(s)");
    }
    if (facts.cpu_quota) {
        char quota[64];
        std::snprintf(quota, sizeof quota, "%.2f",
                      static_cast<double>(facts.cpu_quota->quota_us) /
                          static_cast<double>(facts.cpu_quota->period_us));
        plan.limits.push_back(std::string("cgroup CPU quota ") + quota + " CPU(s): at most " +
                              std::to_string(facts.cpu_quota->whole_cpus()) +
                              " automatic thread(s)");
    }

    if (!cpus.empty()) {
        std::vector<int32_t> list = parse_cpu_list(cpus);
        if (list.empty()) {
            plan.refusal = "bad --cpus list";
            return plan;
        }
        for (int32_t cpu : list) {
            if (!contains(allowed, cpu)) {
                plan.refusal = "bad --cpus list: CPU " + std::to_string(cpu) +
                               " is not allowed (allowed: " + cpu_ranges_text(allowed) + ")";
                return plan;
            }
        }
        plan.pin_order = std::move(list);
        plan.threads = plan.best();
    } else {
        plan.pin_order = build_pin_order(usable, plan.intensity);
        plan.threads = requested > 0 ? requested : automatic_count(plan, facts, memory);
    }
    if (plan.intensity_automatic) {
        plan.intensity = largest_intensity(plan.threads, usable, memory, plan.cgroup_arenas);
    }
    return plan;
}

std::string cpu_ranges_text(const std::vector<int32_t>& cpus) {
    std::string text;
    for (size_t i = 0; i < cpus.size();) {
        size_t j = i;
        while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
        if (!text.empty()) text += ",";
        text += std::to_string(cpus[i]);
        if (j > i) {
            text += '-';
            text += std::to_string(cpus[j]);
        }
        i = j + 1;
    }
    return text.empty() ? "none" : text;
}

std::string placement_line_text(const char* engine_name, const ThreadPlan& plan) {
    std::string text = std::string("engine ") + engine_name + " \u00b7 " +
                       std::to_string(std::min(plan.best(), plan.arena_threads())) +
                       " thread(s) pinned by L3 size (best: " + std::to_string(plan.best()) +
                       ") \u00b7 " + std::to_string(plan.group_count) + " L3 group(s)";
    if (plan.allowed_cpus < plan.online_cpus) {
        text += " \u00b7 " + std::to_string(plan.allowed_cpus) + " of " +
                std::to_string(plan.online_cpus) + " CPUs allowed";
    }
    return text;
}

std::string auto_line_text(int32_t threads) {
    return std::to_string(threads) + " threads, override with -t <n>";
}

std::string single_arena_line_text() {
    return "intensity 1: the L3 and memory hold one arena per thread, override with "
           "--intensity <n>";
}

void report_plan(const char* engine_name, const ThreadPlan& plan, const ReportSink& report) {
    report({LineColour::gray, "cpu  ", placement_line_text(engine_name, plan)});
    if (plan.automatic) report({LineColour::gray, "auto ", auto_line_text(plan.threads)});
    if (plan.intensity_automatic && plan.intensity == 1) {
        report({LineColour::gray, "auto ", single_arena_line_text()});
    }
    for (const std::string& limit : plan.limits) report({LineColour::gray, "limit", limit});
}

}  // namespace orvo::qel
