#include "monitor/stats_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/version.h"

namespace orvo::qel {

std::string format_stats_json(double hashrate, uint64_t accepted, uint64_t rejected,
                              uint64_t uptime_s) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"hashrate_hs\":%.2f,\"accepted\":%llu,\"rejected\":%llu,\"uptime_s\":%llu,"
                  "\"version\":\"%s\",\"algo\":\"argon2id-qel\"}\n",
                  hashrate, static_cast<unsigned long long>(accepted),
                  static_cast<unsigned long long>(rejected),
                  static_cast<unsigned long long>(uptime_s), VERSION);
    return buf;
}

namespace {

// Whether `path` may be replaced: absent, or a regular file (also through a symbolic link).
// Never a directory, FIFO or device node: renaming over one would take it away from whoever
// uses it.
bool replaceable(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISREG(st.st_mode);
    return errno == ENOENT;
}

// Creates the temporary file; only a file this call created is ever written. A leftover
// regular file from an earlier run is removed first; anything else there (a FIFO, device,
// directory or symbolic link) is left alone and the turn is skipped, so nothing can make the
// open block or redirect the write.
int create_temporary(const std::string& tmp) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(tmp.c_str(), flags, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
    struct stat st;
    if (lstat(tmp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    if (unlink(tmp.c_str()) != 0) return -1;
    return open(tmp.c_str(), flags, 0644);
}

}  // namespace

bool write_stats_file(const std::string& path, const std::string& line) {
    if (!replaceable(path)) return false;
    const std::string tmp = path + ".tmp";
    int fd = create_temporary(tmp);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    // A short write (disk full) must not replace a good file with part of a line, and a file
    // that cannot take the place of the old one must not stay behind.
    if (close(fd) != 0 || done != line.size() || std::rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace orvo::qel
