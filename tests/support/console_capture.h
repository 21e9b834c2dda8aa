// Collecting the console's tagged lines in a test instead of letting them reach standard output.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace orvo::qel::test_support {

// While alive, every tagged line of every thread goes to a private file instead of stdout.
// One capture at a time; the console is process-wide.
class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Ends the capture (later lines go to stdout again) and returns everything captured.
    std::string text();
    // Everything captured so far, while the capture goes on (every line is flushed whole).
    std::string so_far() const;

  private:
    void release();
    FILE* file_ = nullptr;
    bool capturing_ = false;
};

// The tagged lines that `body` writes.
std::string capture_console(const std::function<void()>& body);

}  // namespace orvo::qel::test_support
