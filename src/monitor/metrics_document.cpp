// The Prometheus text exposition of a snapshot.
#include <cinttypes>
#include <cstdio>

#include "monitor/api_documents.h"

namespace orvo::qel {
namespace {

// A label value in the exposition format: backslash, double quote and line feed escaped.
std::string label_value(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string thread_labels(const ThreadSnapshot& t) {
    return "{thread=\"" + std::to_string(t.index) + "\",cpu=\"" +
           (t.cpu ? std::to_string(*t.cpu) : std::string("none")) + "\"}";
}

// One metric family: its HELP and TYPE lines, then its samples.
void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels,
            const std::string& value) {
    out += name;
    out += labels;
    out += ' ';
    out += value;
    out += '\n';
}

}  // namespace

std::string format_metrics(const ApiSnapshot& s) {
    std::string out;
    family(out, "mintrakel_build_info", "gauge", "Version and hash engine of the running miner.");
    sample(out, "mintrakel_build_info",
           "{version=\"" + label_value(s.version) + "\",engine=\"" + label_value(s.engine) + "\"}",
           "1");
    family(out, "mintrakel_uptime_seconds", "gauge", "Seconds since the hashing threads started.");
    sample(out, "mintrakel_uptime_seconds", "", std::to_string(s.uptime_s));
    family(out, "mintrakel_threads", "gauge", "Hashing threads of the run.");
    sample(out, "mintrakel_threads", "", std::to_string(s.threads.size()));
    family(out, "mintrakel_hashes_total", "counter", "Hashes computed by all threads.");
    sample(out, "mintrakel_hashes_total", "", std::to_string(s.hashes_total));
    family(out, "mintrakel_thread_hashes_total", "counter", "Hashes computed by one thread.");
    for (const ThreadSnapshot& t : s.threads) {
        sample(out, "mintrakel_thread_hashes_total", thread_labels(t), std::to_string(t.hashes));
    }
    family(out, "mintrakel_thread_hashrate_hashes_per_second", "gauge",
           "Hash rate of one thread over the last 10 seconds.");
    for (const ThreadSnapshot& t : s.threads) {
        sample(out, "mintrakel_thread_hashrate_hashes_per_second", thread_labels(t),
               two_decimals(t.rate_10s));
    }
    family(out, "mintrakel_hashrate_hashes_per_second", "gauge",
           "Hash rate of all threads over a window, as on the speed line.");
    sample(out, "mintrakel_hashrate_hashes_per_second", "{window=\"10s\"}",
           two_decimals(s.rate_10s));
    sample(out, "mintrakel_hashrate_hashes_per_second", "{window=\"60s\"}",
           two_decimals(s.rate_60s));
    sample(out, "mintrakel_hashrate_hashes_per_second", "{window=\"15m\"}",
           two_decimals(s.rate_15m));
    family(out, "mintrakel_shares_accepted_total", "counter", "Shares the pool accepted.");
    sample(out, "mintrakel_shares_accepted_total", "", std::to_string(s.accepted));
    family(out, "mintrakel_shares_rejected_total", "counter", "Shares the pool rejected.");
    sample(out, "mintrakel_shares_rejected_total", "", std::to_string(s.rejected));
    family(out, "mintrakel_blocks_found_total", "counter",
           "Hashes that met the network target (block candidates).");
    sample(out, "mintrakel_blocks_found_total", "", std::to_string(s.blocks_found));
    const bool connected = s.pool && s.pool->status.connected;
    family(out, "mintrakel_pool_connected", "gauge", "1 while connected to a pool.");
    sample(out, "mintrakel_pool_connected", "", connected ? "1" : "0");
    family(out, "mintrakel_pool_backup", "gauge", "1 while a pool other than the first is in use.");
    sample(out, "mintrakel_pool_backup", "", s.pool && s.pool->status.backup ? "1" : "0");
    family(out, "mintrakel_pool_reconnects_total", "counter",
           "Pool connections lost and made again.");
    sample(out, "mintrakel_pool_reconnects_total", "",
           std::to_string(s.pool ? s.pool->status.reconnects : 0));
    family(out, "mintrakel_dev_fee_active", "gauge", "1 during the developer-fee minute.");
    sample(out, "mintrakel_dev_fee_active", "", s.dev_fee_active ? "1" : "0");
    family(out, "mintrakel_paused", "gauge", "1 while hashing is paused for the reason.");
    for (PauseReason reason : PAUSE_REASONS) {
        sample(out, "mintrakel_paused",
               std::string("{reason=\"") + pause_reason_name(reason) + "\"}",
               (s.pause_reasons & static_cast<PauseReasons>(reason)) != 0 ? "1" : "0");
    }
    if (s.cpu_temperature_c) {
        family(out, "mintrakel_cpu_temperature_celsius", "gauge",
               "CPU package temperature, the hottest package.");
        sample(out, "mintrakel_cpu_temperature_celsius", "", one_decimal(*s.cpu_temperature_c));
    }
    family(out, "mintrakel_snapshot_timestamp_seconds", "gauge",
           "Unix time at which the miner's main loop took these numbers.");
    char taken[32];
    std::snprintf(taken, sizeof taken, "%" PRId64 ".%03" PRId64, s.taken_unix_ms / 1000,
                  s.taken_unix_ms % 1000);
    sample(out, "mintrakel_snapshot_timestamp_seconds", "", taken);
    return out;
}

}  // namespace orvo::qel
