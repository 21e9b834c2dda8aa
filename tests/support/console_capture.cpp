#include "support/console_capture.h"

#include <unistd.h>

#include "base/console.h"

namespace orvo::qel::test_support {

ConsoleCapture::ConsoleCapture() : file_(std::tmpfile()) {
    if (file_ == nullptr) return;  // lines then stay on stdout and text() is empty
    set_console_output(file_);
    capturing_ = true;
}

ConsoleCapture::~ConsoleCapture() {
    release();
    if (file_ != nullptr) std::fclose(file_);
}

void ConsoleCapture::release() {
    if (!capturing_) return;
    set_console_output(nullptr);  // waits for a line being written to the file
    capturing_ = false;
}

std::string ConsoleCapture::so_far() const {
    std::string out;
    if (file_ == nullptr) return out;
    // pread leaves the stream's own position, where the next line is written, alone.
    const int fd = fileno(file_);
    char buf[4096];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string ConsoleCapture::text() {
    release();
    std::string out;
    if (file_ == nullptr) return out;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
}

std::string capture_console(const std::function<void()>& body) {
    ConsoleCapture capture;
    body();
    return capture.text();
}

}  // namespace orvo::qel::test_support
