// The one-line JSON stats file that mining-farm software reads.
#pragma once

#include <cstdint>
#include <string>

namespace orvo::qel {

// {"hashrate_hs":%.2f,"accepted":N,"rejected":N,"uptime_s":N,"version":"v1.0.1",
//  "algo":"argon2id-qel"} and a newline.
std::string format_stats_json(double hashrate, uint64_t accepted, uint64_t rejected,
                              uint64_t uptime_s);

// Replaces the file at `path` in one step: writes path + ".tmp", then renames it over `path`,
// so a reader sees the old or the new line, never part of one. Only an absent path or a regular
// file is replaced. The temporary file is always a regular file this call created: whatever
// else sits at its path (a symbolic link, FIFO or device) is neither opened nor followed, so the
// call can neither block nor write elsewhere. Any failure is a silent skip, retried at the next
// turn: the old file stays and no temporary file is left behind. Returns whether `path` now
// holds `line`.
bool write_stats_file(const std::string& path, const std::string& line);

}  // namespace orvo::qel
