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
    return with_headers({status, "text/plain; charset=utf-8", std::move(body), false, {}});
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
    {"/", "text/html; charset=utf-8", page_html, true},
    {"/page.js", "text/javascript; charset=utf-8", page_script, true},
    {"/page.css", "text/css; charset=utf-8", page_style, true},
};

}  // namespace

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
                          const ApiSnapshot& snapshot, std::chrono::steady_clock::time_point now) {
    const std::string_view path = target.substr(0, target.find('?'));
    const ApiRoute* page_file = nullptr;
    for (const ApiRoute& route : api_routes()) {
        if (route.page_file && path == route.path) page_file = &route;
    }
    if (page_file == nullptr && !token.empty() && !same_text(authorization, "Bearer " + token)) {
        HttpAnswer a = text_answer(401, "unauthorized\n");
        a.challenge = true;
        return a;
    }
    if (method != "GET" && method != "HEAD") return text_answer(405, "method not allowed\n");
    if (page_file != nullptr) {
        return with_headers(
            {200, std::string(page_file->content_type), page_file->document(snapshot), false, {}});
    }
    for (const ApiRoute& route : api_routes()) {
        if (path != route.path) continue;
        const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - snapshot.taken);
        if (age >= API_STALE_AFTER) {
            return text_answer(503, "no fresh numbers for " + std::to_string(age.count()) +
                                        " s: the miner's main loop is stalled\n");
        }
        return with_headers(
            {200, std::string(route.content_type), route.document(snapshot), false, {}});
    }
    return text_answer(404, "not found\n");
}

}  // namespace orvo::qel
