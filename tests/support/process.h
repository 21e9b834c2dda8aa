// Running the real binaries from tests: capture stdout/stderr, exit status, signals, timeouts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orvo::qel::test_support {

struct ProcessResult {
    int exit_code = -1;   // exit status, or -1 when killed by a signal
    int term_signal = 0;  // signal that ended the process, 0 when it exited
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments, stdin from /dev/null, until it ends or `timeout` passes
// (then SIGKILL). `env` entries "NAME=value" are added to the environment; "NAME" alone unsets.
ProcessResult run_process(const std::vector<std::string>& argv,
                          std::chrono::milliseconds timeout = std::chrono::seconds(120),
                          const std::vector<std::string>& env = {});

// A child process running in the background whose output is collected into files. Like
// run_process it must be started from the test's main thread: the child is killed when the
// thread that started it ends.
class BackgroundProcess {
  public:
    explicit BackgroundProcess(const std::vector<std::string>& argv,
                               const std::vector<std::string>& env = {});
    ~BackgroundProcess();  // kills the process if it still runs
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string stdout_text() const;  // everything written so far
    std::string stderr_text() const;
    // Polls stdout until it contains `needle`; false on timeout or when the process ended first.
    bool wait_for_output(const std::string& needle, std::chrono::milliseconds timeout);
    void send_signal(int sig);
    // Waits for the end; kills the process after `timeout`.
    ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    pid_t pid_ = -1;
    std::string out_path_, err_path_;
    bool reaped_ = false;
    ProcessResult result_;
};

// A fresh private directory under /tmp, removed with its content by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
// How often `needle` occurs in `text`, overlapping occurrences included.
size_t count_occurrences(const std::string& text, const std::string& needle);

}  // namespace orvo::qel::test_support
