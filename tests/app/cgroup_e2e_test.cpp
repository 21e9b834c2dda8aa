// The real binary under real kernel limits: a CPU mask (taskset), a cpuset, a memory limit and
// a CPU quota, each in a cgroup v1 of the test's own, made below the test's cgroup and removed
// afterwards. Needs root and the v1 hierarchies under /sys/fs/cgroup; skipped otherwise.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/session.h"
#include "app/session_run.h"
#include "app/startup.h"
#include "base/console.h"
#include "miner/arena_gate.h"
#include "support/console_capture.h"
#include "support/process.h"
#include "support/standin_pool.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::read_file;
using test_support::run_process;

// The directory of this process's cgroup in the v1 hierarchy of `controller`, as
// /proc/self/cgroup names it; empty when there is none.
std::string own_v1_cgroup(const std::string& controller) {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const size_t a = line.find(':');
        const size_t b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        std::stringstream list(line.substr(a + 1, b - a - 1));
        std::string item;
        while (std::getline(list, item, ',')) {
            if (item != controller) continue;
            std::string path = line.substr(b + 1);
            if (path == "/") path.clear();
            return "/sys/fs/cgroup/" + controller + path;
        }
    }
    return "";
}

// A cgroup of the test's own below its current one; removed (once the child has gone) on
// destruction. `skip` says why none could be made.
class OwnCgroup {
  public:
    OwnCgroup(const std::string& controller, const char* v1_file) {
        if (geteuid() != 0) {
            skip = "needs root to create cgroups";
            return;
        }
        const std::string parent = own_v1_cgroup(controller);
        if (parent.empty() || access((parent + "/" + v1_file).c_str(), F_OK) != 0) {
            skip = "no cgroup v1 " + controller + " hierarchy under /sys/fs/cgroup";
            return;
        }
        dir = parent + "/mintrakel-test-" + std::to_string(getpid());
        if (mkdir(dir.c_str(), 0755) != 0) {
            skip = "cannot create " + dir + ": " + std::strerror(errno);
            dir.clear();
        }
    }
    ~OwnCgroup() {
        if (dir.empty()) return;
        // The last task leaves the cgroup a moment after its parent has reaped it.
        for (int i = 0; i < 100 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }
    OwnCgroup(const OwnCgroup&) = delete;
    OwnCgroup& operator=(const OwnCgroup&) = delete;

    bool set(const std::string& file, const std::string& value) const {
        std::ofstream out(dir + "/" + file);
        out << value << "\n";
        out.flush();
        return static_cast<bool>(out);
    }
    // The command line that runs `argv` inside this cgroup.
    std::vector<std::string> run(std::vector<std::string> argv) const {
        argv.insert(argv.begin(),
                    {"/bin/sh", "-c", "echo $$ > '" + dir + "/cgroup.procs' && exec \"$@\"", "sh"});
        return argv;
    }

    std::string dir;
    std::string skip;
};

std::vector<std::string> bench(std::vector<std::string> extra) {
    std::vector<std::string> argv{MINTRAKEL_BINARY, "--no-color", "-o",
                                  "127.0.0.1:9",    "--bench",    "2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

bool cpu1_usable() {
    return std::thread::hardware_concurrency() >= 2 &&
           read_file("/sys/devices/system/cpu/online") != "0\n";
}

// Cpus_allowed_list of every thread of `pid`.
std::vector<std::string> thread_masks(pid_t pid) {
    std::vector<std::string> masks;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return masks;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream status(tasks + "/" + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("Cpus_allowed_list:")) masks.push_back(line.substr(18));
        }
    }
    closedir(dir);
    return masks;
}

// The automatic run uses one thread that stays on CPU 1, and --cpus 0 is a bad list.
void expect_confined_to_cpu1(const std::vector<std::string>& automatic,
                             const std::vector<std::string>& cpus0) {
    BackgroundProcess b(automatic);
    ASSERT_TRUE(b.wait_for_output(" pages ", 20s)) << b.stdout_text() << b.stderr_text();
    const std::vector<std::string> masks = thread_masks(b.pid());
    const auto r = b.wait(20s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_GE(masks.size(), 2u);  // main, one hashing thread (and a sanitizer's own thread)
    for (const std::string& mask : masks) EXPECT_EQ(mask, "\t1");
    EXPECT_NE(r.out.find("Argon2id 8 MiB · 1 thread · "), std::string::npos) << r.out;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex(" 1 thread\\(s\\) pinned by L3 size \\(best: 1\\) · 1 "
                                            "L3 group\\(s\\) · 1 of [0-9]+ CPUs allowed\n")))
        << r.out;
    EXPECT_NE(r.out.find("\n bench 1 threads: "), std::string::npos) << r.out;

    const auto refused = run_process(cpus0, 20s);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.err, "bad --cpus list: CPU 0 is not allowed (allowed: 1)\n");
}

// Without root: a plan whose memory room holds one arena of three threads starts one thread;
// the other two are reported like threads without an arena and the benchmark measures the one.
// Its pin is refused (no machine has CPU 4095): the pin line counts it among the started ones.
TEST(MemoryRoom, ThreadsBeyondItAreNotStarted) {
    RunConfig config;
    config.bench_seconds = 1;
    config.color = false;
    set_console_palette(false);
    std::optional<InstalledEngine> engine = select_engine(config);
    ASSERT_TRUE(engine);
    ThreadPlan plan;
    plan.threads = 3;
    plan.cgroup_arenas = 1;
    plan.pin_order = {4095, 0};
    int code = -1;
    RunControl control;
    const std::string out =
        test_support::capture_console([&] { code = run_session(config, *engine, plan, control); });
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find(" mem   2 thread(s) stopped: not enough memory for an 8 MiB arena\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" check known answer matched on 1 of 1 thread(s)\n bench 1 threads: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" cpu   0 of 1 thread(s) pinned: the kernel refused 1 pin(s)\n"),
              std::string::npos)
        << out;
}

// A mining plan of four threads whose memory room holds one arena: the one thread started
// walks the whole range, not every fourth nonce of it.
TEST(MemoryRoom, TheStartedThreadsSplitTheWholeRange) {
    test_support::StandinPool pool({"--target", std::string(64, 'f'), "--nonce-span", "100",
                                    "--job-interval", "0", "--seed", "7"});
    ASSERT_FALSE(pool.endpoint().empty());
    ThreadPlan plan;
    plan.threads = 4;
    plan.cgroup_arenas = 1;
    test_support::SessionRun run(test_support::mining_config({pool.endpoint()}, 4),
                                 test_support::stand_in_engine(), plan);
    pool.wait_for_submits(100, 10s);
    EXPECT_EQ(run.stop(), 0);
    EXPECT_EQ(pool.submits(), 100u) << run.output();
}

TEST(KernelLimits, TasksetMask) {
    if (!cpu1_usable()) GTEST_SKIP() << "needs CPUs 0 and 1";
    auto under_taskset = [](std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/bin/sh", "-c", "exec taskset -c 1 \"$@\"", "sh"});
        return argv;
    };
    expect_confined_to_cpu1(under_taskset(bench({})), under_taskset(bench({"--cpus", "0"})));
}

TEST(KernelLimits, CpusetOfCpu1) {
    if (!cpu1_usable()) GTEST_SKIP() << "needs CPUs 0 and 1";
    OwnCgroup cgroup("cpuset", "cpuset.cpus");
    if (!cgroup.skip.empty()) GTEST_SKIP() << cgroup.skip;
    const std::string parent_mems =
        read_file(cgroup.dir.substr(0, cgroup.dir.rfind('/')) + "/cpuset.mems");
    if (!cgroup.set("cpuset.cpus", "1") ||
        !cgroup.set("cpuset.mems", parent_mems.substr(0, parent_mems.find('\n')))) {
        GTEST_SKIP() << "the test's own cpuset does not hold CPU 1";
    }
    expect_confined_to_cpu1(cgroup.run(bench({})), cgroup.run(bench({"--cpus", "0"})));
}

// More threads than the limit holds: those that do not fit are reported, the others measure,
// and the kernel kills nothing.
TEST(KernelLimits, MemoryLimitOf40MiB) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer runtimes need far more memory than the limit";
#endif
    OwnCgroup cgroup("memory", "memory.limit_in_bytes");
    if (!cgroup.skip.empty()) GTEST_SKIP() << cgroup.skip;
    ASSERT_TRUE(cgroup.set("memory.limit_in_bytes", "41943040"));
    const auto r = run_process(cgroup.run(bench({"-t", "8"})), 30s);
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\n limit cgroup memory limit 40 MiB, "), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("\n mem   [1-7] thread\\(s\\) stopped: not enough memory for an 8 MiB "
                          "arena\n")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n bench [1-7] threads: [0-9.]+ H/s over")))
        << r.out;
    EXPECT_NE(read_file(cgroup.dir + "/memory.oom_control").find("oom_kill 0"), std::string::npos);
}

// The child half of the next test, in a memory cgroup of its own: maps one arena through the
// real limits, lowers its cgroup's limit to 4 MiB above what it uses, and asks for one more.
TEST(ArenaGateChild, LimitLoweredBetweenArenas) {
    if (std::getenv("MINTRAKEL_ARENA_ROOM_CHILD") == nullptr) {
        GTEST_SKIP() << "run by KernelLimits.MemoryLimitLoweredAfterThePlan";
    }
    const std::string dir = own_v1_cgroup("memory");
    ArenaGate room;
    Arena first, second;
    ASSERT_TRUE(room.map_if_it_fits(first, map_arena));
    const int64_t usage = std::stoll(read_file(dir + "/memory.usage_in_bytes"));
    std::ofstream(dir + "/memory.limit_in_bytes") << usage + 4 * 1024 * 1024 << "\n";
    const bool mapped = room.map_if_it_fits(second, map_arena);
    if (mapped) std::memset(second.base, 1, ARENA_BYTES);  // as the first hash would
    EXPECT_FALSE(mapped);
    unmap_arena(second);
    unmap_arena(first);
}

// A limit lowered after the plan was made stops the next arena; the kernel kills nothing.
TEST(KernelLimits, MemoryLimitLoweredAfterThePlan) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer runtimes need far more memory than the limit";
#endif
    if (read_meminfo().huge_free_pages > 0) GTEST_SKIP() << "reserved huge pages are not charged";
    OwnCgroup cgroup("memory", "memory.limit_in_bytes");
    if (!cgroup.skip.empty()) GTEST_SKIP() << cgroup.skip;
    ASSERT_TRUE(cgroup.set("memory.limit_in_bytes", "268435456"));
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const auto r = run_process(cgroup.run({self, "--gtest_filter=ArenaGateChild.*"}), 30s,
                               {"MINTRAKEL_ARENA_ROOM_CHILD=1"});
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
    EXPECT_NE(read_file(cgroup.dir + "/memory.oom_control").find("oom_kill 0"), std::string::npos);
}

TEST(KernelLimits, CpuQuotaOfOneCpu) {
    if (!cpu1_usable()) GTEST_SKIP() << "needs two CPUs to show the quota";
    OwnCgroup cgroup("cpu", "cpu.cfs_quota_us");
    if (!cgroup.skip.empty()) GTEST_SKIP() << cgroup.skip;
    ASSERT_TRUE(cgroup.set("cpu.cfs_period_us", "100000"));
    ASSERT_TRUE(cgroup.set("cpu.cfs_quota_us", "100000"));
    const auto r = run_process(cgroup.run(bench({})), 30s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Argon2id 8 MiB · 1 thread · "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n auto  1 threads, override with -t <n>\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n limit cgroup CPU quota 1.00 CPU(s): at most 1 automatic thread(s)\n"),
              std::string::npos)
        << r.out;
}

}  // namespace
}  // namespace orvo::qel
