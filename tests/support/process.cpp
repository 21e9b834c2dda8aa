#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace orvo::qel::test_support {
namespace {

std::string make_temp_path(const char* prefix) {
    std::string templ = std::string("/tmp/") + prefix + "XXXXXX";
    int fd = mkstemp(templ.data());
    if (fd >= 0) close(fd);
    return templ;
}

// fork + exec with stdout/stderr into files; returns the child's pid.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_path, const std::string& err_path) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // The child ends with the test, however the test ends (a crash, the ctest timeout's
        // kill): the kernel kills it when the thread that started it is gone. Tests start
        // children from their main thread only.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        for (const auto& e : env) {
            auto eq = e.find('=');
            if (eq == std::string::npos) {
                unsetenv(e.c_str());
            } else {
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
        }
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_TRUNC);
        int err = open(err_path.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void fill_status(int status, ProcessResult& r) {
    if (WIFEXITED(status)) {
        r.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.term_signal = WTERMSIG(status);
    }
}

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

size_t count_occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          const std::vector<std::string>& env) {
    BackgroundProcess p(argv, env);
    return p.wait(timeout);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& env)
    : out_path_(make_temp_path("mk-out-")), err_path_(make_temp_path("mk-err-")) {
    pid_ = spawn(argv, env, out_path_, err_path_);
}

BackgroundProcess::~BackgroundProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

std::string BackgroundProcess::stdout_text() const {
    return read_file(out_path_);
}
std::string BackgroundProcess::stderr_text() const {
    return read_file(err_path_);
}

bool BackgroundProcess::wait_for_output(const std::string& needle,
                                        std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (stdout_text().find(needle) != std::string::npos) return true;
        if (!reaped_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                fill_status(status, result_);
            }
        }
        if (reaped_) return stdout_text().find(needle) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void BackgroundProcess::send_signal(int sig) {
    if (!reaped_ && pid_ > 0) kill(pid_, sig);
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            fill_status(status, result_);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            reaped_ = true;
            result_.timed_out = true;
            fill_status(status, result_);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result_.out = stdout_text();
    result_.err = stderr_text();
    return result_;
}

TempDir::TempDir() {
    std::string templ = "/tmp/mintrakel-test-XXXXXX";
    path_ = mkdtemp(templ.data());
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace orvo::qel::test_support
