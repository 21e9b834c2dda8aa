#include "monitor/api_snapshot.h"

#include <cinttypes>
#include <cstdio>

#include "base/json_escape.h"

namespace orvo::qel {
namespace {

// Rates as the speed line shows them: two decimals, "." whatever the environment (the miner
// never switches to the user's locale).
std::string two_decimals(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    return buf;
}

std::string quoted(const std::string& text) {
    std::string out(1, '"');
    out += json_escape(text);
    out += '"';
    return out;
}

template <typename T>
std::string number_or_null(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "null";
}

const char* boolean(bool b) {
    return b ? "true" : "false";
}

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

void ThreadRateWindow::append(const std::vector<uint64_t>& counts) {
    for (size_t i = 0; i < histories_.size() && i < counts.size(); ++i) {
        histories_[i].append(counts[i] - previous_[i]);
        previous_[i] = counts[i];
    }
}

void ThreadRateWindow::rebase(const std::vector<uint64_t>& counts) {
    for (size_t i = 0; i < previous_.size() && i < counts.size(); ++i) previous_[i] = counts[i];
}

double ThreadRateWindow::rate(size_t thread) const {
    return thread < histories_.size() ? histories_[thread].average_rate(WINDOW) : 0.0;
}

void SnapshotBox::publish(std::shared_ptr<const ApiSnapshot> snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_.swap(snapshot);
    // The old snapshot (now in `snapshot`) is released after the lock, outside the reader's way.
}

std::shared_ptr<const ApiSnapshot> SnapshotBox::latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
}

std::string format_summary_json(const ApiSnapshot& s) {
    std::string out =
        "{\"version\":" + quoted(s.version) + ",\"algorithm\":\"argon2id-qel\"" +
        ",\"engine\":" + quoted(s.engine) + ",\"uptime_s\":" + std::to_string(s.uptime_s) +
        ",\"hashrate_hs\":{\"10s\":" + two_decimals(s.rate_10s) +
        ",\"60s\":" + two_decimals(s.rate_60s) + ",\"15m\":" + two_decimals(s.rate_15m) +
        "},\"shares\":{\"accepted\":" + std::to_string(s.accepted) +
        ",\"rejected\":" + std::to_string(s.rejected) +
        "},\"blocks_found\":" + std::to_string(s.blocks_found) + ",\"threads\":[";
    for (size_t i = 0; i < s.threads.size(); ++i) {
        const ThreadSnapshot& t = s.threads[i];
        if (i > 0) out += ',';
        out += "{\"index\":" + std::to_string(t.index) + ",\"cpu\":" + number_or_null(t.cpu) +
               ",\"hashes\":" + std::to_string(t.hashes) +
               ",\"hashrate_10s_hs\":" + two_decimals(t.rate_10s) +
               ",\"huge_pages\":" + boolean(t.huge_pages) + "}";
    }
    out += "],\"pool\":";
    if (s.pool) {
        const PoolStatus& p = s.pool->status;
        out += "{\"host\":" + quoted(p.host) + ",\"port\":" + std::to_string(p.port) +
               ",\"connected\":" + boolean(p.connected) +
               ",\"connected_s\":" + std::to_string(s.pool->connected_s) +
               ",\"backup\":" + boolean(p.backup) + ",\"tls\":" + boolean(p.tls) +
               ",\"tls_fingerprint\":" +
               (p.tls_fingerprint.empty() ? std::string("null") : quoted(p.tls_fingerprint)) +
               ",\"reconnects\":" + std::to_string(p.reconnects) +
               ",\"job_height\":" + number_or_null(p.job_height) +
               ",\"job_difficulty\":" + number_or_null(p.job_difficulty) + "}";
    } else {
        out += "null";
    }
    out += ",\"dev_fee_active\":";
    out += boolean(s.dev_fee_active);
    out += ",\"taken_unix_ms\":" + std::to_string(s.taken_unix_ms) + "}";
    return out;
}

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
    family(out, "mintrakel_snapshot_timestamp_seconds", "gauge",
           "Unix time at which the miner's main loop took these numbers.");
    char taken[32];
    std::snprintf(taken, sizeof taken, "%" PRId64 ".%03" PRId64, s.taken_unix_ms / 1000,
                  s.taken_unix_ms % 1000);
    sample(out, "mintrakel_snapshot_timestamp_seconds", "", taken);
    return out;
}

std::string format_mmpos_json(const ApiSnapshot& s) {
    std::string busid, hash;
    for (size_t i = 0; i < s.threads.size(); ++i) {
        if (i > 0) {
            busid += ',';
            hash += ',';
        }
        busid += "\"cpu\"";
        hash += two_decimals(s.threads[i].rate_10s);
    }
    // air: accepted, invalid, rejected; the pool's verdict has no separate "invalid".
    return "{\"busid\":[" + busid + "],\"hash\":[" + hash + "],\"units\":\"hs\",\"air\":[\"" +
           std::to_string(s.accepted) + "\",\"0\",\"" + std::to_string(s.rejected) +
           "\"],\"miner_name\":\"mintrakel\",\"miner_version\":" + quoted(s.version) + "}";
}

}  // namespace orvo::qel
