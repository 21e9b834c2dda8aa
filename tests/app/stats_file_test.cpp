#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/stats_file.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(StatsFile, ExactLine) {
    EXPECT_EQ(stats_line(1520.4, 12, 0, 130),
              "{\"hashrate_hs\":1520.40,\"accepted\":12,\"rejected\":0,\"uptime_s\":130,"
              "\"version\":\"v1.0.1\",\"algo\":\"argon2id-qel\"}\n");
    EXPECT_EQ(stats_line(0, 18446744073709551615ull, 1, 0),
              "{\"hashrate_hs\":0.00,\"accepted\":18446744073709551615,\"rejected\":1,"
              "\"uptime_s\":0,\"version\":\"v1.0.1\",\"algo\":\"argon2id-qel\"}\n");
}

TEST(StatsFile, WritesThroughTemporaryFileAndRename) {
    TempDir dir;
    const std::string path = dir.file("stats.json");
    write_file(path + ".tmp", "leftover from an earlier run, longer than the new line........");
    write_stats_file(path, stats_line(1, 2, 3, 4));
    EXPECT_EQ(read_file(path), stats_line(1, 2, 3, 4));
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
}

TEST(StatsFile, ReaderNeverSeesAPartialLine) {
    TempDir dir;
    const std::string path = dir.file("stats.json");
    write_stats_file(path, stats_line(0, 0, 0, 0));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done) {
            std::string text = read_file(path);
            if (text.empty() || text.front() != '{' || text.back() != '\n') ++bad;
        }
    });
    for (uint64_t i = 0; i < 2000; ++i) write_stats_file(path, stats_line(i * 1.5, i, i, i));
    done = true;
    reader.join();
    EXPECT_EQ(bad, 0);
}

TEST(StatsFile, FailuresAreSilentAndKeepTheOldFile) {
    TempDir dir;
    // Missing directory: nothing is created.
    write_stats_file(dir.file("missing/stats.json"), stats_line(1, 1, 1, 1));
    EXPECT_NE(access(dir.file("missing").c_str(), F_OK), 0);

    // A symbolic link planted at the temporary path is not followed, and the old file stays.
    const std::string path = dir.file("stats.json");
    const std::string victim = dir.file("victim");
    write_file(victim, "precious\n");
    write_file(path, "old\n");
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    write_stats_file(path, stats_line(1, 1, 1, 1));
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_EQ(read_file(path), "old\n");
}

}  // namespace
}  // namespace orvo::qel
