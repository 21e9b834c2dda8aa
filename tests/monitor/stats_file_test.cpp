#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "monitor/stats_file.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

TEST(StatsFile, ExactLine) {
    EXPECT_EQ(format_stats_json(1520.4, 12, 0, 130),
              "{\"hashrate_hs\":1520.40,\"accepted\":12,\"rejected\":0,\"uptime_s\":130,"
              "\"version\":\"v1.0.1\",\"algo\":\"argon2id-qel\"}\n");
    EXPECT_EQ(format_stats_json(0, 18446744073709551615ull, 1, 0),
              "{\"hashrate_hs\":0.00,\"accepted\":18446744073709551615,\"rejected\":1,"
              "\"uptime_s\":0,\"version\":\"v1.0.1\",\"algo\":\"argon2id-qel\"}\n");
}

TEST(StatsFile, WritesThroughTemporaryFileAndRename) {
    TempDir dir;
    const std::string path = dir.file("stats.json");
    write_file(path + ".tmp", "leftover from an earlier run, longer than the new line........");
    write_stats_file(path, format_stats_json(1, 2, 3, 4));
    EXPECT_EQ(read_file(path), format_stats_json(1, 2, 3, 4));
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
}

TEST(StatsFile, ReaderNeverSeesAPartialLine) {
    TempDir dir;
    const std::string path = dir.file("stats.json");
    write_stats_file(path, format_stats_json(0, 0, 0, 0));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done) {
            std::string text = read_file(path);
            if (text.empty() || text.front() != '{' || text.back() != '\n') ++bad;
        }
    });
    for (uint32_t i = 0; i < 2000; ++i) write_stats_file(path, format_stats_json(i * 1.5, i, i, i));
    done = true;
    reader.join();
    EXPECT_EQ(bad, 0);
}

TEST(StatsFile, FailuresAreSilentAndKeepTheOldFile) {
    TempDir dir;
    // Missing directory: nothing is created.
    write_stats_file(dir.file("missing/stats.json"), format_stats_json(1, 1, 1, 1));
    EXPECT_NE(access(dir.file("missing").c_str(), F_OK), 0);

    // A symbolic link planted at the temporary path is not followed, and the old file stays.
    const std::string path = dir.file("stats.json");
    const std::string victim = dir.file("victim");
    write_file(victim, "precious\n");
    write_file(path, "old\n");
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    write_stats_file(path, format_stats_json(1, 1, 1, 1));
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_EQ(read_file(path), "old\n");
}

// What sits at the stats path or at its temporary path decides whether a turn writes; nothing
// there is ever opened unless this call created it, so no turn can block or write elsewhere.
TEST(StatsFile, OnlyRegularFilesAreReplacedAndNothingElseIsOpened) {
    struct Case {
        const char* name;
        // Prepares the directory; returns the stats path.
        std::function<std::string(const TempDir&)> setup;
        bool written;
    };
    const Case cases[] = {
        {"absent", [](const TempDir& d) { return d.file("s"); }, true},
        {"regular file",
         [](const TempDir& d) {
             write_file(d.file("s"), "old\n");
             return d.file("s");
         },
         true},
        {"directory",
         [](const TempDir& d) {
             mkdir(d.file("s").c_str(), 0755);
             return d.file("s");
         },
         false},
        {"FIFO",
         [](const TempDir& d) {
             mkfifo(d.file("s").c_str(), 0600);
             return d.file("s");
         },
         false},
        {"link to a device",
         [](const TempDir& d) {
             symlink("/dev/null", d.file("s").c_str());
             return d.file("s");
         },
         false},
        {"FIFO at the temporary path",
         [](const TempDir& d) {
             mkfifo(d.file("s.tmp").c_str(), 0600);
             return d.file("s");
         },
         false},
        {"link to a device at the temporary path",
         [](const TempDir& d) {
             symlink("/dev/null", d.file("s.tmp").c_str());
             return d.file("s");
         },
         false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = c.setup(dir);
        struct stat before_path = {};
        struct stat before_tmp = {};
        const bool had_path = lstat(path.c_str(), &before_path) == 0;
        const bool had_tmp = lstat((path + ".tmp").c_str(), &before_tmp) == 0;

        EXPECT_EQ(write_stats_file(path, format_stats_json(1, 2, 3, 4)), c.written) << c.name;
        struct stat after = {};
        if (c.written) {
            EXPECT_EQ(read_file(path), format_stats_json(1, 2, 3, 4)) << c.name;
        } else if (had_path) {
            ASSERT_EQ(lstat(path.c_str(), &after), 0) << c.name;
            EXPECT_EQ(after.st_mode, before_path.st_mode) << c.name << ": the path was replaced";
            EXPECT_EQ(after.st_ino, before_path.st_ino) << c.name;
        } else {
            EXPECT_NE(access(path.c_str(), F_OK), 0) << c.name;
        }
        if (had_tmp) {
            ASSERT_EQ(lstat((path + ".tmp").c_str(), &after), 0) << c.name;
            EXPECT_EQ(after.st_ino, before_tmp.st_ino) << c.name << ": left alone";
        } else {
            EXPECT_NE(lstat((path + ".tmp").c_str(), &after), 0) << c.name << ": temporary left";
        }
    }
}

TEST(StatsFile, FifoAtTheTemporaryPathWithAReaderIsNotWritten) {
    TempDir dir;
    const std::string path = dir.file("s");
    ASSERT_EQ(mkfifo((path + ".tmp").c_str(), 0600), 0);
    // With a reader an open for writing would succeed; the write must still not go there.
    int reader = open((path + ".tmp").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(write_stats_file(path, format_stats_json(1, 2, 3, 4)));
    char buf[8];
    EXPECT_EQ(read(reader, buf, sizeof buf), 0);
    close(reader);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(StatsFile, LeftoverTemporaryLinkedElsewhereIsNotTruncated) {
    // A hard link planted at the temporary path: the old file is removed by name, never
    // truncated through the link.
    TempDir dir;
    const std::string path = dir.file("stats.json");
    const std::string victim = dir.file("victim");
    write_file(victim, "precious\n");
    ASSERT_EQ(link(victim.c_str(), (path + ".tmp").c_str()), 0);
    EXPECT_TRUE(write_stats_file(path, format_stats_json(1, 1, 1, 1)));
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_EQ(read_file(path), format_stats_json(1, 1, 1, 1));
}

}  // namespace
}  // namespace orvo::qel
