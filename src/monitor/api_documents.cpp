#include "monitor/api_documents.h"

#include <cstdio>

#include "base/json_escape.h"

namespace orvo::qel {
namespace {

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

// ["api","temperature"]: the reasons that hold, in PAUSE_REASONS order.
std::string reason_names(PauseReasons reasons) {
    std::string out(1, '[');
    for (PauseReason reason : PAUSE_REASONS) {
        if ((reasons & static_cast<PauseReasons>(reason)) == 0) continue;
        if (out.size() > 1) out += ',';
        out += quoted(pause_reason_name(reason));
    }
    return out + ']';
}

}  // namespace

std::string two_decimals(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    return buf;
}

std::string one_decimal(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

std::string format_summary_json(const ApiSnapshot& s) {
    std::string out =
        "{\"version\":" + quoted(s.version) + ",\"algorithm\":\"argon2id-qel\"" +
        ",\"engine\":" + quoted(s.engine) + ",\"uptime_s\":" + std::to_string(s.uptime_s) +
        ",\"hashrate_hs\":{\"10s\":" + two_decimals(s.rate_10s) +
        ",\"60s\":" + two_decimals(s.rate_60s) + ",\"15m\":" + two_decimals(s.rate_15m) +
        "},\"shares\":{\"accepted\":" + std::to_string(s.accepted) +
        ",\"rejected\":" + std::to_string(s.rejected) + ",\"stale\":" + std::to_string(s.stale) +
        ",\"last_rejection\":" +
        (s.last_rejection.empty() ? std::string("null") : quoted(s.last_rejection)) +
        "},\"blocks_found\":" + std::to_string(s.blocks_found) +
        ",\"intensity\":" + std::to_string(s.intensity) + ",\"threads\":[";
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
               ",\"tls_pinned\":" + boolean(p.tls_pinned) +
               ",\"proxy\":" + (p.proxy.empty() ? std::string("null") : quoted(p.proxy)) +
               ",\"tls_fingerprint\":" +
               (p.tls_fingerprint.empty() ? std::string("null") : quoted(p.tls_fingerprint)) +
               ",\"reconnects\":" + std::to_string(p.reconnects) +
               ",\"failovers\":" + std::to_string(p.failovers) +
               ",\"job_height\":" + number_or_null(p.job_height) +
               ",\"job_difficulty\":" + number_or_null(p.job_difficulty) + "}";
    } else {
        out += "null";
    }
    out += ",\"dev_fee_active\":";
    out += boolean(s.dev_fee_active);
    out += ",\"paused\":";
    out += boolean(s.pause_reasons != 0);
    out += ",\"pause_reasons\":" + reason_names(s.pause_reasons);
    out += ",\"cpu_temperature_c\":";
    out += s.cpu_temperature_c ? one_decimal(*s.cpu_temperature_c) : std::string("null");
    out += ",\"taken_unix_ms\":" + std::to_string(s.taken_unix_ms) + "}";
    return out;
}

std::string format_pause_state_json(PauseReasons reasons) {
    return std::string("{\"paused\":") + boolean(reasons != 0) +
           ",\"reasons\":" + reason_names(reasons) + "}";
}

std::string format_history_json(const ApiSnapshot& s) {
    const auto series = [](const std::vector<uint64_t>& samples) {
        std::string out(1, '[');
        for (size_t i = 0; i < samples.size(); ++i) {
            if (i > 0) out += ',';
            out += std::to_string(samples[i]);
        }
        return out + ']';
    };
    std::string out = "{\"resolution_s\":1,\"taken_unix_ms\":" + std::to_string(s.taken_unix_ms) +
                      ",\"total_hs\":" + series(s.history) + ",\"threads\":[";
    for (size_t i = 0; i < s.threads.size(); ++i) {
        if (i > 0) out += ',';
        out += "{\"index\":" + std::to_string(s.threads[i].index) +
               ",\"hs\":" + series(s.threads[i].history) + "}";
    }
    return out + "]}";
}

std::string format_mmpos_json(const ApiSnapshot& s) {
    std::string busid, hash;
    for (size_t i = 0; i < s.threads.size(); ++i) {
        if (i > 0) {
            busid += ',';
            hash += ',';
        }
        busid += "\"cpu\"";
        // A paused miner reports 0 at once, as the farm expects of a rig that does not hash,
        // rather than a rate that fades over ten seconds.
        hash += two_decimals(s.pause_reasons != 0 ? 0.0 : s.threads[i].rate_10s);
    }
    // air: accepted, invalid, rejected; the pool's verdict has no separate "invalid".
    return "{\"busid\":[" + busid + "],\"hash\":[" + hash + "],\"units\":\"hs\",\"air\":[\"" +
           std::to_string(s.accepted) + "\",\"0\",\"" + std::to_string(s.rejected) +
           "\"],\"miner_name\":\"mintrakel\",\"miner_version\":" + quoted(s.version) + "}";
}

}  // namespace orvo::qel
