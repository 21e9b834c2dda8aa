#include "monitor/http_api.h"

#include "monitor/status_page.h"

namespace orvo::qel {
namespace {

// Compares in time that depends only on the lengths, so the token cannot be guessed byte by
// byte from response times.
bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        diff = static_cast<unsigned char>(
            diff | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
    }
    return diff == 0;
}

HttpAnswer with_headers(HttpAnswer a) {
    a.headers = {{"Content-Security-Policy", CONTENT_SECURITY_POLICY},
                 {"X-Content-Type-Options", "nosniff"}};
    return a;
}

HttpAnswer text_answer(int status, std::string body) {
    return with_headers({status, "text/plain; charset=utf-8", std::move(body), false});
}

std::string page_html(const ApiSnapshot&) {
    return std::string(status_page_html());
}
std::string page_script(const ApiSnapshot&) {
    return std::string(status_page_script());
}
std::string page_style(const ApiSnapshot&) {
    return std::string(status_page_style());
}

std::string summary_document(const ApiSnapshot& s) {
    return format_summary_json(s) + "\n";
}

constexpr ApiRoute ROUTES[] = {
    {"/api/v1/summary", "application/json", summary_document},
    {"/api/v1/history", "application/json", format_history_json},
    {"/metrics", "text/plain; version=0.0.4; charset=utf-8", format_metrics},
    {"/mmpos", "application/json", format_mmpos_json},
    {"/api/v1/pause", "application/json", nullptr, false, &RunControl::pause},
    {"/api/v1/resume", "application/json", nullptr, false, &RunControl::resume},
    {"/", "text/html; charset=utf-8", page_html, true},
    {"/page.js", "text/javascript; charset=utf-8", page_script, true},
    {"/page.css", "text/css; charset=utf-8", page_style, true},
};

}  // namespace

std::string_view route_methods(const ApiRoute& route) {
    return route.action != nullptr ? "POST" : "GET, HEAD";
}

std::span<const ApiRoute> api_routes() {
    return ROUTES;
}

std::string api_paths() {
    std::string paths;
    for (const ApiRoute& route : ROUTES) {
        if (route.page_file) continue;
        if (!paths.empty()) paths += ' ';
        paths += route.path;
    }
    return paths;
}

HttpAnswer answer_request(std::string_view method, std::string_view target,
                          std::string_view authorization, const std::string& token,
                          const ApiSnapshot& snapshot, std::chrono::steady_clock::time_point now,
                          RunControl& control) {
    const std::string_view path = target.substr(0, target.find('?'));
    const ApiRoute* route = nullptr;
    for (const ApiRoute& r : api_routes()) {
        if (path == r.path) route = &r;
    }
    const bool page_file = route != nullptr && route->page_file;
    if (!page_file && !token.empty() && !same_text(authorization, "Bearer " + token)) {
        HttpAnswer a = text_answer(401, "unauthorized\n");
        a.challenge = true;
        return a;
    }
    if (route == nullptr) return text_answer(404, "not found\n");
    const bool allowed =
        route->action != nullptr ? method == "POST" : method == "GET" || method == "HEAD";
    if (!allowed) {
        HttpAnswer a = text_answer(405, "method not allowed\n");
        a.allow = route_methods(*route);
        return a;
    }
    if (route->action != nullptr) {
        if (token.empty()) {
            return text_answer(403,
                               "pause and resume need --http-token: without it any "
                               "local program or web page could stop the miner\n");
        }
        (control.*route->action)(PauseReason::api);
        return with_headers({200, std::string(route->content_type),
                             format_pause_state_json(control.pause_reasons()) + "\n", false});
    }
    if (page_file) {
        return with_headers(
            {200, std::string(route->content_type), route->document(snapshot), false});
    }
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - snapshot.taken);
    if (age >= API_STALE_AFTER) {
        return text_answer(503, "no fresh numbers for " + std::to_string(age.count()) +
                                    " s: the miner's main loop is stalled\n");
    }
    return with_headers({200, std::string(route->content_type), route->document(snapshot), false});
}

}  // namespace orvo::qel
