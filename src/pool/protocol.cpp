// The message layer of the pool client: login, incoming lines, jobs and share submissions.
#include <algorithm>
#include <cstring>
#include <optional>

#include "base/console.h"
#include "base/hex.h"
#include "pool/json.h"
#include "pool/pool.h"

namespace orvo::qel {
namespace {

constexpr uint64_t NO_NONCE_END = ~uint64_t{0};

bool is_accepted_status(const std::string& status) {
    return status.empty() || status == "OK" || status == "ok" || status == "accepted";
}

// The request id a reply answers. Ids go out as plain decimal numbers, so only a JSON number
// written that way (no sign, leading zero, fraction or exponent) can be one of them: the string
// "1", 01, 1.0 or null answer nothing.
std::optional<uint64_t> reply_id(const JsonValue& id) {
    const std::string& t = id.text;
    if (id.kind != JsonKind::number || t.empty() || t.size() > 20) return std::nullopt;
    if (t.size() > 1 && t[0] == '0') return std::nullopt;
    uint64_t value = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (NO_NONCE_END - digit) / 10) return std::nullopt;  // above 2^64 - 1
        value = value * 10 + digit;
    }
    return value;
}

// The reason an "error" member gives, or nothing when it reports no error: absent, null, false
// and the empty string are "no error"; a string is its own reason; an object gives its
// "message" string when it has one; anything else (or an object without one) its JSON text.
std::optional<std::string> error_reason(const JsonValue* error) {
    if (error == nullptr) return std::nullopt;
    switch (error->kind) {
        case JsonKind::null:
            return std::nullopt;
        case JsonKind::boolean:
            if (!error->flag) return std::nullopt;
            break;
        case JsonKind::string:
            if (error->text.empty()) return std::nullopt;
            return clip_pool_text(error->text);
        case JsonKind::object: {
            const JsonValue* message = error->find("message");
            if (message != nullptr && message->kind == JsonKind::string) {
                return clip_pool_text(message->text);
            }
            break;
        }
        default:
            break;
    }
    return clip_pool_text(json_text(*error));
}

}  // namespace

void Pool::send_login() {
    std::string line = "{\"id\":1,\"method\":\"login\",\"params\":{\"address\":\"";
    line += json_escape(config_.address);
    line += "\",\"worker\":\"";
    line += json_escape(config_.worker);
    line +=
        "\",\"protocol_version\":2,\"capabilities\":[\"submit_claimed_hash\"],"
        "\"difficulty_hint\":null}}";
    // Awaited before it is queued: the reply may come before send_line returns.
    pending_.add(LOGIN_ID, PendingReplies::Clock::now());
    if (!send_line(line)) pending_.take(LOGIN_ID);
}

void Pool::submit(const std::string& job_id, uint64_t nonce, const uint8_t* hash32) {
    const uint64_t id = next_submit_id_.fetch_add(1);
    std::string line = "{\"id\":";
    line += std::to_string(id);
    line += ",\"method\":\"submit\",\"params\":{\"job_id\":\"";
    line += json_escape(job_id);
    line += "\",\"nonce\":";
    line += std::to_string(nonce);
    line += ",\"claimed_hash\":\"";
    line += to_hex(hash32, 32);
    line += "\"}}";
    // Registered before the line leaves, so even an instant reply finds its id.
    pending_.add(id, PendingReplies::Clock::now());
    if (!send_line(line)) pending_.take(id);
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
    // Anything but exactly 64 hex digits is no network target (all zero): a partly decoded one
    // would be a far easier target than the pool meant and announce false block candidates.
    if (!decode_hex_exact(source.get_string("network_target", ""), next.network_target,
                          sizeof next.network_target)) {
        std::memset(next.network_target, 0, sizeof next.network_target);
    }
    next.height = source.get_u64("height", 0);
    next.nonce_start = source.get_u64("nonce_start", 0);
    next.nonce_end = source.get_u64("nonce_end", NO_NONCE_END);
    next.difficulty = source.get_u64("difficulty", 0);
    next.valid = !next.job_id.empty();

    const std::string announcement = "new job \xE2\x80\x94 height " + std::to_string(next.height) +
                                     ", difficulty " + std::to_string(next.difficulty);
    const uint64_t height = next.height;
    const uint64_t difficulty = next.difficulty;
    // Logged only after the board has let go of its lock: a hashing thread must never wait for
    // the console.
    board_.publish(std::move(next));
    last_height_ = height;
    last_difficulty_ = difficulty;
    had_job_ = true;
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
        log("pool notice: " + (named ? clip_pool_text(kind->text) : std::string("notification")));
        return;
    }
    // A message with a method is a request or notice of the pool, never a reply.
    const JsonValue* id_member = message.find("id");
    if (id_member == nullptr || message.find("method") != nullptr) return;

    // A reply counts once, and only for a request of this connection still awaiting it: ids
    // never sent, answered before or sent on an earlier connection are ignored.
    const std::optional<uint64_t> id = reply_id(*id_member);
    if (!id || !pending_.take(*id)) return;

    const std::optional<std::string> error = error_reason(message.find("error"));
    if (*id == LOGIN_ID) {
        if (error) {
            log("login refused: " + *error);
            // With backups the refusal is a failed attempt, so failover can move on; a single
            // pool keeps the connection (jobs that come later are still used).
            if (pools_.size() > 1) login_refused_ = true;
            return;
        }
        const JsonValue* result = message.find("result");
        if (result != nullptr && result->find("job_id") != nullptr) apply_job(*result);
        log("logged in");
        return;
    }

    const std::string status = message.get_string("status", "");
    if (!on_result_) return;
    if (error) {
        on_result_(false, *error);
    } else if (is_accepted_status(status)) {
        on_result_(true, status);
    } else {
        on_result_(false, "");
    }
}

}  // namespace orvo::qel
