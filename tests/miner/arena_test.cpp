#include "miner/arena.h"
#include "miner/arena_gate.h"
#include "miner/thread_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::TempDir;
using test_support::write_file;

// Writes to every page and reads it back, so an arena that is too small or not writable fails.
void expect_usable(const Arena& arena) {
    ASSERT_NE(arena.base, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(arena.base) % 64, 0u);
    auto* bytes = static_cast<uint8_t*>(arena.base);
    for (size_t off = 0; off < ARENA_BYTES; off += 4096)
        bytes[off] = static_cast<uint8_t>(off >> 12);
    bytes[ARENA_BYTES - 1] = 0xA5;
    for (size_t off = 0; off < ARENA_BYTES; off += 4096) {
        ASSERT_EQ(bytes[off], static_cast<uint8_t>(off >> 12)) << off;
    }
    EXPECT_EQ(bytes[ARENA_BYTES - 1], 0xA5);
}

TEST(Arena, MapsAUsableArenaAndUnmaps) {
    Arena arena;
    ASSERT_TRUE(map_arena(arena));
    expect_usable(arena);
    unmap_arena(arena);
    EXPECT_EQ(arena.base, nullptr);
}

TEST(Arena, UnmapOfAnUnmappedRecordOnlyLeavesBaseNull) {
    Arena arena;
    unmap_arena(arena);
    EXPECT_EQ(arena.base, nullptr);
    EXPECT_FALSE(arena.huge);
}

// Reserves a few huge pages for the duration of a test and restores the old count afterwards.
class HugePageReservation {
  public:
    static constexpr const char* PATH = "/proc/sys/vm/nr_hugepages";
    explicit HugePageReservation(long extra) {
        std::ifstream in(PATH);
        if (!(in >> old_)) return;
        std::ofstream out(PATH);
        if (!(out << old_ + extra << std::flush)) return;
        written_ = true;
    }
    ~HugePageReservation() {
        if (written_) std::ofstream(PATH) << old_ << std::flush;
    }
    bool written() const { return written_; }
    long old() const { return old_; }

  private:
    long old_ = -1;
    bool written_ = false;
};

TEST(Arena, UsesReservedHugePagesWhenTheyAreFree) {
    int64_t page_kib = read_meminfo_value("Hugepagesize:");
    if (page_kib <= 0 || page_kib > 8192) GTEST_SKIP() << "no usable default huge page size";
    int64_t pages = static_cast<int64_t>(ARENA_BYTES) / (page_kib * 1024);
    int64_t before_free = read_meminfo_value("HugePages_Free:");
    HugePageReservation reservation(pages + 1);
    if (!reservation.written()) {
        GTEST_SKIP() << "cannot write /proc/sys/vm/nr_hugepages (needs root and a writable "
                        "/proc/sys); the huge-page path is not tested here";
    }
    if (read_meminfo_value("HugePages_Free:") < before_free + pages) {
        GTEST_SKIP() << "the kernel could not reserve " << pages << " huge pages";
    }
    Arena arena;
    ASSERT_TRUE(map_arena(arena));
    EXPECT_TRUE(arena.huge);
    expect_usable(arena);
    unmap_arena(arena);
    EXPECT_EQ(arena.base, nullptr);
}

TEST(Arena, FallsBackToOrdinaryMemoryWithoutFreeHugePages) {
    if (read_meminfo_value("HugePages_Free:") * read_meminfo_value("Hugepagesize:") * 1024 >=
        static_cast<int64_t>(ARENA_BYTES)) {
        GTEST_SKIP() << "this machine has free reserved huge pages; the fallback is not reached";
    }
    // Several in a row, so the aligned start is not a lucky first address.
    Arena arenas[4];
    for (Arena& arena : arenas) {
        ASSERT_TRUE(map_arena(arena));
        EXPECT_FALSE(arena.huge);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(arena.base) % (2 * 1024 * 1024), 0u)
            << "transparent huge pages need a 2 MiB-aligned start";
        expect_usable(arena);
    }
    for (Arena& arena : arenas) unmap_arena(arena);
}

std::string meminfo(int64_t available_kib, int64_t huge_free, int64_t huge_kib) {
    return "MemTotal:       32823164 kB\n"
           "MemFree:         1234567 kB\n"
           "MemAvailable:    " +
           std::to_string(available_kib) +
           " kB\n"
           "Buffers:          123456 kB\n"
           "HugePages_Total:     " +
           std::to_string(huge_free) +
           "\n"
           "HugePages_Free:      " +
           std::to_string(huge_free) +
           "\n"
           "Hugepagesize:       " +
           std::to_string(huge_kib) + " kB\n";
}

// Each arena is mapped only while the limits, read just before it, hold one more: one room
// whose inputs change between arenas, as a container's limit lowered during start-up does.
TEST(ArenaGate, LimitsReadAgainBeforeEachArena) {
    constexpr int64_t MiB = 1024 * 1024;
    constexpr int64_t one = ARENA_BYTES + THREAD_OVERHEAD_BYTES + CGROUP_RESERVE_BYTES;
    const struct {
        std::optional<CgroupMemory> memory;
        MemInfo meminfo;
        bool maps;
    } cases[] = {
        {std::nullopt, {}, true},
        {CgroupMemory{100 * MiB, 100 * MiB - one}, {}, true},
        {CgroupMemory{100 * MiB, 100 * MiB - one + 1}, {}, false},  // lowered by one byte
        {CgroupMemory{100 * MiB, 100 * MiB}, {0, 4, 2048}, true},   // free huge pages hold one
        {CgroupMemory{100 * MiB, 100 * MiB}, {0, 3, 2048}, false},
    };
    static int maps = 0;
    static std::vector<uint8_t> memory(ARENA_BYTES);
    const auto fake_map = [](Arena& arena) {
        ++maps;
        arena.base = memory.data();
        return true;
    };
    size_t at = 0;
    ArenaGate room({[&] { return cases[at].memory; }, [&] { return cases[at].meminfo; }});
    for (at = 0; at < std::size(cases); ++at) {
        const int before = maps;
        Arena arena;
        EXPECT_EQ(room.map_if_it_fits(arena, fake_map), cases[at].maps) << at;
        EXPECT_EQ(maps - before, cases[at].maps ? 1 : 0) << at;  // refused: nothing mapped
    }
}

TEST(ReadMeminfoValue, KeysAndMissingValues) {
    TempDir dir;
    std::string path = dir.file("meminfo");
    write_file(path, meminfo(4194304, 100, 2048));
    EXPECT_EQ(read_meminfo_value("MemAvailable:", path), 4194304);
    EXPECT_EQ(read_meminfo_value("HugePages_Free:", path), 100);
    EXPECT_EQ(read_meminfo_value("Hugepagesize:", path), 2048);
    EXPECT_EQ(read_meminfo_value("MemTotal:", path), 32823164);
    EXPECT_EQ(read_meminfo_value("MemAvailable", path), 0);  // the key includes its colon
    EXPECT_EQ(read_meminfo_value("Cached:", path), 0);
    EXPECT_EQ(read_meminfo_value("MemAvailable:", dir.file("missing")), 0);

    // A line without a number ends the reading: later keys read as 0.
    write_file(path, "MemTotal: 10 kB\nBroken: kB\nMemAvailable: 20 kB\n");
    EXPECT_EQ(read_meminfo_value("MemTotal:", path), 10);
    EXPECT_EQ(read_meminfo_value("MemAvailable:", path), 0);
}

TEST(MemoryThreadLimit, Boundaries) {
    struct Case {
        const char* name;
        std::string content;
        int32_t expected;
    };
    // 1,619,001,344 bytes = 1,581,056 KiB: the reserve plus exactly one arena.
    const Case cases[] = {
        {"reserve plus one arena", meminfo(1581056, 0, 2048), 1},
        {"one KiB less", meminfo(1581055, 0, 2048), 0},
        {"4 GiB available", meminfo(4194304, 0, 2048), 320},
        {"100 free 2 MiB huge pages add 204,800 KiB", meminfo(4194304, 100, 2048), 345},
        {"huge pages alone", meminfo(0, 1024, 2048), 64},
        {"1 GiB huge pages", meminfo(0, 2, 1048576), 64},
        {"nothing available", meminfo(0, 0, 2048), 0},
        {"negative value", meminfo(-5, 0, 2048), 0},
        {"empty file", "", 0},
        {"absurd values saturate", meminfo(INT64_MAX / 2, INT64_MAX / 2, 4), INT32_MAX},
    };
    TempDir dir;
    for (const auto& c : cases) {
        std::string path = dir.file("meminfo");
        write_file(path, c.content);
        EXPECT_EQ(memory_thread_limit(path), c.expected) << c.name;
    }
    EXPECT_EQ(memory_thread_limit(dir.file("missing")), 0);
}

TEST(WaitForArenas, LeavesWhenEveryThreadSettledOrOnStop) {
    ArenaCounters counters;
    RunControl stop;
    int sleeps = 0;
    // Each sleep lets one more thread settle: two ready, then one failed.
    wait_for_arenas(counters, 3, stop, [&](std::chrono::nanoseconds d) {
        EXPECT_EQ(d, std::chrono::milliseconds(100));
        ++sleeps;
        if (sleeps <= 2)
            counters.ready_count.fetch_add(1);
        else
            counters.failed_count.fetch_add(1);
    });
    EXPECT_EQ(sleeps, 3);

    sleeps = 0;
    ArenaCounters none;
    wait_for_arenas(none, 4, stop, [&](std::chrono::nanoseconds) {
        if (++sleeps == 5) stop.request_stop();
    });
    EXPECT_EQ(sleeps, 5);

    sleeps = 0;
    wait_for_arenas(none, 0, RunControl{}, [&](std::chrono::nanoseconds) { ++sleeps; });
    EXPECT_EQ(sleeps, 0);
}

TEST(WaitForArenas, RealSleepSeesOtherThreads) {
    ArenaCounters counters;
    RunControl stop;
    std::thread t([&] { counters.ready_count.fetch_add(1); });
    wait_for_arenas(counters, 1, stop);
    t.join();
    EXPECT_EQ(counters.ready_count.load(), 1);
}

TEST(ArenaReport, Texts) {
    EXPECT_EQ(arena_failure_text(3), "3 thread(s) stopped: not enough memory for an 8 MiB arena");
    EXPECT_EQ(arena_pages_text(4, 0),
              "0 arena(s) in reserved huge pages, 4 in transparent huge pages");
    EXPECT_EQ(arena_pages_text(4, 3),
              "3 arena(s) in reserved huge pages, 1 in transparent huge pages");
    EXPECT_EQ(arena_pages_text(0, 0),
              "0 arena(s) in reserved huge pages, 0 in transparent huge pages");
}

}  // namespace
}  // namespace orvo::qel
