#include "miner/topology.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <filesystem>
#include <thread>

#include "miner/cpu_list.h"
#include "miner/pin_order.h"
#include "miner/pin_thread.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::TempDir;
using test_support::write_file;
using Cpus = std::vector<int32_t>;

// One cpuN directory of a fake sysfs tree; a null text leaves that file out.
struct FakeCpu {
    int cpu;
    const char* siblings;  // topology/thread_siblings_list
    const char* l3_id;     // cache/index3/id
    const char* l3_size;   // cache/index3/size
};

void make_cpu(const std::string& root, const FakeCpu& c) {
    std::string dir = root + "/cpu" + std::to_string(c.cpu);
    std::filesystem::create_directories(dir + "/topology");
    std::filesystem::create_directories(dir + "/cache/index3");
    if (c.siblings)
        write_file(dir + "/topology/thread_siblings_list", std::string(c.siblings) + "\n");
    if (c.l3_id) write_file(dir + "/cache/index3/id", std::string(c.l3_id) + "\n");
    if (c.l3_size) write_file(dir + "/cache/index3/size", std::string(c.l3_size) + "\n");
}

// Two L3 domains of 8 cores with SMT: CPUs 0-7 and 8-15 are the first threads, 16-23 and 24-31
// their siblings (Linux numbers SMT siblings after all cores).
std::vector<FakeCpu> two_socket_machine(const char* l3_size, std::vector<std::string>& texts) {
    std::vector<FakeCpu> cpus;
    texts.reserve(64);
    for (int cpu = 0; cpu < 32; ++cpu) {
        int core = cpu % 16;
        texts.push_back(std::to_string(core) + "," + std::to_string(core + 16));
        cpus.push_back({cpu, texts.back().c_str(), core < 8 ? "0" : "1", l3_size});
    }
    return cpus;
}

struct ScanCase {
    const char* name;
    std::vector<FakeCpu> cpus;
    Cpus pin_order;
    size_t groups;
};

TEST(ScanTopology, FakeSysfsTrees) {
    std::vector<std::string> texts_a, texts_b;
    const ScanCase cases[] = {
        {"two groups of 32 MiB: four first threads each, interleaved",
         two_socket_machine("32768K", texts_a),
         {0, 8, 1, 9, 2, 10, 3, 11},
         2},
        {"two groups of 96 MiB: eight first threads, then four siblings each",
         two_socket_machine("96M", texts_b),
         {0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 16, 24, 17, 25, 18, 26, 19, 27},
         2},
        {"adjacent SMT numbering: first threads before siblings",
         {{0, "0-1", "0", "64M"},
          {1, "0-1", "0", "64M"},
          {2, "2-3", "0", "64M"},
          {3, "2-3", "0", "64M"}},
         {0, 2, 1, 3},
         1},
        {"a group of siblings only contributes its first two for 16 MiB",
         {{0, "0", "0", "8M"}, {1, "0", "1", "16M"}, {2, "0", "1", "16M"}, {3, "0", "1", "16M"}},
         {0, 1, 2},
         2},
        {"L3 below 8 MiB still gets one thread",
         {{0, "0", "0", "4096K"}, {1, "1", "0", "4096K"}},
         {0},
         1},
        {"no size file: cap is the number of first threads",
         {{0, "0-1", "0", nullptr},
          {1, "0-1", "0", nullptr},
          {2, "2-3", "0", nullptr},
          {3, "2-3", "0", nullptr}},
         {0, 2},
         1},
        {"no id file: group 0",
         {{0, "0", nullptr, "16M"}, {1, "1", "0", "16M"}, {2, "2", "5", "16M"}},
         {0, 2, 1},
         2},
        {"largest size of the group counts",
         {{0, "0", "0", "8M"}, {1, "1", "0", "24M"}, {2, "2", "0", "garbage"}, {3, "3", "0", "8M"}},
         {0, 1, 2},
         1},
        {"offline CPU (no topology file) is skipped, the scan goes on",
         {{0, "0", "0", "32M"}, {1, nullptr, "0", "32M"}, {2, "2", "0", "32M"}},
         {0, 2},
         1},
        {"unreadable siblings file is skipped",
         {{0, "0", "0", "32M"}, {1, "x", "0", "32M"}, {2, "2", "0", "32M"}},
         {0, 2},
         1},
        {"sizes: plain bytes, lower-case suffix means bytes",
         {{0, "0", "0", "16777216"},
          {1, "1", "0", "16777216"},
          {2, "2", "1", "64m"},
          {3, "3", "1", "64m"}},
         {0, 2, 1},
         2},
        {"empty tree", {}, {}, 0},
    };
    for (const auto& c : cases) {
        TempDir root;
        for (const auto& cpu : c.cpus) make_cpu(root.path(), cpu);
        L3Groups groups = scan_topology(root.path());
        EXPECT_EQ(groups.size(), c.groups) << c.name;
        EXPECT_EQ(build_pin_order(groups), c.pin_order) << c.name;
    }
}

TEST(ScanTopology, GroupContents) {
    TempDir root;
    std::vector<std::string> texts;
    for (const auto& cpu : two_socket_machine("32768K", texts)) make_cpu(root.path(), cpu);
    L3Groups groups = scan_topology(root.path());
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1].id, 1);
    EXPECT_EQ(groups[1].l3_bytes, 32 * 1024 * 1024);
    EXPECT_EQ(groups[1].first_threads, (Cpus{8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(groups[1].sibling_threads, (Cpus{24, 25, 26, 27, 28, 29, 30, 31}));
    EXPECT_EQ(groups[1].sibling_cores, (Cpus{8, 9, 10, 11, 12, 13, 14, 15}));
}

TEST(ScanTopology, StopsAtTheFirstMissingDirectory) {
    TempDir root;
    make_cpu(root.path(), {0, "0", "0", "32M"});
    make_cpu(root.path(), {2, "2", "0", "32M"});
    EXPECT_EQ(build_pin_order(scan_topology(root.path())), (Cpus{0}));
}

TEST(ScanTopology, ScansAtMost1024Cpus) {
    TempDir root;
    for (int cpu = 0; cpu < 1030; ++cpu) {
        std::string dir = root.path() + "/cpu" + std::to_string(cpu);
        std::filesystem::create_directories(dir + "/topology");
        write_file(dir + "/topology/thread_siblings_list", std::to_string(cpu));
    }
    L3Groups groups = scan_topology(root.path());
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].first_threads.size(), 1024u);
    EXPECT_EQ(groups[0].first_threads.back(), 1023);
}

TEST(ScanTopology, MissingSysfsGivesNoGroups) {
    EXPECT_TRUE(scan_topology("/nonexistent/sys/devices/system/cpu").empty());
    EXPECT_TRUE(build_pin_order({}).empty());
}

TEST(BuildPinOrder, InterleavesGroupsOfDifferentLengths) {
    L3Groups groups;
    groups[3] = {3, 40LL << 20, {20, 21, 22, 23, 24, 25}, {}, {}};  // cap 5
    groups[-1] = {-1, 16LL << 20, {0, 1, 2}, {}, {}};               // cap 2
    groups[7] = {7, 0, {30}, {31, 32}, {30, 30}};                   // cap 1 (first threads)
    EXPECT_EQ(build_pin_order(groups), (Cpus{0, 20, 30, 1, 21, 22, 23, 24}));
}

TEST(ParseCpuList, Grammar) {
    struct Case {
        const char* text;
        Cpus expected;
    };
    const Case cases[] = {
        {"0-3,8", {0, 1, 2, 3, 8}},
        {"3-1", {}},
        {"3-1,4", {4}},
        {"-1", {-1}},
        {"5-", {5}},
        {"5-x", {5}},
        {"1 -3", {1}},
        {" 1- 3", {1, 2, 3}},
        {"-3--1", {-3, -2, -1}},
        {"7x", {7}},
        {"", {}},
        {",", {}},
        {"1,,2,", {1, 2}},
        {"a,2", {2}},
        {"x-3", {}},
        {"2,2,1", {2, 2, 1}},
        {"4-4", {4}},
        {"2147483647", {2147483647}},
        {"-2147483648", {-2147483648}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_cpu_list(c.text), c.expected) << c.text;
}

TEST(ParseCpuList, LengthIsBoundedAtMaxCpusScanned) {
    EXPECT_EQ(parse_cpu_list("0-1023").size(), 1024u);
    EXPECT_EQ(parse_cpu_list("0-511,512-1023").size(), 1024u);
    const char* too_long[] = {
        "0-1024",      "0-1023,5",      "0-2147483647",  "-2147483648-2147483647", "1,0-1023",
        "99999999999", "1,99999999999", "5-99999999999", "-99999999999-1",
    };
    for (const char* text : too_long) EXPECT_TRUE(parse_cpu_list(text).empty()) << text;

    std::string many;
    for (int i = 0; i < 1025; ++i) many += "0,";
    EXPECT_TRUE(parse_cpu_list(many).empty());
    many.resize(many.size() - 2);  // 1024 entries
    EXPECT_EQ(parse_cpu_list(many).size(), 1024u);
}

Cpus affinity_of_this_thread() {
    cpu_set_t set;
    CPU_ZERO(&set);
    Cpus cpus;
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return cpus;
    for (size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) cpus.push_back(static_cast<int32_t>(cpu));
    }
    return cpus;
}

TEST(PinCurrentThread, BindsOnlyTheCallingThreadAndSaysWhetherItDid) {
    Cpus before = affinity_of_this_thread();
    ASSERT_FALSE(before.empty());
    int32_t target = before.back();
    Cpus pinned, after_negative, after_too_large;
    bool negative = true, too_large = true, accepted = false;
    std::thread worker([&] {
        negative = pin_current_thread(-1);
        after_negative = affinity_of_this_thread();
        too_large = pin_current_thread(5000);
        after_too_large = affinity_of_this_thread();
        accepted = pin_current_thread(target);
        pinned = affinity_of_this_thread();
    });
    worker.join();
    EXPECT_FALSE(negative);
    EXPECT_FALSE(too_large);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(after_negative, before);
    EXPECT_EQ(after_too_large, before);
    EXPECT_EQ(pinned, (Cpus{target}));
    EXPECT_EQ(affinity_of_this_thread(), before);
}

}  // namespace
}  // namespace orvo::qel
