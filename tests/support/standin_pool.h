// The stand-in pool (tools/standin_pool) as a child process of a test, on a loopback port.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"

namespace orvo::qel::test_support {

class StandinPool {
  public:
    // Starts the stand-in with these switches on an ephemeral port and waits (up to 10 s) for
    // its "listening on" line. port() is 0 and endpoint() empty when it never came.
    explicit StandinPool(std::vector<std::string> switches = {});

    uint16_t port() const { return port_; }
    const std::string& endpoint() const { return endpoint_; }  // "127.0.0.1:PORT"
    BackgroundProcess& process() { return process_; }
    std::string output() const { return process_.stdout_text(); }  // all printed so far
    bool wait_for_output(const std::string& needle, std::chrono::milliseconds timeout) {
        return process_.wait_for_output(needle, timeout);
    }
    // Submissions it has received so far.
    size_t submits() const;
    // Waits until it has received `count` submissions; false once `quiet` passed without a new
    // one. It prints each only after judging it by recomputing the hash, which a loaded machine
    // or a sanitizer slows many times over: only a stall counts against it, never the time all
    // of them take.
    bool wait_for_submits(size_t count, std::chrono::milliseconds quiet);

    // Ends it with `sig` and returns everything it printed.
    std::string finish(int sig = SIGINT);
    // Ends it with SIGINT and returns its verdict on every share, "valid V invalid I duplicate D",
    // or "no counts in: " and its output when that line is missing.
    std::string judgement();

  private:
    BackgroundProcess process_;
    uint16_t port_ = 0;
    std::string endpoint_;
};

}  // namespace orvo::qel::test_support
