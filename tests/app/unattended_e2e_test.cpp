// A miner left alone on a rig: a hostile stats path or a closed terminal must neither stall the
// main loop nor keep the miner from a clean stop. The pool address is a closed loopback port, so
// the miner only reconnects and its threads wait without hashing. The stats paths are tried on
// whole runs in this process; the hang-up, a signal, on the real binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/session_run.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::ProcessResult;
using test_support::SessionRun;
using test_support::TempDir;

const std::string SHUTDOWN = "\n shutdown requested — clean exit\n";

std::vector<std::string> idle_miner(std::vector<std::string> extra) {
    std::vector<std::string> argv{MINTRAKEL_BINARY,  "--no-color", "-o", "127.0.0.1:1", "-u",
                                  "qel1testaddress", "-w",         "ci", "-t",          "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

size_t count_of(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

struct Inode {
    bool exists = false;
    mode_t mode = 0;
    ino_t ino = 0;
};
Inode inode_of(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return {};
    return {true, st.st_mode, st.st_ino};
}

// Each case's stats path holds something that is not a regular file, or its temporary path
// does. Each run (in this process, a stats turn every 200 ms) must keep ticking past two stats
// turns, leave both paths as they were, and stop cleanly.
TEST(UnattendedEndToEnd, HostileStatsPathsNeitherStallNorGetReplaced) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> plant;
    };
    const Case cases[] = {
        {"FIFO at the temporary path",
         [](const std::string& p) { mkfifo((p + ".tmp").c_str(), 0600); }},
        {"link to a device as the path",
         [](const std::string& p) { symlink("/dev/null", p.c_str()); }},
        {"directory as the path", [](const std::string& p) { mkdir(p.c_str(), 0755); }},
        {"FIFO as the path", [](const std::string& p) { mkfifo(p.c_str(), 0600); }},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("stats.json");
        c.plant(path);
        const Inode path_before = inode_of(path);
        const Inode tmp_before = inode_of(path + ".tmp");
        // A reader holds a planted temporary FIFO open, so that an open for writing would not
        // fail by itself.
        const int reader = open((path + ".tmp").c_str(), O_RDONLY | O_NONBLOCK);

        RunConfig config = test_support::mining_config({"127.0.0.1:1"}, 1);
        config.stats_file = path;
        SessionRun run(config, test_support::stand_in_engine());
        // Two status lines: the main loop went on past the first stats turn.
        bool ticking = false;
        for (int waited = 0; waited < 500 && !ticking; ++waited) {
            ticking = count_of(run.output(), " speed ") >= 2;
            if (!ticking) std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(ticking) << c.name << "\n" << run.output();
        EXPECT_EQ(run.stop(), 0) << c.name;

        const Inode path_after = inode_of(path), tmp_after = inode_of(path + ".tmp");
        EXPECT_EQ(path_after.exists, path_before.exists) << c.name;
        EXPECT_EQ(path_after.mode, path_before.mode) << c.name;
        EXPECT_EQ(path_after.ino, path_before.ino) << c.name;
        EXPECT_EQ(tmp_after.exists, tmp_before.exists) << c.name;
        EXPECT_EQ(tmp_after.ino, tmp_before.ino) << c.name;
        if (reader >= 0) {
            char buf[8];
            EXPECT_EQ(read(reader, buf, sizeof buf), 0) << "nothing was written into the FIFO";
            close(reader);
        }
    }
}

// A closed terminal sends SIGHUP: a clean stop, unless the miner was started with it ignored
// (nohup), when it mines on.
TEST(UnattendedEndToEnd, HangupStopsCleanlyUnlessIgnored) {
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        bool stops;
    };
    std::vector<std::string> nohup{"/bin/sh", "-c", "trap '' HUP; exec \"$@\"", "sh"};
    for (const auto& a : idle_miner({})) nohup.push_back(a);
    const Case cases[] = {
        {"default", idle_miner({}), true},
        {"started with SIGHUP ignored", nohup, false},
    };
    for (const auto& c : cases) {
        BackgroundProcess m(c.argv);
        ASSERT_TRUE(m.wait_for_output(" pages ", 30s)) << c.name << "\n" << m.stdout_text();
        m.send_signal(SIGHUP);
        if (c.stops) {
            ProcessResult r = m.wait(20s);
            EXPECT_FALSE(r.timed_out) << c.name;
            EXPECT_EQ(r.exit_code, 0) << c.name << "\n" << r.out;
            ASSERT_GE(r.out.size(), SHUTDOWN.size()) << c.name;
            EXPECT_EQ(r.out.substr(r.out.size() - SHUTDOWN.size()), SHUTDOWN) << c.name;
        } else {
            std::this_thread::sleep_for(2s);
            EXPECT_EQ(m.stdout_text().find(SHUTDOWN), std::string::npos) << c.name;
            m.send_signal(SIGTERM);
            ProcessResult r = m.wait(20s);
            EXPECT_EQ(r.exit_code, 0) << c.name << "\n" << r.out;
            EXPECT_NE(r.out.find(SHUTDOWN), std::string::npos) << c.name;
        }
    }
}

}  // namespace
}  // namespace orvo::qel
