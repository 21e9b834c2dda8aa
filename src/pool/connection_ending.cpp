#include "pool/connection_ending.h"

#include <cerrno>

namespace orvo::qel {
namespace {

long long whole_seconds(std::chrono::milliseconds d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

}  // namespace

ConnectionEnding ending_for_socket_error(int error) {
    // The kernel reports dead keepalive probes as a timed-out connection.
    return error == ETIMEDOUT ? ConnectionEnding::keepalive_timeout : ConnectionEnding::closed;
}

std::optional<std::string> ending_reason(ConnectionEnding ending, const PoolTiming& timing) {
    switch (ending) {
        case ConnectionEnding::closed:
        case ConnectionEnding::login_refused:
        case ConnectionEnding::tls_answer:
        case ConnectionEnding::closed_unheard:
        case ConnectionEnding::line_too_long:
            return std::nullopt;
        case ConnectionEnding::write_stalled:
            return "pool stopped reading: nothing could be sent for " +
                   std::to_string(whole_seconds(timing.send_timeout)) + " s";
        case ConnectionEnding::login_unanswered:
            return "no reply to the login within " +
                   std::to_string(whole_seconds(timing.login_timeout)) + " s";
        case ConnectionEnding::submit_unanswered:
            return "no reply to a share within " +
                   std::to_string(whole_seconds(timing.reply_timeout)) + " s";
        case ConnectionEnding::keepalive_timeout: {
            const auto silent =
                timing.keepalive_idle + timing.keepalive_interval * timing.keepalive_count;
            return "no sign of the pool for " + std::to_string(silent.count()) +
                   " s: keepalive probes unanswered";
        }
    }
    return std::nullopt;
}

}  // namespace orvo::qel
