#include "app/stats_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "app/run_config.h"

namespace orvo::qel {

std::string stats_line(double hashrate, uint64_t accepted, uint64_t rejected, uint64_t uptime_s) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"hashrate_hs\":%.2f,\"accepted\":%llu,\"rejected\":%llu,\"uptime_s\":%llu,"
                  "\"version\":\"%s\",\"algo\":\"argon2id-qel\"}\n",
                  hashrate, static_cast<unsigned long long>(accepted),
                  static_cast<unsigned long long>(rejected),
                  static_cast<unsigned long long>(uptime_s), VERSION);
    return buf;
}

void write_stats_file(const std::string& path, const std::string& line) {
    const std::string tmp = path + ".tmp";
    // O_NOFOLLOW: a farm often runs the miner as root with the stats file in a shared
    // directory; a link planted at the temporary path must not redirect the write.
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    // A short write (disk full) must not replace a good file with part of a line.
    if (close(fd) != 0 || done != line.size()) {
        unlink(tmp.c_str());
        return;
    }
    std::rename(tmp.c_str(), path.c_str());
}

}  // namespace orvo::qel
