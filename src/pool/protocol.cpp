// The message layer of the pool client: login, incoming lines, jobs and share submissions.
#include <cstring>

#include "pool/hex.h"
#include "pool/json.h"
#include "pool/pool.h"

namespace orvo::qel {
namespace {

constexpr uint64_t LOGIN_ID = 1;
constexpr uint64_t NO_NONCE_END = ~uint64_t{0};

bool is_accepted_status(const std::string& status) {
    return status.empty() || status == "OK" || status == "ok" || status == "accepted";
}

// Decodes pair by pair into the zeroed buffer and stops at the first bad pair: a damaged
// network target only weakens the block announcement, it never rejects the job.
void decode_network_target(const std::string& text, uint8_t out[32]) {
    std::memset(out, 0, 32);
    if (text.size() != 64) return;
    for (size_t i = 0; i < 32; ++i) {
        int hi = hex_digit_value(text[2 * i]);
        int lo = hex_digit_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return;
        out[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
}

}  // namespace

void Pool::send_login() {
    std::string line = "{\"id\":1,\"method\":\"login\",\"params\":{\"address\":\"";
    line += json_escape(address);
    line += "\",\"worker\":\"";
    line += json_escape(worker);
    line +=
        "\",\"protocol_version\":2,\"capabilities\":[\"submit_claimed_hash\"],"
        "\"difficulty_hint\":null}}";
    // Awaited before it is queued: the reply may come before send_line returns.
    pending.add(LOGIN_ID, PendingReplies::Clock::now());
    if (!send_line(line)) pending.take(LOGIN_ID);
}

void Pool::submit(const std::string& job_id, uint64_t nonce, const uint8_t* hash32) {
    const uint64_t id = next_submit_id.fetch_add(1);
    std::string line = "{\"id\":";
    line += std::to_string(id);
    line += ",\"method\":\"submit\",\"params\":{\"job_id\":\"";
    line += json_escape(job_id);
    line += "\",\"nonce\":";
    line += std::to_string(nonce);
    line += ",\"claimed_hash\":\"";
    line += to_hex(hash32, 32);
    line += "\"}}";
    pending.add(id, PendingReplies::Clock::now());
    if (!send_line(line)) pending.take(id);
}

void Pool::apply_job(const JsonValue& source) {
    Job next;
    next.job_id = source.get_string("job_id", "");
    if (!decode_hex_exact(source.get_string("header_base", ""), next.header_base,
                          sizeof next.header_base) ||
        !decode_hex_exact(source.get_string("target", ""), next.target, sizeof next.target)) {
        log("job rejected: bad header_base/target");
        return;
    }
    decode_network_target(source.get_string("network_target", ""), next.network_target);
    next.height = source.get_u64("height", 0);
    next.nonce_start = source.get_u64("nonce_start", 0);
    next.nonce_end = source.get_u64("nonce_end", NO_NONCE_END);
    next.difficulty = source.get_u64("difficulty", 0);
    next.valid = !next.job_id.empty();
    const std::string announcement = "new job \xE2\x80\x94 height " + std::to_string(next.height) +
                                     ", difficulty " + std::to_string(next.difficulty);
    {
        // job_seq advances before the fields change, inside the lock: a hashing thread that
        // sees the new value takes this lock to copy and so always copies a complete job.
        std::lock_guard<std::mutex> lock(job_mutex);
        next.seq = job_seq.fetch_add(1) + 1;
        next.conn_gen = conn_gen.load();
        job = std::move(next);
    }
    log(announcement);
}

void Pool::handle_line(const std::string& line) {
    JsonValue message;
    if (!parse_json(line, message)) return;
    const JsonValue* params = message.find("params");
    const std::string method = message.get_string("method", "");

    if (method == "job" && params != nullptr) {
        apply_job(*params);
        return;
    }
    if (method == "notification" && params != nullptr) {
        const JsonValue* kind = params->find("kind");
        if (kind == nullptr || kind->kind != JsonKind::string) kind = params->find("type");
        const bool named = kind != nullptr && kind->kind == JsonKind::string;
        log("pool notice: " + (named ? kind->text : std::string("notification")));
        return;
    }
    if (message.find("id") == nullptr) return;

    const uint64_t id = message.get_u64("id", 0);
    pending.take(id);  // answered: no longer counts against the reply deadlines
    const std::string error = message.get_string("error", "");
    if (id == LOGIN_ID) {
        if (!error.empty()) {
            log("login refused: " + error);
            return;
        }
        const JsonValue* result = message.find("result");
        if (result != nullptr && result->find("job_id") != nullptr) apply_job(*result);
        log("logged in");
        return;
    }

    const std::string status = message.get_string("status", "");
    if (!on_result) return;
    if (!error.empty()) {
        on_result(false, error);
    } else if (is_accepted_status(status)) {
        on_result(true, status);
    } else {
        on_result(false, error);
    }
}

}  // namespace orvo::qel
