#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/console.h"
#include "support/console_capture.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::ConsoleCapture;
using test_support::run_process;

// The count of a line that stands for dropped lines; nothing for any other line.
std::optional<uint64_t> dropped_count(const std::string& line) {
    const std::string said = dropped_lines_text(1).substr(1);  // " line(s) dropped: ..."
    const size_t at = line.find(said);
    if (line.find(" out  ") == std::string::npos || at == std::string::npos) return std::nullopt;
    return std::stoull(line.substr(line.rfind(' ', at - 1) + 1));
}

TEST(Console, FormatRate) {
    EXPECT_EQ(format_rate(0), "0.00 H/s");
    EXPECT_EQ(format_rate(1234.5), "1234.50 H/s");
    EXPECT_EQ(format_rate(12345678.9), "12345678.90 H/s");
}

TEST(Console, TaggedLineLayoutWithAndWithoutColour) {
    set_console_palette(false);
    {
        ConsoleCapture cap;
        log_line(palette.green, "share", "accepted (1/0)");
        EXPECT_EQ(cap.text(), " share accepted (1/0)\n");
    }
    set_console_palette(true);
    {
        ConsoleCapture cap;
        log_line(palette.red, "share", "REJECTED — x");
        log_net_line("logged in");
        EXPECT_EQ(cap.text(),
                  "\033[31m share\033[0m REJECTED — x\n\033[90m net  \033[0m logged in\n");
    }
    set_console_palette(false);
}

TEST(Console, ControlBytesFromThePoolCannotReachTheTerminal) {
    set_console_palette(false);
    ConsoleCapture cap;
    const char raw[] = "REJECTED — a\nb\033[2J\r\x7f\0z";
    log_line(palette.red, "share", std::string(raw, sizeof raw - 1));
    EXPECT_EQ(cap.text(), " share REJECTED — a?b?[2J???z\n");
}

// C1 controls (U+0080-U+009F, e.g. U+009B = CSI) and bare bytes 0x80-0x9F are shown as '?'
// like C0; every other UTF-8 character, and invalid bytes that are no control, pass as they are.
TEST(Console, PrintableTextTable) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain \xE2\x80\x94 \xC3\xA9 \xF0\x9F\x98\x80",
         "plain \xE2\x80\x94 \xC3\xA9 \xF0\x9F\x98\x80"},
        {"\xC2\x9B"
         "31mred",
         "?31mred"},                                 // U+009B as UTF-8
        {"\xC2\x80\xC2\x9F\xC2\xA0", "??\xC2\xA0"},  // first and last C1; U+00A0 is text
        {"a\x9B"
         "31m",
         "a?31m"},                           // bare CSI byte
        {"\x80\x9F\xA0\xFF", "??\xA0\xFF"},  // stray bytes: controls only replaced
        {"\xE2\x9B", "\xE2?"},               // cut sequence: its 0x9B is bare
        {"\xC0\x9B", "\xC0?"},               // overlong form of CSI is no character
        {"\xED\xA0\x80", "\xED\xA0?"},       // surrogate: invalid, 0x80 bare
        {"\xF4\x90\x80\x80", "\xF4???"},     // above U+10FFFF: no character
        {std::string("\0\x1F\x7F", 3), "???"},
    };
    for (const auto& c : cases) EXPECT_EQ(printable_text(c.in), c.out) << c.in;
}

TEST(Console, PoolTextsAreCutAt200Characters) {
    const std::string ellipsis = "\xE2\x80\xA6";
    std::string euros;  // three bytes each
    for (int i = 0; i < 200; ++i) euros += "\xE2\x82\xAC";
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {std::string(200, 'x'), std::string(200, 'x')},
        {std::string(201, 'x'), std::string(200, 'x') + ellipsis},
        {std::string(1000000, 'x'), std::string(200, 'x') + ellipsis},
        {euros, euros},
        {euros + "!", euros + ellipsis},
        {std::string(199, 'x') + "\xE2\x82\xAC" + "yz",
         std::string(199, 'x') + "\xE2\x82\xAC" + ellipsis},
        {std::string(201, '\xFF'),
         std::string(200, '\xFF') + ellipsis},  // stray bytes count one each
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clip_pool_text(c.in), c.out) << c.in.size();
    }
}

TEST(Console, LinesFromManyThreadsNeverMix) {
    set_console_palette(true);
    constexpr int kThreads = 8, kLines = 300;
    std::string text;
    {
        ConsoleCapture cap;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                std::string body(200, static_cast<char>('a' + t));
                for (int i = 0; i < kLines; ++i) log_line(palette.gray, "speed", body);
            });
        }
        for (auto& th : threads) th.join();
        text = cap.text();
    }
    set_console_palette(false);
    std::istringstream in(text);
    std::string line;
    uint64_t count = 0;
    while (std::getline(in, line)) {
        // A burst beyond the writer's queue is cut short and said so.
        if (std::optional<uint64_t> dropped = dropped_count(line)) {
            count += *dropped;
            continue;
        }
        ++count;
        ASSERT_EQ(line.size(), std::string("\033[90m speed\033[0m ").size() + 200) << line;
        char c = line.back();
        EXPECT_EQ(line.substr(line.size() - 200), std::string(200, c));
    }
    EXPECT_EQ(count, uint64_t{kThreads * kLines});
}

// The output target may change while other threads write: each line lands whole in one stream.
TEST(Console, SwitchingTheOutputNeverSplitsALine) {
    set_console_palette(false);
    FILE* files[2] = {std::tmpfile(), std::tmpfile()};
    ASSERT_NE(files[0], nullptr);
    ASSERT_NE(files[1], nullptr);
    constexpr int kThreads = 4, kLines = 500;
    std::atomic<int> running{kThreads};
    set_console_output(files[0]);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &running] {
            const std::string body(300, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) log_line(palette.gray, "speed", body);
            --running;
        });
    }
    for (int flip = 1; running > 0; ++flip) set_console_output(files[flip % 2]);
    for (auto& th : threads) th.join();
    set_console_output(nullptr);

    uint64_t count = 0;
    for (FILE* file : files) {
        std::rewind(file);
        char buf[512];
        while (std::fgets(buf, sizeof buf, file) != nullptr) {
            const std::string line = buf;
            if (std::optional<uint64_t> dropped = dropped_count(line)) {
                count += *dropped;
                continue;
            }
            ++count;
            ASSERT_EQ(line.size(), std::string(" speed ").size() + 300 + 1) << line;
            EXPECT_EQ(line.substr(7, 300), std::string(300, line[7])) << line;
        }
        std::fclose(file);
    }
    EXPECT_EQ(count, uint64_t{kThreads * kLines});
}

// A stalled output (a pipe nobody reads) never holds up a thread that logs: lines beyond the
// writer's queue are dropped, and once the pipe is drained one line says how many, in their
// place; the lines written keep their order.
TEST(Console, AStalledOutputNeverBlocksTheCallers) {
    set_console_palette(false);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // The pipe is full before the first line: the stall starts at once and lasts until the drain.
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    while (write(fds[1], "\n", 1) == 1) {
    }
    fcntl(fds[1], F_SETFL, 0);
    FILE* out = fdopen(fds[1], "w");
    ASSERT_NE(out, nullptr);
    set_console_output(out);
    constexpr uint64_t kLines = 5000;
    std::atomic<bool> done{false};
    std::thread caller([&done] {
        for (uint64_t i = 0; i < kLines; ++i) {
            log_line(palette.gray, "speed", std::to_string(i) + " " + std::string(290, 'x'));
        }
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool returned_while_stalled = done;
    std::string text;
    std::thread reader([&text, fd = fds[0]] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    });
    caller.join();
    set_console_output(nullptr);  // returns once the drained pipe took every queued line
    std::fclose(out);
    reader.join();
    close(fds[0]);
    EXPECT_TRUE(returned_while_stalled);

    std::istringstream in(text);
    uint64_t written = 0, dropped = 0, dropped_lines = 0;
    std::optional<uint64_t> previous;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;  // the filling
        if (std::optional<uint64_t> n = dropped_count(line)) {
            dropped += *n;
            ++dropped_lines;
            continue;
        }
        const uint64_t i = std::stoull(line.substr(std::string(" speed ").size()));
        EXPECT_TRUE(!previous || i > *previous) << i;
        previous = i;
        ++written;
    }
    EXPECT_EQ(dropped_lines, 1u);
    EXPECT_EQ(written + dropped, kLines);
}

// Runs the binary on a pseudo-terminal and returns everything it wrote there.
std::string run_on_terminal(const std::vector<std::string>& args, const char* no_color) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (no_color) {
            setenv("NO_COLOR", no_color, 1);
        } else {
            unsetenv("NO_COLOR");
        }
        std::vector<char*> argv{const_cast<char*>(MINTRAKEL_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

// Display column of byte offset `pos`: every UTF-8 lead byte is one column.
size_t column_of(const std::string& line, size_t pos) {
    size_t col = 0;
    for (size_t i = 0; i < pos; ++i) col += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    return col;
}

const std::string kBannerArtColour = "\033[1m\033[38;2;255;77;0m";

TEST(Banner, ColourOnlyOnATerminalWithoutNoColor) {
    struct Case {
        std::vector<std::string> args;
        const char* no_color;
        bool coloured;
    } cases[] = {
        {{}, nullptr, true},
        {{}, "", false},
        {{}, "1", false},
        {{"--no-color"}, nullptr, false},
    };
    for (const auto& c : cases) {
        std::string out = run_on_terminal(c.args, c.no_color);
        ASSERT_NE(out.find("ORVO TALVEX QEL"), std::string::npos);
        EXPECT_EQ(out.find(kBannerArtColour) != std::string::npos, c.coloured)
            << (c.no_color ? c.no_color : "(unset)") << " " << c.args.size();
    }
}

TEST(Banner, RowsTwoToFourCarryTheTextsInOneColumn) {
    auto r = run_process({MINTRAKEL_BINARY});
    std::istringstream in(r.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(r.out.find('\033'), std::string::npos);  // redirected: no escape bytes
    const char* texts[] = {"ORVO TALVEX QEL", "Mintrakel miner (Argon2id)", "v1.0.1"};
    size_t column = column_of(lines[2], lines[2].find(texts[0]));
    for (size_t row = 0; row < 3; ++row) {
        size_t pos = lines[2 + row].find(texts[row]);
        ASSERT_NE(pos, std::string::npos) << row;
        EXPECT_EQ(column_of(lines[2 + row], pos), column) << row;
    }
    // Bottom row: shadows only.
    EXPECT_EQ(lines[6].find("█"), std::string::npos);
}

TEST(Banner, RedirectedOutputKeepsColourInTaggedLinesOnly) {
    auto coloured = run_process({MINTRAKEL_BINARY, "--verify", "/nonexistent/vectors"});
    size_t banner_end = coloured.out.find("v1.0.1");
    ASSERT_NE(banner_end, std::string::npos);
    EXPECT_EQ(coloured.out.substr(0, banner_end).find('\033'), std::string::npos);
    EXPECT_NE(coloured.out.find("\033[31m check\033[0m verify 0/0 FAILED"), std::string::npos)
        << coloured.out;

    auto plain = run_process({MINTRAKEL_BINARY, "--no-color", "--verify", "/nonexistent/vectors"});
    EXPECT_EQ(plain.out.find('\033'), std::string::npos);
    EXPECT_NE(plain.out.find(" check verify 0/0 FAILED\n"), std::string::npos) << plain.out;
}

}  // namespace
}  // namespace orvo::qel
