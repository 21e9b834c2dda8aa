// The HTTP endpoint's answers, apart from any socket: which request gets which status and
// document. GET and HEAD read the API's documents and the status page's files; POST on the
// control paths pauses and resumes hashing.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/run_control.h"
#include "monitor/api_documents.h"
#include "monitor/api_snapshot.h"

namespace orvo::qel {

// Longest request head (request line and header fields) the endpoint reads; longer ones are
// answered 431 and the connection closed.
inline constexpr size_t HTTP_MAX_HEAD_BYTES = 8192;

// Numbers older than this are not served: the main loop publishes once a second, so five missed
// ticks mean it is stalled (a console that does not drain, a hung system call), and a miner whose
// main loop is stalled must not look alive to a farm's watchdog or a scraper's alert.
inline constexpr std::chrono::seconds API_STALE_AFTER{5};

struct HttpAnswer {
    int status = 200;
    std::string content_type;  // empty for answers without a document
    std::string body;
    bool challenge = false;  // a 401: the answer carries WWW-Authenticate: Bearer
    std::string allow = {};  // a 405: the methods the path takes, for the Allow field
    // Header fields every answer carries: the page may load nothing but the miner's own files,
    // and no browser may read a document as another type than the one it is sent as.
    std::vector<std::pair<std::string_view, std::string_view>> headers = {};
};

inline constexpr std::string_view CONTENT_SECURITY_POLICY =
    "default-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// One path of the endpoint: a document that GET and HEAD read, or, with an action, a control
// that POST applies to the run (the document is then the run's pause state).
struct ApiRoute {
    std::string_view path;
    std::string_view content_type;
    std::string (*document)(const ApiSnapshot&) = nullptr;
    // A file of the status page: served without the token (the page asks for it) and whatever
    // the snapshot's age, as it shows no number.
    bool page_file = false;
    bool (RunControl::*action)(PauseReason) = nullptr;
};
// The methods a route takes: "GET, HEAD" for a document, "POST" for a control.
std::string_view route_methods(const ApiRoute& route);

// Every path the endpoint serves, in the order the "http " line names them.
std::span<const ApiRoute> api_routes();
// The API's paths (not the page's files), separated by blanks: "/api/v1/summary /metrics ...".
std::string api_paths();

// The answer to `method` on `target` (a query string is ignored). With a non-empty `token` the
// request's Authorization field must be exactly "Bearer " and the token, else 401; the check
// comes first, so nothing about the endpoint shows without it but the status page's own files.
// Unknown paths get 404, a method the path does not take 405 with the path's methods. A control
// is served only with a token (any local process or web page could otherwise stop the rig):
// without one it gets 403 with a one-line reason. A control pauses or resumes `control` for the
// reason "api" and answers 200 with the pause state, whatever the age of the snapshot. A
// snapshot taken API_STALE_AFTER or
// longer before `now` gives 503 with a one-line reason instead of its document. A HEAD answer
// carries the GET body; the server sends only its length.
HttpAnswer answer_request(std::string_view method, std::string_view target,
                          std::string_view authorization, const std::string& token,
                          const ApiSnapshot& snapshot, std::chrono::steady_clock::time_point now,
                          RunControl& control);

}  // namespace orvo::qel
