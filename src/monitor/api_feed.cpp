#include "monitor/api_feed.h"

#include <memory>
#include <optional>

#include "base/console.h"
#include "base/version.h"
#include "monitor/http_api.h"

namespace orvo::qel {
namespace {

// The history document reaches back this far: the status page's chart shows 15 minutes.
constexpr size_t RATE_CHART_SECONDS = 900;

}  // namespace

ApiFeed::ApiFeed(const HttpServerOptions& options, std::string engine, size_t threads,
                 RunControl& control)
    : server_(box_, control), window_(threads), thread_count_(threads), engine_(std::move(engine)) {
    const std::string v = VERSION;
    version_ = !v.empty() && v.front() == 'v' ? v.substr(1) : v;
    const std::string where =
        (options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host);
    if (auto failure = server_.start(options)) {
        log_line(palette.red, "http ",
                 "cannot listen on " + where + ":" + std::to_string(options.port) + " — " +
                     *failure + "; the run goes on without the API");
    } else {
        const std::string origin = "http://" + where + ":" + std::to_string(server_.port());
        log_line(palette.gray, "http ",
                 "API on " + origin + " · " + api_paths() + " · status page " + origin + "/");
    }
}

void ApiFeed::publish(const RunReading& reading, const RateHistory& history) {
    auto s = std::make_shared<ApiSnapshot>();
    s->taken = std::chrono::steady_clock::now();
    s->taken_unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    s->version = version_;
    s->engine = engine_;
    s->uptime_s = reading.uptime_s;
    s->rate_10s = history.average_rate(10);
    s->rate_60s = history.average_rate(60);
    s->rate_15m = history.average_rate(900);
    s->hashes_total = reading.hashes_total;
    s->accepted = reading.accepted;
    s->rejected = reading.rejected;
    s->blocks_found = reading.blocks_found;
    s->last_rejection = reading.last_rejection;
    s->intensity = reading.intensity;
    s->history = history.newest(RATE_CHART_SECONDS);
    s->dev_fee_active = reading.dev_fee_active;
    s->pause_reasons = reading.pause_reasons;
    if (reading.cpu_temperature_mc) s->cpu_temperature_c = *reading.cpu_temperature_mc / 1000.0;
    counts_.resize(thread_count_);
    for (size_t i = 0; i < thread_count_; ++i) {
        counts_[i] = reading.threads[i].hashes.load(std::memory_order_relaxed);
    }
    if (sampled_) {
        window_.append(counts_);
    } else {
        window_.rebase(counts_);
    }
    for (size_t i = 0; i < thread_count_; ++i) {
        const ThreadStats& t = reading.threads[i];
        const int32_t cpu = t.cpu.load(std::memory_order_relaxed);
        s->threads.push_back({.index = static_cast<int32_t>(i),
                              .cpu = cpu >= 0 ? std::optional<int32_t>(cpu) : std::nullopt,
                              .hashes = counts_[i],
                              .rate_10s = window_.rate(i),
                              .huge_pages = t.huge.load(std::memory_order_relaxed),
                              .history = window_.history(i).newest(RATE_CHART_SECONDS)});
        s->stale += t.stale.load(std::memory_order_relaxed);
    }
    if (reading.pool != nullptr) {
        const PoolStatus status = reading.pool->status();
        s->pool = PoolSnapshot{status, status.seconds_connected};
    }
    box_.publish(std::move(s));
}

}  // namespace orvo::qel
