// The thread plan for a table of machines, each a fake sysfs, meminfo and cgroup tree with a
// fixed CPU mask, read through the same seam the miner reads the real machine with.
#include "miner/thread_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::TempDir;
using test_support::write_file;
using Cpus = std::vector<int32_t>;
using Files = std::vector<std::pair<std::string, std::string>>;  // path below the root, text

// `groups` L3 domains of `cores` cores each; first threads are numbered group by group, and with
// SMT their siblings follow all of them (as Linux numbers them).
struct Topology {
    int groups;
    int cores;
    bool smt;
    const char* l3_size;
};

void write_topology(const std::string& root, const Topology& t) {
    const int total = t.groups * t.cores;
    for (int cpu = 0; cpu < total * (t.smt ? 2 : 1); ++cpu) {
        const int core = cpu % total;
        const std::string dir = root + "/sys/devices/system/cpu/cpu" + std::to_string(cpu);
        std::filesystem::create_directories(dir + "/topology");
        std::filesystem::create_directories(dir + "/cache/index3");
        write_file(dir + "/topology/thread_siblings_list",
                   t.smt ? std::to_string(core) + "," + std::to_string(core + total) + "\n"
                         : std::to_string(core) + "\n");
        write_file(dir + "/cache/index3/id", std::to_string(core / t.cores) + "\n");
        write_file(dir + "/cache/index3/size", std::string(t.l3_size) + "\n");
    }
}

const Topology ONE_L3_SMT{1, 8, true, "32768K"};   // cap 4: CPUs 0-7, siblings 8-15
const Topology TWO_L3_SMT{2, 8, true, "32768K"};   // cap 4 each: 0-7 | 8-15, siblings 16-31
const Topology BIG_L3_SMT{1, 8, true, "98304K"};   // cap 12: 8 first threads, 4 siblings
const Topology SMALL_MACHINE{1, 2, false, "16M"};  // CPUs 0 and 1
const Topology NO_SYSFS{0, 0, false, "0"};

// Plenty of memory, no reserved huge pages: the host budget never decides.
const char* const MEMINFO =
    "MemTotal: 67108864 kB\nMemAvailable: 67108864 kB\n"
    "HugePages_Free: 0\nHugepagesize: 2048 kB\n";

// Mount tables as a Debian host with the v1/v2 hybrid, a pure v2 host, and a container that
// sees its own cgroup as the root of each hierarchy.
const char* const V1_MOUNTS =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:7 - cgroup cgroup rw,cpu,cpuacct\n"
    "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
const char* const V2_MOUNTS = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const char* const CONTAINER_V1_MOUNTS =
    "612 600 0:32 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"
    "613 600 0:29 /docker/abc /sys/fs/cgroup/cpu\\040time ro - cgroup cgroup rw,cpu,cpuacct\n";

constexpr int64_t MiB = 1024 * 1024;
std::string bytes(int64_t n) {
    return std::to_string(n);
}

// A process in /<path> of both v1 hierarchies, with the given files below them.
Files v1(const std::string& path, Files files) {
    files.insert(files.begin(), {{"proc/self/mountinfo", V1_MOUNTS},
                                 {"proc/self/cgroup", "9:name=systemd:/\n4:memory:" + path +
                                                          "\n2:cpu,cpuacct:" + path + "\n0::/\n"}});
    return files;
}
Files v2(const std::string& path, Files files) {
    files.insert(files.begin(),
                 {{"proc/self/mountinfo", V2_MOUNTS}, {"proc/self/cgroup", "0::" + path + "\n"}});
    return files;
}

struct Expected {
    int32_t threads;
    bool automatic;
    CountCap decided_by;
    Cpus pin_order;
    std::optional<int32_t> cgroup_arenas = std::nullopt;
    std::string refusal = "";
    int32_t intensity = 1;  // arenas per thread: the --intensity asked for, or the candidate
};

struct Machine {
    const char* name;
    const Topology* topology;
    std::optional<Cpus> allowed;  // nothing: the mask cannot be read
    Files files;
    int32_t t;
    const char* cpus;
    Expected plan;
    int32_t intensity = 0;  // --intensity; 0: automatic
};

// The sysfs tree of each topology, written once for all the machines that share it.
const std::string& sysfs_of(const Topology* topology) {
    static std::map<const Topology*, std::unique_ptr<TempDir>> trees;
    auto& tree = trees[topology];
    if (!tree) {
        tree = std::make_unique<TempDir>();
        write_topology(tree->path(), *topology);
    }
    return tree->path();
}

ThreadPlan plan_for(const Machine& m) {
    TempDir root;
    std::filesystem::create_directories(root.file("proc/self"));
    write_file(root.file("proc/meminfo"), MEMINFO);
    for (const auto& [path, text] : m.files) {
        std::filesystem::create_directories(std::filesystem::path(root.file(path)).parent_path());
        write_file(root.file(path), text);
    }
    MachinePaths paths;
    paths.sysfs_cpu_root = sysfs_of(m.topology) + "/sys/devices/system/cpu";
    paths.meminfo = root.file("proc/meminfo");
    paths.cgroup = {root.file("proc/self/cgroup"), root.file("proc/self/mountinfo"), root.path()};
    paths.allowed_cpus = [&] { return m.allowed; };
    return plan_threads(read_machine_facts(paths), m.t, m.cpus, m.intensity);
}

TEST(PlanThreads, TableOfMachines) {
    const Cpus all16 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::string mg = "/sys/fs/cgroup/memory";
    const std::string cg = "/sys/fs/cgroup/cpu,cpuacct";
    const Machine machines[] = {
        // Topology and CPU masks.
        {"one L3 group, no limits",
         &ONE_L3_SMT,
         all16,
         {},
         0,
         "",
         {4, true, CountCap::l3, {0, 1, 2, 3}}},
        {"two L3 groups, interleaved",
         &TWO_L3_SMT,
         std::nullopt,
         {},
         0,
         "",
         {8, true, CountCap::l3, {0, 8, 1, 9, 2, 10, 3, 11}}},
        {"big L3: first threads, then siblings",
         &BIG_L3_SMT,
         std::nullopt,
         {},
         0,
         "",
         {12, true, CountCap::l3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}},
        {"mask cuts the first group to two CPUs",
         &TWO_L3_SMT,
         Cpus{0, 1, 8, 9, 10, 11, 12, 13, 14, 15},
         {},
         0,
         "",
         {6, true, CountCap::l3, {0, 8, 1, 9, 10, 11}}},
        {"mask of one SMT sibling",
         &ONE_L3_SMT,
         Cpus{12},
         {},
         0,
         "",
         {1, true, CountCap::l3, {12}, std::nullopt, "", 4}},
        // 9 is the sibling of allowed CPU 1; 10 and 11 are the only allowed threads of their
        // cores, so they come before 9 in the four places the L3 has.
        {"lone siblings stand in for their cores, a paired one waits",
         &ONE_L3_SMT,
         Cpus{0, 1, 9, 10, 11, 12},
         {},
         0,
         "",
         {4, true, CountCap::l3, {0, 1, 10, 11}}},
        {"-t beyond the mask: the rest unpinned",
         &ONE_L3_SMT,
         Cpus{12},
         {},
         3,
         "",
         {3, false, CountCap::requested, {12}}},
        {"--cpus inside the mask",
         &SMALL_MACHINE,
         Cpus{1},
         {},
         4,
         "1,1",
         {2, false, CountCap::requested, {1, 1}}},
        {"--cpus outside the mask",
         &SMALL_MACHINE,
         Cpus{1},
         {},
         0,
         "0",
         {0,
          false,
          CountCap::requested,
          {},
          std::nullopt,
          "bad --cpus list: CPU 0 is not allowed (allowed: 1)"}},
        {"--cpus of an offline CPU",
         &SMALL_MACHINE,
         std::nullopt,
         {},
         0,
         "1,5",
         {0,
          false,
          CountCap::requested,
          {},
          std::nullopt,
          "bad --cpus list: CPU 5 is not allowed (allowed: 0-1)"}},
        {"--cpus without a CPU",
         &SMALL_MACHINE,
         std::nullopt,
         {},
         0,
         "x",
         {0, false, CountCap::requested, {}, std::nullopt, "bad --cpus list"}},
        // Memory.
        {"host memory budget",
         &BIG_L3_SMT,
         std::nullopt,
         {{"proc/meminfo", "MemAvailable: 1600000 kB\nHugePages_Free: 0\nHugepagesize: 2048 kB\n"}},
         0,
         "",
         {3, true, CountCap::memory, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}},
        {"v1 memory limit of 40 MiB",
         &BIG_L3_SMT,
         std::nullopt,
         v1("/pod", {{mg + "/pod/memory.limit_in_bytes", bytes(40 * MiB)},
                     {mg + "/pod/memory.usage_in_bytes", bytes(1 * MiB)}}),
         0,
         "",
         {4, true, CountCap::cgroup_memory, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 4}},
        {"v1 memory limit with -t 8: only 4 arenas",
         &BIG_L3_SMT,
         std::nullopt,
         v1("/pod", {{mg + "/pod/memory.limit_in_bytes", bytes(40 * MiB)},
                     {mg + "/pod/memory.usage_in_bytes", bytes(1 * MiB)}}),
         8,
         "",
         {8, false, CountCap::requested, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 4}},
        {"v1 parent limit binds the child",
         &BIG_L3_SMT,
         std::nullopt,
         v1("/a/b", {{mg + "/a/memory.limit_in_bytes", bytes(30 * MiB)},
                     {mg + "/a/memory.usage_in_bytes", bytes(0)},
                     {mg + "/a/b/memory.limit_in_bytes", "9223372036854771712"}}),
         0,
         "",
         {2, true, CountCap::cgroup_memory, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 2}},
        {"v1 unlimited",
         &BIG_L3_SMT,
         std::nullopt,
         v1("/", {{mg + "/memory.limit_in_bytes", "9223372036854771712"}}),
         0,
         "",
         {12, true, CountCap::l3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}},
        {"v1 limit with free reserved huge pages",
         &SMALL_MACHINE,
         std::nullopt,
         v1("/pod", {{"proc/meminfo",
                      "MemAvailable: 67108864 kB\nHugePages_Free: 8\nHugepagesize: 2048 kB\n"},
                     {mg + "/pod/memory.limit_in_bytes", bytes(16 * MiB)}}),
         0,
         "",
         {2, true, CountCap::l3, {0, 1}, 3}},
        {"v2 nested: the pod's room is the smallest",
         &BIG_L3_SMT,
         std::nullopt,
         v2("/kubepods/pod1/ctr", {{"sys/fs/cgroup/kubepods/memory.max", bytes(1024 * MiB)},
                                   {"sys/fs/cgroup/kubepods/memory.current", bytes(100 * MiB)},
                                   {"sys/fs/cgroup/kubepods/pod1/memory.max", bytes(256 * MiB)},
                                   {"sys/fs/cgroup/kubepods/pod1/memory.current", bytes(200 * MiB)},
                                   {"sys/fs/cgroup/kubepods/pod1/ctr/memory.max", "max"}}),
         0,
         "",
         {6, true, CountCap::cgroup_memory, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 6}},
        {"v2 memory.high below memory.max",
         &BIG_L3_SMT,
         std::nullopt,
         v2("/svc", {{"sys/fs/cgroup/svc/memory.max", bytes(512 * MiB)},
                     {"sys/fs/cgroup/svc/memory.high", bytes(24 * MiB)}}),
         0,
         "",
         {2, true, CountCap::cgroup_memory, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 2}},
        {"v2 max everywhere",
         &BIG_L3_SMT,
         std::nullopt,
         v2("/svc", {{"sys/fs/cgroup/svc/memory.max", "max"}}),
         0,
         "",
         {12, true, CountCap::l3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}},
        {"unreadable cgroup files",
         &BIG_L3_SMT,
         std::nullopt,
         v2("/svc",
            {{"sys/fs/cgroup/svc/memory.max", "lots"}, {"sys/fs/cgroup/svc/cpu.max", "\n"}}),
         0,
         "",
         {12, true, CountCap::l3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}},
        {"no /proc/self/cgroup",
         &BIG_L3_SMT,
         std::nullopt,
         {{"proc/self/mountinfo", V2_MOUNTS}, {"sys/fs/cgroup/memory.max", bytes(20 * MiB)}},
         0,
         "",
         {12, true, CountCap::l3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}},
        {"too little room for one arena",
         &SMALL_MACHINE,
         std::nullopt,
         v2("/", {{"sys/fs/cgroup/memory.max", bytes(12 * MiB)}}),
         0,
         "",
         {1, true, CountCap::cgroup_memory, {0, 1}, 0}},
        {"container sees its own cgroup as the mount's root",
         &BIG_L3_SMT,
         std::nullopt,
         {{"proc/self/mountinfo", CONTAINER_V1_MOUNTS},
          {"proc/self/cgroup", "4:memory:/docker/abc\n2:cpu,cpuacct:/docker/abc\n"},
          {mg + "/memory.limit_in_bytes", bytes(48 * MiB)},
          {"sys/fs/cgroup/cpu time/cpu.cfs_quota_us", "200000"},
          {"sys/fs/cgroup/cpu time/cpu.cfs_period_us", "100000"}},
         0,
         "",
         {2, true, CountCap::cpu_quota, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 5, "", 2}},
        // CPU quota.
        {"v2 quota of 1.5 CPUs",
         &BIG_L3_SMT,
         std::nullopt,
         v2("/svc", {{"sys/fs/cgroup/svc/cpu.max", "150000 100000"}}),
         0,
         "",
         {2,
          true,
          CountCap::cpu_quota,
          {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
          std::nullopt,
          "",
          4}},
        {"v2 quota in the parent",
         &TWO_L3_SMT,
         std::nullopt,
         v2("/a/b", {{"sys/fs/cgroup/a/cpu.max", "300000 100000"},
                     {"sys/fs/cgroup/a/b/cpu.max", "max 100000"}}),
         0,
         "",
         {3, true, CountCap::cpu_quota, {0, 8, 1, 9, 2, 10, 3, 11}, std::nullopt, "", 2}},
        {"v1 quota above the CPU count",
         &ONE_L3_SMT,
         std::nullopt,
         v1("/", {{cg + "/cpu.cfs_quota_us", "3200000"}, {cg + "/cpu.cfs_period_us", "100000"}}),
         0,
         "",
         {4, true, CountCap::l3, {0, 1, 2, 3}}},
        {"v1 quota of -1 is none",
         &ONE_L3_SMT,
         std::nullopt,
         v1("/", {{cg + "/cpu.cfs_quota_us", "-1"}, {cg + "/cpu.cfs_period_us", "100000"}}),
         0,
         "",
         {4, true, CountCap::l3, {0, 1, 2, 3}}},
        {"v1 quota with -t",
         &ONE_L3_SMT,
         std::nullopt,
         v1("/", {{cg + "/cpu.cfs_quota_us", "100000"}, {cg + "/cpu.cfs_period_us", "100000"}}),
         6,
         "",
         {6, false, CountCap::requested, {0, 1, 2, 3}}},
        {"v1 quota with --cpus",
         &ONE_L3_SMT,
         std::nullopt,
         v1("/", {{cg + "/cpu.cfs_quota_us", "100000"}, {cg + "/cpu.cfs_period_us", "100000"}}),
         0,
         "4-6",
         {3, false, CountCap::requested, {4, 5, 6}}},
        {"no sysfs, a mask: one unpinned thread",
         &NO_SYSFS,
         Cpus{0, 1},
         {},
         0,
         "",
         {1, true, CountCap::l3, {}}},
        // Arenas: every limit counts threads x intensity.
        {"--intensity 2: the L3 of 4 arenas pins two threads",
         &ONE_L3_SMT,
         std::nullopt,
         {},
         0,
         "",
         {2, true, CountCap::l3, {0, 1}, std::nullopt, "", 2},
         2},
        {"--intensity 4 on 12 L3 arenas: three threads",
         &BIG_L3_SMT,
         std::nullopt,
         {},
         0,
         "",
         {3, true, CountCap::l3, {0, 1, 2}, std::nullopt, "", 4},
         4},
        {"--intensity 2, memory for 3 arenas: one thread",
         &BIG_L3_SMT,
         std::nullopt,
         {{"proc/meminfo", "MemAvailable: 1600000 kB\nHugePages_Free: 0\nHugepagesize: 2048 kB\n"}},
         0,
         "",
         {1, true, CountCap::memory, {0, 1, 2, 3, 4, 5}, std::nullopt, "", 2},
         2},
        {"--intensity 2, cgroup room for 4 arenas: two threads",
         &BIG_L3_SMT,
         std::nullopt,
         v1("/pod", {{mg + "/pod/memory.limit_in_bytes", bytes(40 * MiB)},
                     {mg + "/pod/memory.usage_in_bytes", bytes(1 * MiB)}}),
         0,
         "",
         {2, true, CountCap::cgroup_memory, {0, 1, 2, 3, 4, 5}, 4, "", 2},
         2},
        {"automatic intensity: -t 1 beside an L3 of 2 arenas",
         &SMALL_MACHINE,
         std::nullopt,
         {},
         1,
         "",
         {1, false, CountCap::requested, {0, 1}, std::nullopt, "", 2}},
        {"automatic intensity: -t 1 with memory for 3 arenas",
         &BIG_L3_SMT,
         std::nullopt,
         {{"proc/meminfo", "MemAvailable: 1600000 kB\nHugePages_Free: 0\nHugepagesize: 2048 kB\n"}},
         1,
         "",
         {1,
          false,
          CountCap::requested,
          {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
          std::nullopt,
          "",
          3}},
        {"automatic intensity: never above the most a thread carries",
         &BIG_L3_SMT,
         std::nullopt,
         {},
         0,
         "0",
         {1, false, CountCap::requested, {0}, std::nullopt, "", MAX_INTENSITY}},
    };
    for (const Machine& m : machines) {
        SCOPED_TRACE(m.name);
        const ThreadPlan plan = plan_for(m);
        EXPECT_EQ(plan.refusal, m.plan.refusal);
        if (!m.plan.refusal.empty()) continue;
        EXPECT_EQ(plan.threads, m.plan.threads);
        EXPECT_EQ(plan.automatic, m.plan.automatic);
        EXPECT_EQ(plan.decided_by, m.plan.decided_by);
        EXPECT_EQ(plan.pin_order, m.plan.pin_order);
        EXPECT_EQ(plan.cgroup_arenas, m.plan.cgroup_arenas);
        EXPECT_EQ(plan.intensity, m.plan.intensity);
        EXPECT_EQ(plan.intensity_automatic, m.intensity == 0);
    }
}

TEST(PlanThreads, ArenaThreadsAndPlacementLine) {
    ThreadPlan plan;
    plan.threads = 8;
    plan.pin_order = {0, 8, 1, 9, 2, 10, 3, 11};
    plan.group_count = 2;
    plan.online_cpus = 64;
    plan.allowed_cpus = 64;
    EXPECT_EQ(plan.arena_threads(), 8);
    EXPECT_EQ(placement_line_text("avx512", plan),
              "engine avx512 \u00b7 8 thread(s) pinned by L3 size (best: 8) \u00b7 2 L3 group(s)");
    // Threads without an arena are never started, so they are not counted as pinned.
    plan.cgroup_arenas = 3;
    plan.allowed_cpus = 8;
    EXPECT_EQ(plan.arena_threads(), 3);
    EXPECT_EQ(placement_line_text("avx2", plan),
              "engine avx2 \u00b7 3 thread(s) pinned by L3 size (best: 8) \u00b7 2 L3 group(s) "
              "\u00b7 8 of 64 CPUs allowed");
    plan.intensity = 2;  // room for 3 arenas holds one thread's two
    EXPECT_EQ(plan.arena_threads(), 1);
    plan.cgroup_arenas = -1;
    EXPECT_EQ(plan.arena_threads(), 0);
    EXPECT_EQ(auto_line_text(5), "5 threads, override with -t <n>");
}

TEST(PlanThreads, LimitLinesNameWhatTheyAllow) {
    MachineFacts facts;
    facts.meminfo = {67108864, 0, 2048};
    facts.cgroup_memory = CgroupMemory{40 * MiB, 2 * MiB};
    facts.cpu_quota = CpuQuota{150000, 100000};
    const ThreadPlan plan = plan_threads(facts, 0, "");
    EXPECT_EQ(plan.limits,
              (std::vector<std::string>{"cgroup memory limit 40 MiB, 38 MiB free: room for 3 "
                                        "arena(s)",
                                        "cgroup CPU quota 1.50 CPU(s): at most 2 automatic "
                                        "thread(s)"}));
    MachineFacts no_memory;
    no_memory.groups[0] = {0, 32 * MiB, {0, 1, 2, 3}, {}, {}};
    EXPECT_EQ(plan_threads(no_memory, 0, "").limits,
              (std::vector<std::string>{"available memory: room for 0 arena(s) beside the 1536 "
                                        "MiB kept for the system"}));
}

TEST(CpuRangesText, CompressesRuns) {
    const std::pair<Cpus, const char*> cases[] = {
        {{}, "none"}, {{1}, "1"}, {{0, 1, 2, 3, 8, 10, 11}, "0-3,8,10-11"}, {{0, 2, 4}, "0,2,4"}};
    for (const auto& [cpus, text] : cases) EXPECT_EQ(cpu_ranges_text(cpus), text);
}

TEST(CpuQuota, WholeCpusRoundUp) {
    const std::pair<CpuQuota, int32_t> cases[] = {{{100000, 100000}, 1}, {{100001, 100000}, 2},
                                                  {{50000, 100000}, 1},  {{150000, 100000}, 2},
                                                  {{1000, 1000000}, 1},  {{0, 100000}, 1}};
    for (const auto& [quota, cpus] : cases) {
        EXPECT_EQ(quota.whole_cpus(), cpus) << quota.quota_us << "/" << quota.period_us;
    }
}

TEST(ReadAllowedCpus, MatchesThisThreadsMask) {
    const std::optional<Cpus> cpus = read_allowed_cpus();
    ASSERT_TRUE(cpus);
    ASSERT_FALSE(cpus->empty());
    EXPECT_TRUE(std::is_sorted(cpus->begin(), cpus->end()));
}

}  // namespace
}  // namespace orvo::qel
