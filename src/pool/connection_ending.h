// Why a pool connection ended, and the line that says so before "connection lost".
#pragma once

#include <optional>
#include <string>

#include "pool/pool_timing.h"

namespace orvo::qel {

enum class ConnectionEnding {
    closed,             // the pool closed it, or the socket failed without a reason to give
    write_stalled,      // bytes waited send_timeout and the pool took none of them
    login_unanswered,   // no login reply, and no job, within login_timeout
    submit_unanswered,  // the oldest submit had no reply within reply_timeout
    login_refused,      // with backup pools: a refused login counts as a failed attempt
    keepalive_timeout,  // the kernel's keepalive probes went unanswered
    tls_answer,         // a plain connection was answered in TLS: the pool wants stratum+ssl://
    closed_unheard,     // a plain connection closed before the pool sent a single byte
    line_too_long,      // the pool sent more than POOL_MAX_PARTIAL_LINE bytes without a line feed
};

// The ending a failed receive (or a socket error reported by poll) means, from its errno.
ConnectionEnding ending_for_socket_error(int error);

// The line that explains the ending; none when it needs no explaining (the pool closed, or the
// refusal was logged when it came).
std::optional<std::string> ending_reason(ConnectionEnding ending, const PoolTiming& timing);

}  // namespace orvo::qel
