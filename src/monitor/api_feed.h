// The HTTP endpoint of a run: the server and what the main loop keeps to feed it. The main loop
// publishes once a tick; the server thread answers from the latest snapshot only, so a client
// never touches the live counters, the pool client or a lock a hashing thread takes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "miner/thread_stats.h"
#include "monitor/api_snapshot.h"
#include "monitor/http_server.h"
#include "monitor/rate_history.h"
#include "monitor/snapshot_box.h"
#include "monitor/thread_rate_window.h"
#include "pool/pool.h"

namespace orvo::qel {

// The run's counters as the main loop reads them at one tick.
struct RunReading {
    uint64_t uptime_s = 0;
    uint64_t hashes_total = 0;
    uint64_t accepted = 0, rejected = 0, blocks_found = 0;
    std::string last_rejection;
    int32_t intensity = 0;
    bool dev_fee_active = false;
    PauseReasons pause_reasons = 0;
    std::optional<int32_t> cpu_temperature_mc;  // millidegrees Celsius; absent without a reading
    const ThreadStats* threads = nullptr;       // one record per thread, by index
    const Pool* pool = nullptr;                 // absent in a benchmark
};

class ApiFeed {
  public:
    // Starts the server and prints the "http " line: where the API listens, or why it cannot
    // (the run goes on without it). Its control paths pause and resume `control`.
    ApiFeed(const HttpServerOptions& options, std::string engine, size_t threads,
            RunControl& control);

    // Once a tick, after the tick's sample: the same rates as the speed line, and every
    // thread's counters sampled for its own 10 s rate. The snapshot is stamped with the time it
    // was taken, by which the server tells a stalled main loop.
    void publish(const RunReading& reading, const RateHistory& history);
    // The first publish (before the main loop) sets the baseline of the per-thread samples, as
    // the loop's previous count does for the total.
    void start_sampling() { sampled_ = true; }
    void stop() { server_.stop(); }

  private:
    SnapshotBox box_;
    HttpServer server_;
    ThreadRateWindow window_;
    size_t thread_count_;
    std::string version_;
    std::string engine_;
    std::vector<uint64_t> counts_;
    bool sampled_ = false;
};

}  // namespace orvo::qel
