#include "base/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orvo::qel {
namespace {

bool is_closed(int fd) {
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

// Every lower number is open, so the lowest free one, which open() and pipe() take first, is fd.
void fill(int fd) {
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) == fd) return;
    int ends[2];
    if (pipe(ends) != 0) return;  // ends[0] is fd
    if (fd == 0) {
        close(ends[1]);
        return;
    }
    // Standard output and error want the write end at fd: dup2 closes the read end there.
    dup2(ends[1], fd);
    close(ends[1]);
}

}  // namespace

void open_closed_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (is_closed(fd)) fill(fd);
    }
}

}  // namespace orvo::qel
