// Per-second hash samples and the moving averages built from them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvo::qel {

inline constexpr uint32_t RATE_HISTORY_SLOTS = 901;

// One sample per main-loop tick, each treated as exactly one second. Owned by the main thread.
class RateHistory {
  public:
    void append(uint64_t sample);
    uint64_t count() const { return count_; }
    // Mean of the newest min(window, count) samples in hashes per second; 0 before any sample.
    // A window covering the whole run is exact at any length (a running total keeps it); a
    // shorter window is limited to the samples the ring still holds.
    double average_rate(int32_t window) const;
    // The newest min(n, count, RATE_HISTORY_SLOTS) samples, oldest first.
    std::vector<uint64_t> newest(size_t n) const;

  private:
    std::array<uint64_t, RATE_HISTORY_SLOTS> samples_{};
    uint64_t count_ = 0;
    uint64_t total_ = 0;  // sum of every sample ever appended
};

}  // namespace orvo::qel
