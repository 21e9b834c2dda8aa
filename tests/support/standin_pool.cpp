#include "support/standin_pool.h"

#include <cstdlib>
#include <thread>

namespace orvo::qel::test_support {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> command(std::vector<std::string> switches) {
    switches.insert(switches.begin(), MINTRAKEL_STANDIN_POOL);
    return switches;
}

// The line of `text` that starts with `prefix`, without its line feed; empty when none does.
std::string line_starting_with(const std::string& text, const std::string& prefix) {
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (text.compare(at, prefix.size(), prefix) == 0) return text.substr(at, end - at);
        at = end + 1;
    }
    return "";
}

}  // namespace

StandinPool::StandinPool(std::vector<std::string> switches)
    : process_(command(std::move(switches))) {
    // The listening line is the stand-in's first.
    if (!process_.wait_for_output("\n", 10s)) return;
    const std::string prefix = "listening on 127.0.0.1:";
    const std::string line = line_starting_with(process_.stdout_text(), prefix);
    if (line.empty()) return;
    const unsigned long port = std::strtoul(line.c_str() + prefix.size(), nullptr, 10);
    if (port == 0 || port > 65535) return;
    port_ = static_cast<uint16_t>(port);
    endpoint_ = "127.0.0.1:" + std::to_string(port_);
}

size_t StandinPool::submits() const {
    return count_occurrences(output(), "\nsubmit #");
}

bool StandinPool::wait_for_submits(size_t count, std::chrono::milliseconds quiet) {
    size_t seen = submits();
    auto last_news = std::chrono::steady_clock::now();
    while (seen < count) {
        if (std::chrono::steady_clock::now() - last_news >= quiet) return false;
        std::this_thread::sleep_for(20ms);
        const size_t now_seen = submits();
        if (now_seen != seen) {
            seen = now_seen;
            last_news = std::chrono::steady_clock::now();
        }
    }
    return true;
}

std::string StandinPool::finish(int sig) {
    process_.send_signal(sig);
    return process_.wait(10s).out;
}

std::string StandinPool::judgement() {
    const std::string out = finish(SIGINT);
    const std::string line = line_starting_with(out, "valid ");
    return line.empty() ? "no counts in: " + out : line;
}

}  // namespace orvo::qel::test_support
