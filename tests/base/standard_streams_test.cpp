// Descriptors 0-2 a parent left closed are filled before the miner opens anything.
#include "base/standard_streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace orvo::qel {
namespace {

// In a child: closes `closed`, fills, opens one more file, and exits 0 only when every one of
// 0-2 is open, the closed ones on /dev/null with the right direction, and the new file got a
// number above 2.
int child_exit_code(const std::vector<int>& closed) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (int fd : closed) close(fd);
        open_closed_standard_streams();
        struct stat null_dev {};
        if (stat("/dev/null", &null_dev) != 0) _exit(10);
        for (int fd : closed) {
            struct stat st {};
            if (fstat(fd, &st) != 0 || st.st_rdev != null_dev.st_rdev) _exit(20 + fd);
            const int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
            if (mode != (fd == 0 ? O_RDONLY : O_WRONLY)) _exit(30 + fd);
        }
        _exit(open("/dev/null", O_RDONLY) > 2 ? 0 : 40);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StandardStreams, ClosedOnesAreOpenedOnDevNull) {
    const std::vector<std::vector<int>> cases = {{}, {0, 1, 2}, {1}, {2}, {0, 2}, {1, 2}};
    for (const auto& closed : cases) {
        EXPECT_EQ(child_exit_code(closed), 0) << closed.size() << " closed";
    }
}

}  // namespace
}  // namespace orvo::qel
