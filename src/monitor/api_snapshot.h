// What the HTTP endpoint shows: one snapshot of the run, built by the main loop once a tick and
// read by the HTTP thread, which never touches the live counters, the pool client or any lock a
// hashing thread takes. The three documents it serves are pure functions of a snapshot.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/run_control.h"
#include "monitor/rate_history.h"
#include "pool/pool_status.h"

namespace orvo::qel {

struct ThreadSnapshot {
    int32_t index = 0;
    std::optional<int32_t> cpu;  // absent for an unpinned thread
    uint64_t hashes = 0;
    double rate_10s = 0;  // H/s over its last 10 one-second samples
    bool huge_pages = false;
};

// The pool as shown, with its connected time already turned into seconds.
struct PoolSnapshot {
    PoolStatus status;
    uint64_t connected_s = 0;
};

struct ApiSnapshot {
    std::string version;  // without the leading "v": "1.0.1"
    std::string engine;   // "avx512" or "avx2"
    uint64_t uptime_s = 0;
    double rate_10s = 0, rate_60s = 0, rate_15m = 0;  // the speed line's three rates
    uint64_t hashes_total = 0;
    uint64_t accepted = 0, rejected = 0, blocks_found = 0;
    std::vector<ThreadSnapshot> threads;
    std::optional<PoolSnapshot> pool;  // absent in a benchmark
    bool dev_fee_active = false;
    PauseReasons pause_reasons = 0;           // hashing is paused while any holds
    std::optional<double> cpu_temperature_c;  // absent without a sensor or a reading
    // When the main loop took these numbers: the steady time tells how old they are, the Unix
    // time in milliseconds is what the documents show. A snapshot never published is as old as
    // the steady clock, so it is never taken for fresh numbers.
    std::chrono::steady_clock::time_point taken{};
    int64_t taken_unix_ms = 0;
};

// Per-thread 10 s rates: one sample per tick of every thread's hash count, like the run's total.
class ThreadRateWindow {
  public:
    static constexpr int32_t WINDOW = 10;
    explicit ThreadRateWindow(size_t threads) : previous_(threads, 0), histories_(threads) {}
    // The threads' cumulative hash counts at this tick.
    void append(const std::vector<uint64_t>& counts);
    // Takes the counts as the baseline of the next sample without making one (the hashes done
    // before the main loop starts are not counted, as for the run's total).
    void rebase(const std::vector<uint64_t>& counts);
    // Mean of thread i's newest min(10, ticks) samples in H/s; 0 before the first tick.
    double rate(size_t thread) const;

  private:
    std::vector<uint64_t> previous_;
    std::vector<RateHistory> histories_;  // per thread, averaged as the run's total is
};

// The hand-over between the main loop (publish) and the HTTP thread (latest). The lock is held
// only to swap or copy a pointer.
class SnapshotBox {
  public:
    void publish(std::shared_ptr<const ApiSnapshot> snapshot);
    std::shared_ptr<const ApiSnapshot> latest() const;

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const ApiSnapshot> snapshot_ = std::make_shared<const ApiSnapshot>();
};

// GET /api/v1/summary: one JSON object (members documented in the README).
std::string format_summary_json(const ApiSnapshot& s);
// GET /metrics: Prometheus text exposition format 0.0.4.
std::string format_metrics(const ApiSnapshot& s);
// GET /mmpos: the object mmpOS's agent reads from a miner it polls.
std::string format_mmpos_json(const ApiSnapshot& s);

}  // namespace orvo::qel
