// The verify mode through the real binary: engines, store modes, verdict lines, exit codes, and
// the engine choice on emulated CPUs without AVX-512 or without any AVX.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "support/process.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::ProcessResult;
using test_support::read_file;
using test_support::run_process;
using test_support::TempDir;
using test_support::write_file;

const std::string VECTORS = MINTRAKEL_TEST_DATA "/vectors.txt";

ProcessResult verify(const std::string& path, std::vector<std::string> extra = {},
                     const std::string& runner = "") {
    std::vector<std::string> argv;
    if (!runner.empty()) argv = {runner, "-cpu", extra.front()};
    if (!runner.empty()) extra.erase(extra.begin());
    argv.push_back(MINTRAKEL_BINARY);
    argv.insert(argv.end(), {"--verify", path, "--no-color"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run_process(argv);
}

std::vector<std::string> tokens_of(const std::string& path) {
    std::istringstream in(read_file(path));
    std::vector<std::string> tokens;
    for (std::string t; in >> t;) tokens.push_back(t);
    return tokens;
}

std::string join(const std::vector<std::string>& tokens, size_t count) {
    std::string s;
    for (size_t i = 0; i < count && i < tokens.size(); ++i)
        s += tokens[i] + (i % 4 == 3 ? "\n" : " ");
    return s;
}

size_t record_count(const std::vector<std::string>& tokens) {
    return (tokens.size() + 1) / 4;
}

// The number of records in the shipped file; every one must pass.
TEST(VerifyCli, ShippedVectorsPassWithEveryEngineAndStoreMode) {
    const size_t n = record_count(tokens_of(VECTORS));
    ASSERT_GE(n, 16u);
    const std::string ok = " check verify " + std::to_string(n) + "/" + std::to_string(n) + " OK\n";
    const std::vector<std::vector<std::string>> variants = {
        {},
        {"--engine", "avx2"},
        {"--stores", "nt"},
        {"--engine", "avx2", "--stores", "nt"},
        {"-u", "qel1ignored", "--bench", "30"},  // only the verify runs
    };
    for (const auto& extra : variants) {
        ProcessResult r = verify(VECTORS, extra);
        std::string label = extra.empty() ? "default" : extra[0] + " " + extra[1];
        EXPECT_EQ(r.exit_code, 0) << label << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(ok), std::string::npos) << label << "\n" << r.out;
        EXPECT_EQ(r.out.find("thread"), std::string::npos) << "no summary in a verify run";
    }
}

TEST(VerifyCli, PassLineIsGreenWithColour) {
    const std::string n = std::to_string(record_count(tokens_of(VECTORS)));
    ProcessResult r = run_process({MINTRAKEL_BINARY, "--verify", VECTORS});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("\x1b[32m check\x1b[0m verify " + n + "/" + n + " OK\n"),
              std::string::npos)
        << r.out;
}

TEST(VerifyCli, CorruptedCopiesFail) {
    const std::vector<std::string> tokens = tokens_of(VECTORS);
    const size_t n = record_count(tokens);
    TempDir dir;

    // Flip one digit of the expected hash of two records.
    std::vector<std::string> bad_hash = tokens;
    for (size_t record : {size_t{0}, n / 2}) {
        char& c = bad_hash[4 * record + 2][10];
        c = c == '0' ? '1' : '0';
    }
    write_file(dir.file("hash.txt"), join(bad_hash, bad_hash.size()));

    // Turn one met expectation into a miss.
    std::vector<std::string> bad_target = tokens;
    size_t met = 0;
    while (met < n && bad_target[4 * met + 3] != "1") ++met;
    ASSERT_LT(met, n) << "the shipped vectors need a record that meets its target";
    bad_target[4 * met + 3] = "0";
    write_file(dir.file("target.txt"), join(bad_target, bad_target.size()));

    const std::string total = std::to_string(n);
    struct Case {
        std::string file;
        std::string line;
    };
    const Case cases[] = {
        {dir.file("hash.txt"),
         " check verify " + std::to_string(n - 2) + "/" + total + " FAILED\n"},
        {dir.file("target.txt"),
         " check target comparison " + std::to_string(n - 1) + "/" + total + " FAILED\n"},
        {dir.file("missing.txt"), " check verify 0/0 FAILED\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = verify(c.file);
        EXPECT_EQ(r.exit_code, 1) << c.file << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.file << "\n" << r.out;
    }

    ProcessResult coloured = run_process({MINTRAKEL_BINARY, "--verify", dir.file("missing.txt")});
    EXPECT_NE(coloured.out.find("\x1b[31m check\x1b[0m verify 0/0 FAILED\n"), std::string::npos)
        << coloured.out;
}

// Every record of the file is accounted for: one that cannot be read fails the run, and is
// named.
TEST(VerifyCli, UnreadableRecordsFailTheRun) {
    const std::vector<std::string> tokens = tokens_of(VECTORS);
    ASSERT_GE(record_count(tokens), 8u);
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        std::string lines;  // expected on stdout, in this order
    };
    std::vector<std::string> bad_nonce(tokens.begin(), tokens.begin() + 32);
    bad_nonce[4 * 5 + 1] = "18446744073709551616";
    bad_nonce[4 * 7 + 2][0] = bad_nonce[4 * 7 + 2][0] == '0' ? '1' : '0';  // a wrong hash after it
    std::vector<std::string> garbage(tokens.begin(), tokens.begin() + 12);
    garbage.insert(garbage.begin() + 8, "#");
    const Case cases[] = {
        {"nonce past 64 bits", join(bad_nonce, bad_nonce.size()),
         " check record 6: the nonce is not an unsigned 64-bit decimal number\n"
         " check verify 5/6 FAILED\n"},
        {"garbage where a record starts", join(garbage, garbage.size()),
         " check record 3: the header does not start with 224 hex digits\n"
         " check verify 2/3 FAILED\n"},
        {"one endless token", std::string(1 << 20, '0'),
         " check record 1: the header is longer than 4096 characters\n"
         " check verify 0/1 FAILED\n"},
        {"file cut inside a record", join(tokens, 6),
         " check record 2: the file ends before the expected hash\n"
         " check verify 1/2 FAILED\n"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file("vectors.txt");
        write_file(path, c.content);
        ProcessResult r = verify(path);
        EXPECT_EQ(r.exit_code, 1) << c.name << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.lines), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_EQ(r.out.find(" OK"), std::string::npos) << c.name;
    }
}

// Only a regular file is read; anything else is named at once instead of blocking or reading
// for ever.
TEST(VerifyCli, FilesThatCannotBeReadAreNamed) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string why;
    };
    const Case cases[] = {
        {dir.file("missing.txt"), "No such file or directory"},
        {dir.path(), "it is a directory"},
        {fifo, "it is a FIFO"},
        {"/dev/zero", "it is a device"},
        {"/dev/null", "it is a device"},
    };
    for (const auto& c : cases) {
        ProcessResult r = run_process({MINTRAKEL_BINARY, "--verify", c.path, "--no-color"}, 20s);
        EXPECT_FALSE(r.timed_out) << c.path;
        EXPECT_EQ(r.exit_code, 1) << c.path << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(" check cannot read " + c.path + ": " + c.why +
                             "\n check verify 0/0 FAILED\n"),
                  std::string::npos)
            << c.path << "\n"
            << r.out;
    }
    ProcessResult coloured = run_process({MINTRAKEL_BINARY, "--verify", fifo}, 20s);
    EXPECT_NE(coloured.out.find("\x1b[31m check\x1b[0m cannot read " + fifo), std::string::npos)
        << coloured.out;
}

// A long run ends within about one hash of the signal, without an OK line.
TEST(VerifyCli, SignalsStopALongRun) {
    std::vector<std::string> tokens = tokens_of(VECTORS);
    if (tokens.size() % 4 == 3) tokens.push_back("0");  // the last record leaves it out
    const std::string one_pass = join(tokens, tokens.size());
    std::string many;
    for (int i = 0; i < 200; ++i) many += one_pass;  // minutes of hashing
    TempDir dir;
    const std::string path = dir.file("long.txt");
    write_file(path, many);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        test_support::BackgroundProcess p({MINTRAKEL_BINARY, "--verify", path, "--no-color"});
        ASSERT_TRUE(p.wait_for_output("v1.0.1", 20s)) << p.stdout_text();
        std::this_thread::sleep_for(500ms);
        const auto sent = std::chrono::steady_clock::now();
        p.send_signal(sig);
        ProcessResult r = p.wait(20s);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 10s) << strsignal(sig);
        EXPECT_FALSE(r.timed_out) << strsignal(sig);
        EXPECT_EQ(r.exit_code, 1) << strsignal(sig) << "\n" << r.out;
        const size_t verdict = r.out.rfind(" check verify ");
        ASSERT_NE(verdict, std::string::npos) << strsignal(sig) << "\n" << r.out;
        EXPECT_NE(r.out.find(" stopped\n", verdict), std::string::npos) << strsignal(sig);
        EXPECT_EQ(r.out.find(" OK"), std::string::npos) << strsignal(sig);
    }
}

TEST(VerifyCli, BadCpuListEndsTheVerifyRunWithTwo) {
    for (const char* list : {"3-1", "x", "0-100000", "99999999999"}) {
        ProcessResult r = verify(VECTORS, {"--cpus", list});
        EXPECT_EQ(r.exit_code, 2) << list;
        EXPECT_EQ(r.err, "bad --cpus list\n") << list;
        EXPECT_EQ(r.out.find("check"), std::string::npos) << list;
    }
    ProcessResult r = verify(VECTORS, {"--cpus", "3-1,0"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

std::string find_qemu() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/qemu-x86_64";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// qemu-user emulates a CPU without AVX-512 ("max") and one without AVX ("Nehalem"), so the
// engine choice is seen on hardware this machine is not.
class VerifyUnderQemu : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "sanitizer runtimes do not start under qemu-user";
#endif
        qemu_ = find_qemu();
        if (qemu_.empty()) GTEST_SKIP() << "qemu-x86_64 is not installed (package qemu-user)";
        const std::vector<std::string> tokens = tokens_of(VECTORS);
        write_file(dir_.file("small.txt"), join(tokens, 12));
    }
    std::string qemu_;
    TempDir dir_;
};

TEST_F(VerifyUnderQemu, Avx2OnlyCpuRunsTheAvx2Engine) {
    ProcessResult r = verify(dir_.file("small.txt"), {"max"}, qemu_);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" check verify 3/3 OK\n"), std::string::npos) << r.out << r.err;

    r = verify(dir_.file("small.txt"), {"max", "--engine", "avx512"}, qemu_);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(" cpu   AVX-512 engine requested but this CPU has no AVX-512 (F, VL, "
                         "BW)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("check"), std::string::npos);
}

TEST_F(VerifyUnderQemu, CpuWithoutAvxIsRefused) {
    for (const char* engine : {"", "avx2", "avx512"}) {
        ProcessResult r = verify(dir_.file("small.txt"), {"Nehalem", "--engine", engine}, qemu_);
        EXPECT_EQ(r.exit_code, 1) << engine << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(" cpu   this CPU has neither AVX-512 nor AVX2: not supported\n"),
                  std::string::npos)
            << engine << "\n"
            << r.out << r.err;
        EXPECT_EQ(r.out.find("check"), std::string::npos);
    }
}

}  // namespace
}  // namespace orvo::qel
