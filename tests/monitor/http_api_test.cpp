// The HTTP endpoint's documents and answers, without sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/api_documents.h"
#include "monitor/api_snapshot.h"
#include "monitor/http_api.h"
#include "monitor/thread_rate_window.h"
#include "pool/json.h"

namespace orvo::qel {
namespace {

ApiSnapshot mining_snapshot() {
    ApiSnapshot s;
    s.version = "1.0.1";
    s.engine = "avx2";
    s.uptime_s = 130;
    s.rate_10s = 1520.404;
    s.rate_60s = 1519.95;
    s.rate_15m = 1500.125;
    s.hashes_total = 38334;
    s.accepted = 12;
    s.rejected = 3;
    s.blocks_found = 1;
    s.stale = 4;
    s.last_rejection = "low \"difficulty\"";
    s.intensity = 2;
    s.history = {1400, 1520};
    s.threads = {{0, 3, 19234, 760.2, true, {700, 760}},
                 {1, std::nullopt, 19100, 760.2, false, {}}};
    PoolStatus p;
    p.host = "pool.example \"q\"";
    p.port = 3333;
    p.connected = true;
    p.reconnects = 2;
    p.backup = true;
    p.tls = true;
    p.tls_fingerprint = std::string(64, 'c');
    p.tls_pinned = true;
    p.failovers = 1;
    p.proxy = "socks5h://u@[::1]:1080";
    p.job_height = 1234;
    p.job_difficulty = 5000;
    s.pool = PoolSnapshot{p, 120};
    s.pause_reasons = static_cast<PauseReasons>(PauseReason::temperature);
    s.cpu_temperature_c = 91.25;
    s.taken_unix_ms = 1765187000042;
    return s;
}

JsonValue parsed(const std::string& text) {
    JsonValue v;
    EXPECT_TRUE(parse_json(text, v)) << text;
    return v;
}

TEST(HttpApi, SummaryCarriesEveryMemberWithItsType) {
    const JsonValue v = parsed(format_summary_json(mining_snapshot()));
    EXPECT_EQ(v.get_string("version", ""), "1.0.1");
    EXPECT_EQ(v.get_string("algorithm", ""), "argon2id-qel");
    EXPECT_EQ(v.get_string("engine", ""), "avx2");
    EXPECT_EQ(v.get_u64("uptime_s", 0), 130u);
    const JsonValue* rates = v.find("hashrate_hs");
    ASSERT_NE(rates, nullptr);
    // Two decimals, as on the speed line.
    EXPECT_EQ(rates->find("10s")->text, "1520.40");
    EXPECT_EQ(rates->find("60s")->text, "1519.95");
    EXPECT_EQ(rates->find("15m")->text, "1500.12");
    EXPECT_EQ(v.find("shares")->get_u64("accepted", 0), 12u);
    EXPECT_EQ(v.find("shares")->get_u64("rejected", 0), 3u);
    EXPECT_EQ(v.find("shares")->get_u64("stale", 0), 4u);
    EXPECT_EQ(v.find("shares")->get_string("last_rejection", ""), "low \"difficulty\"");
    EXPECT_EQ(v.get_u64("blocks_found", 0), 1u);
    EXPECT_EQ(v.get_u64("intensity", 0), 2u);
    const JsonValue* threads = v.find("threads");
    ASSERT_NE(threads, nullptr);
    ASSERT_EQ(threads->elements.size(), 2u);
    EXPECT_EQ(threads->elements[0].get_u64("cpu", 99), 3u);
    EXPECT_EQ(threads->elements[1].find("cpu")->kind, JsonKind::null);
    EXPECT_EQ(threads->elements[1].get_u64("index", 99), 1u);
    EXPECT_EQ(threads->elements[1].get_u64("hashes", 0), 19100u);
    EXPECT_EQ(threads->elements[1].find("hashrate_10s_hs")->text, "760.20");
    EXPECT_TRUE(threads->elements[0].find("huge_pages")->flag);
    EXPECT_FALSE(threads->elements[1].find("huge_pages")->flag);
    const JsonValue* pool = v.find("pool");
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->get_string("host", ""), "pool.example \"q\"");  // escaped, read back whole
    EXPECT_EQ(pool->get_u64("port", 0), 3333u);
    EXPECT_TRUE(pool->find("connected")->flag);
    EXPECT_EQ(pool->get_u64("connected_s", 0), 120u);
    EXPECT_TRUE(pool->find("backup")->flag);
    EXPECT_TRUE(pool->find("tls")->flag);
    EXPECT_EQ(pool->get_string("tls_fingerprint", ""), std::string(64, 'c'));
    EXPECT_TRUE(pool->find("tls_pinned")->flag);
    EXPECT_EQ(pool->get_string("proxy", ""), "socks5h://u@[::1]:1080");
    EXPECT_EQ(pool->get_u64("reconnects", 0), 2u);
    EXPECT_EQ(pool->get_u64("failovers", 0), 1u);
    EXPECT_EQ(pool->get_u64("job_height", 0), 1234u);
    EXPECT_EQ(pool->get_u64("job_difficulty", 0), 5000u);
    EXPECT_EQ(v.find("dev_fee_active")->kind, JsonKind::boolean);
    EXPECT_TRUE(v.find("paused")->flag);
    ASSERT_EQ(v.find("pause_reasons")->elements.size(), 1u);
    EXPECT_EQ(v.find("pause_reasons")->elements[0].text, "temperature");
    EXPECT_EQ(v.find("cpu_temperature_c")->text, "91.2");
    EXPECT_EQ(v.get_u64("taken_unix_ms", 0), 1765187000042u);
}

TEST(HttpApi, SummaryNullsBeforeTheFirstJobAndInABenchmark) {
    ApiSnapshot s = mining_snapshot();
    s.pool->status.job_height.reset();
    s.pool->status.job_difficulty.reset();
    s.pool->status.tls_fingerprint.clear();  // before the first TLS connection
    s.last_rejection.clear();                // no share rejected yet
    s.pool->status.proxy.clear();
    JsonValue v = parsed(format_summary_json(s));
    EXPECT_EQ(v.find("shares")->find("last_rejection")->kind, JsonKind::null);
    EXPECT_EQ(v.find("pool")->find("proxy")->kind, JsonKind::null);
    EXPECT_EQ(v.find("pool")->find("tls_fingerprint")->kind, JsonKind::null);
    EXPECT_EQ(v.find("pool")->find("job_height")->kind, JsonKind::null);
    EXPECT_EQ(v.find("pool")->find("job_difficulty")->kind, JsonKind::null);
    s.pool.reset();
    s.threads.clear();
    v = parsed(format_summary_json(s));
    EXPECT_EQ(v.find("pool")->kind, JsonKind::null);
    EXPECT_EQ(v.find("threads")->kind, JsonKind::array);
    s.cpu_temperature_c.reset();  // no sensor
    s.pause_reasons = 0;
    v = parsed(format_summary_json(s));
    EXPECT_EQ(v.find("cpu_temperature_c")->kind, JsonKind::null);
    EXPECT_FALSE(v.find("paused")->flag);
    EXPECT_TRUE(v.find("pause_reasons")->elements.empty());
}

TEST(HttpApi, HistoryHasTheTotalAndEveryThreadOldestFirst) {
    const JsonValue v = parsed(format_history_json(mining_snapshot()));
    EXPECT_EQ(v.get_u64("resolution_s", 0), 1u);
    EXPECT_EQ(v.get_u64("taken_unix_ms", 0), 1765187000042u);
    const auto series = [](const JsonValue* array) {
        std::vector<uint64_t> out;
        for (const JsonValue& e : array->elements) out.push_back(std::stoull(e.text));
        return out;
    };
    EXPECT_EQ(series(v.find("total_hs")), (std::vector<uint64_t>{1400, 1520}));
    const JsonValue* threads = v.find("threads");
    ASSERT_EQ(threads->elements.size(), 2u);
    EXPECT_EQ(series(threads->elements[0].find("hs")), (std::vector<uint64_t>{700, 760}));
    EXPECT_EQ(threads->elements[1].get_u64("index", 0), 1u);
    EXPECT_EQ(threads->elements[1].find("hs")->elements.size(), 0u);
}

TEST(HttpApi, MmposHasOneEntryPerThreadAndStringCounts) {
    const JsonValue v = parsed(format_mmpos_json(mining_snapshot()));
    ASSERT_EQ(v.find("busid")->elements.size(), 2u);
    EXPECT_EQ(v.find("busid")->elements[1].text, "cpu");
    ASSERT_EQ(v.find("hash")->elements.size(), 2u);
    EXPECT_EQ(v.find("hash")->elements[0].kind, JsonKind::number);
    EXPECT_EQ(v.get_string("units", ""), "hs");
    const JsonValue* air = v.find("air");
    ASSERT_EQ(air->elements.size(), 3u);
    EXPECT_EQ(air->elements[0].text, "12");  // accepted, invalid, rejected
    EXPECT_EQ(air->elements[1].text, "0");
    EXPECT_EQ(air->elements[2].text, "3");
    EXPECT_EQ(air->elements[2].kind, JsonKind::string);
    EXPECT_EQ(v.get_string("miner_name", ""), "mintrakel");
    EXPECT_EQ(v.get_string("miner_version", ""), "1.0.1");
    // The snapshot is paused: its rates show as 0 at once; unpaused, the threads' own.
    EXPECT_EQ(v.find("hash")->elements[0].text, "0.00");
    ApiSnapshot hashing = mining_snapshot();
    hashing.pause_reasons = 0;
    EXPECT_EQ(parsed(format_mmpos_json(hashing)).find("hash")->elements[0].text, "760.20");
}

// The exposition as Prometheus reads it: metric families from the TYPE lines, then samples.
struct Exposition {
    std::map<std::string, std::string> types;          // family name -> type
    std::map<std::string, std::string> sample_values;  // "name{labels}" -> value
};

Exposition read_exposition(const std::string& text) {
    Exposition e;
    std::istringstream in(text);
    std::string line;
    const std::regex type_line(R"(# TYPE ([a-z_:][a-z0-9_:]*) (counter|gauge))");
    const std::regex sample_line(R"(([a-z_:][a-z0-9_:]*)(\{[^}]*\})? ([0-9.]+))");
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, type_line)) {
            e.types[m[1]] = m[2];
        } else if (std::regex_match(line, m, sample_line)) {
            EXPECT_TRUE(e.types.count(m[1])) << "sample before its TYPE line: " << line;
            e.sample_values[m[1].str() + m[2].str()] = m[3];
        } else if (line.rfind("# HELP ", 0) != 0) {
            ADD_FAILURE() << "unreadable line: " << line;
        }
    }
    return e;
}

TEST(HttpApi, MetricsExportTheAgreedNamesAndValues) {
    const Exposition e = read_exposition(format_metrics(mining_snapshot()));
    // Names other programs (dashboards, farm scripts) are built on.
    const std::pair<const char*, const char*> families[] = {
        {"mintrakel_build_info", "gauge"},
        {"mintrakel_uptime_seconds", "gauge"},
        {"mintrakel_hashes_total", "counter"},
        {"mintrakel_thread_hashes_total", "counter"},
        {"mintrakel_hashrate_hashes_per_second", "gauge"},
        {"mintrakel_shares_accepted_total", "counter"},
        {"mintrakel_shares_rejected_total", "counter"},
        {"mintrakel_blocks_found_total", "counter"},
        {"mintrakel_pool_connected", "gauge"},
        {"mintrakel_pool_reconnects_total", "counter"},
        {"mintrakel_dev_fee_active", "gauge"},
        {"mintrakel_threads", "gauge"},
        {"mintrakel_snapshot_timestamp_seconds", "gauge"},
        {"mintrakel_paused", "gauge"},
        {"mintrakel_cpu_temperature_celsius", "gauge"},
    };
    for (const auto& [name, type] : families) {
        ASSERT_TRUE(e.types.count(name)) << name;
        EXPECT_EQ(e.types.at(name), type) << name;
    }
    for (const auto& [name, type] : e.types) {
        EXPECT_EQ(type == "counter", name.size() > 6 && name.ends_with("_total")) << name;
    }
    const std::pair<const char*, const char*> samples[] = {
        {"mintrakel_build_info{version=\"1.0.1\",engine=\"avx2\"}", "1"},
        {"mintrakel_thread_hashes_total{thread=\"0\",cpu=\"3\"}", "19234"},
        {"mintrakel_thread_hashes_total{thread=\"1\",cpu=\"none\"}", "19100"},
        {"mintrakel_hashrate_hashes_per_second{window=\"10s\"}", "1520.40"},
        {"mintrakel_hashrate_hashes_per_second{window=\"15m\"}", "1500.12"},
        {"mintrakel_shares_accepted_total", "12"},
        {"mintrakel_shares_rejected_total", "3"},
        {"mintrakel_pool_connected", "1"},
        {"mintrakel_pool_reconnects_total", "2"},
        {"mintrakel_threads", "2"},
        {"mintrakel_uptime_seconds", "130"},
        {"mintrakel_snapshot_timestamp_seconds", "1765187000.042"},
        {"mintrakel_paused{reason=\"api\"}", "0"},
        {"mintrakel_paused{reason=\"temperature\"}", "1"},
        {"mintrakel_cpu_temperature_celsius", "91.2"},
    };
    for (const auto& [key, value] : samples) {
        ASSERT_TRUE(e.sample_values.count(key)) << key;
        EXPECT_EQ(e.sample_values.at(key), value) << key;
    }
    // A benchmark has no pool: the pool gauges read 0, not absent.
    ApiSnapshot bench = mining_snapshot();
    bench.pool.reset();
    EXPECT_EQ(read_exposition(format_metrics(bench)).sample_values.at("mintrakel_pool_connected"),
              "0");
    // Without a sensor there is no temperature to show, not a made-up 0.
    bench.cpu_temperature_c.reset();
    EXPECT_EQ(
        read_exposition(format_metrics(bench)).types.count("mintrakel_cpu_temperature_celsius"),
        0u);
}

// Every metric a query of the shipped Grafana dashboard names is one the miner exports.
TEST(HttpApi, DashboardQueriesUseOnlyExportedMetrics) {
    std::ifstream in(MINTRAKEL_SOURCE_DIR "/packaging/monitoring/grafana-dashboard.json");
    ASSERT_TRUE(in) << "dashboard missing";
    std::stringstream text;
    text << in.rdbuf();
    JsonValue dashboard;
    ASSERT_TRUE(parse_json(text.str(), dashboard)) << "dashboard is not JSON";
    std::vector<std::string> exprs;
    std::function<void(const JsonValue&)> walk = [&](const JsonValue& v) {
        for (const JsonMember& m : v.members) {
            const bool query = m.key == "expr" || m.key == "query" || m.key == "definition";
            if (query && m.value.kind == JsonKind::string) exprs.push_back(m.value.text);
            walk(m.value);
        }
        for (const JsonValue& e : v.elements) walk(e);
    };
    walk(dashboard);
    ASSERT_GE(exprs.size(), 5u);
    const Exposition exported = read_exposition(format_metrics(mining_snapshot()));
    const std::regex metric_name("mintrakel_[a-z0-9_]+");
    size_t names = 0;
    for (const std::string& expr : exprs) {
        for (std::sregex_iterator it(expr.begin(), expr.end(), metric_name), end; it != end; ++it) {
            ++names;
            EXPECT_TRUE(exported.types.count(it->str())) << it->str() << " in " << expr;
        }
    }
    EXPECT_GE(names, exprs.size());
}

TEST(HttpApi, AnswersByTokenMethodPathAndAge) {
    using namespace std::chrono_literals;
    const ApiSnapshot s = mining_snapshot();  // taken at the steady clock's origin
    struct Case {
        const char* method;
        const char* target;
        const char* authorization;
        const char* token;
        int status;
        std::chrono::milliseconds age = 0ms;  // of the snapshot when the request is answered
    };
    const Case cases[] = {
        {"GET", "/api/v1/summary", "", "", 200},
        {"HEAD", "/metrics", "", "", 200},
        {"GET", "/mmpos?x=1", "", "", 200},  // a query string is ignored
        {"GET", "/api/v1/history", "", "", 200},
        {"GET", "/", "", "", 200},
        {"HEAD", "/page.js", "", "", 200},
        {"GET", "/page.css?v=2", "", "", 200},
        {"GET", "/index.html", "", "", 404},
        {"GET", "/page.js/", "", "", 404},
        {"POST", "/", "", "", 405},
        {"GET", "/api/v1/summary/", "", "", 404},
        {"POST", "/metrics", "", "", 405},
        {"DELETE", "/nowhere", "", "", 404},  // no path, so no methods to allow
        {"get", "/metrics", "", "", 405},     // methods are case-sensitive
        {"GET", "/metrics", "Bearer s3cret", "s3cret", 200},
        {"GET", "/metrics", "", "s3cret", 401},
        {"GET", "/metrics", "Bearer s3cre", "s3cret", 401},
        {"GET", "/metrics", "Bearer s3cret ", "s3cret", 401},
        {"GET", "/metrics", "bearer s3cret", "s3cret", 401},
        {"GET", "/metrics", "s3cret", "s3cret", 401},
        {"GET", "/nowhere", "", "s3cret", 401},  // nothing shows without the token
        {"POST", "/metrics", "", "s3cret", 401},
        {"GET", "/api/v1/history", "Bearer nope", "s3cret", 401},
        // The page's own files hold no number: they load without the token, then ask for it.
        {"GET", "/", "", "s3cret", 200},
        {"GET", "/page.js", "Bearer nope", "s3cret", 200},
        // A main loop that stopped publishing: every document is refused, nothing else changes.
        {"GET", "/api/v1/summary", "", "", 200, 4999ms},
        {"GET", "/api/v1/summary", "", "", 503, 5000ms},
        {"HEAD", "/metrics", "", "", 503, 5001ms},
        {"GET", "/mmpos", "", "", 503, 3600s},
        {"GET", "/api/v1/history", "", "", 503, 5s},
        {"GET", "/", "", "", 200, 3600s},  // the page loads to say the miner is stalled
        {"GET", "/page.css", "", "", 200, 3600s},
        {"GET", "/nowhere", "", "", 404, 9s},
        {"GET", "/metrics", "", "s3cret", 401, 9s},
    };
    for (const Case& c : cases) {
        RunControl control;
        const HttpAnswer a = answer_request(c.method, c.target, c.authorization, c.token, s,
                                            s.taken + c.age, control);
        EXPECT_EQ(a.status, c.status) << c.method << " " << c.target << " [" << c.authorization
                                      << "] " << c.age.count() << " ms";
        EXPECT_EQ(a.challenge, c.status == 401);
        // Every answer, an error too, keeps the browser to the miner's own files and types.
        const std::vector<std::pair<std::string_view, std::string_view>> headers = {
            {"Content-Security-Policy",
             "default-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"}};
        EXPECT_EQ(a.headers, headers) << c.target;
        if (a.status == 503) {
            EXPECT_EQ(a.body.find('\n'), a.body.size() - 1) << a.body;  // one line, the reason
            EXPECT_NE(a.body.find("stalled"), std::string::npos) << a.body;
        }
    }
    RunControl control;
    const std::pair<const char*, const char*> types[] = {
        {"/api/v1/summary", "application/json"},
        {"/api/v1/history", "application/json"},
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8"},
        {"/mmpos", "application/json"},
        {"/", "text/html; charset=utf-8"},
        {"/page.js", "text/javascript; charset=utf-8"},
        {"/page.css", "text/css; charset=utf-8"},
    };
    for (const auto& [path, type] : types) {
        EXPECT_EQ(answer_request("GET", path, "", "", s, s.taken, control).content_type, type)
            << path;
    }
}

// The page is whole in the binary: small, and every file it names is one the miner serves.
TEST(HttpApi, StatusPageIsSmallAndLoadsOnlyTheMinersOwnFiles) {
    const ApiSnapshot s = mining_snapshot();
    RunControl control;
    size_t bytes = 0;
    for (const ApiRoute& route : api_routes()) {
        if (route.page_file) bytes += route.document(s).size();
    }
    EXPECT_LT(bytes, 64u * 1024);
    const std::string html = answer_request("GET", "/", "", "", s, s.taken, control).body;
    const std::regex reference(R"re((?:src|href)="([^"]*)")re");
    int references = 0;
    for (std::sregex_iterator it(html.begin(), html.end(), reference), end; it != end; ++it) {
        ++references;
        const std::string path = (*it)[1];
        const HttpAnswer a = answer_request("GET", path, "", "", s, s.taken, control);
        EXPECT_EQ(a.status, 200) << path;
        EXPECT_FALSE(a.body.empty()) << path;
    }
    EXPECT_EQ(references, 2);  // its script and its style sheet
}

// Pause and resume: served only with a token, taken only from the Authorization field, applied
// for the reason "api" whatever the age of the numbers, and answered with the state after it.
TEST(HttpApi, ControlRoutesByTokenMethodAndState) {
    using namespace std::chrono_literals;
    const ApiSnapshot s = mining_snapshot();
    constexpr auto API = static_cast<PauseReasons>(PauseReason::api);
    constexpr auto HOT = static_cast<PauseReasons>(PauseReason::temperature);
    struct Case {
        const char* method;
        const char* target;
        const char* authorization;
        const char* token;
        PauseReasons before;
        int status;
        PauseReasons after;
        const char* body;  // the start of it
        const char* allow = "";
    } cases[] = {
        {"POST", "/api/v1/pause", "", "", 0, 403, 0, "pause and resume need --http-token"},
        {"POST", "/api/v1/resume", "Bearer s3cret", "", API, 403, API, "pause and resume need"},
        {"POST", "/api/v1/pause", "", "s3cret", 0, 401, 0, "unauthorized"},
        {"POST", "/api/v1/pause", "Bearer s3cre", "s3cret", 0, 401, 0, "unauthorized"},
        {"POST", "/api/v1/pause?token=s3cret", "", "s3cret", 0, 401, 0, "unauthorized"},
        {"POST", "/api/v1/pause", "Bearer s3cret", "s3cret", 0, 200, API,
         "{\"paused\":true,\"reasons\":[\"api\"]}\n"},
        {"POST", "/api/v1/pause", "Bearer s3cret", "s3cret", API, 200, API,
         "{\"paused\":true,\"reasons\":[\"api\"]}\n"},
        {"POST", "/api/v1/pause", "Bearer s3cret", "s3cret", HOT, 200, API | HOT,
         "{\"paused\":true,\"reasons\":[\"api\",\"temperature\"]}\n"},
        {"POST", "/api/v1/resume", "Bearer s3cret", "s3cret", API | HOT, 200, HOT,
         "{\"paused\":true,\"reasons\":[\"temperature\"]}\n"},
        {"POST", "/api/v1/resume", "Bearer s3cret", "s3cret", API, 200, 0,
         "{\"paused\":false,\"reasons\":[]}\n"},
        {"POST", "/api/v1/resume", "Bearer s3cret", "s3cret", 0, 200, 0,
         "{\"paused\":false,\"reasons\":[]}\n"},
        {"GET", "/api/v1/pause", "Bearer s3cret", "s3cret", 0, 405, 0, "method not allowed",
         "POST"},
        {"OPTIONS", "/api/v1/resume", "", "", API, 405, API, "method not allowed", "POST"},
        {"POST", "/api/v1/summary", "", "", 0, 405, 0, "method not allowed", "GET, HEAD"},
    };
    for (const Case& c : cases) {
        RunControl control;
        for (PauseReason r : PAUSE_REASONS) {
            if (c.before & static_cast<PauseReasons>(r)) control.pause(r);
        }
        // Numbers an hour old: a stalled main loop does not keep a pause out.
        const HttpAnswer a =
            answer_request(c.method, c.target, c.authorization, c.token, s, s.taken + 1h, control);
        const std::string name = std::string(c.method) + " " + c.target + " [" + c.token + "]";
        EXPECT_EQ(a.status, c.status) << name;
        EXPECT_EQ(control.pause_reasons(), c.after) << name;
        EXPECT_EQ(a.body.rfind(c.body, 0), 0u) << name << ": " << a.body;
        EXPECT_EQ(a.allow, c.allow) << name;
        if (a.status == 403) {
            EXPECT_EQ(a.body.find('\n'), a.body.size() - 1) << a.body;
        }
    }
}

TEST(ThreadRateWindow, TenSampleMeansPerThreadFromTheBaseline) {
    ThreadRateWindow w(2);
    EXPECT_EQ(w.rate(0), 0.0);
    w.rebase({500, 7});  // hashes made before the loop never count
    w.append({600, 7});
    EXPECT_EQ(w.rate(0), 100.0);
    EXPECT_EQ(w.rate(1), 0.0);
    for (uint64_t t = 2; t <= 12; ++t) w.append({500 + 100 * t, 7 + 10 * (t - 1)});
    // Thread 1: samples 10 each after the first 0; after 12 ticks the window holds ticks 3-12.
    EXPECT_EQ(w.rate(1), 10.0);
    EXPECT_EQ(w.rate(0), 100.0);
    w.append({1700 + 1000, 117});
    EXPECT_EQ(w.rate(0), (9 * 100.0 + 1000) / 10);
    EXPECT_EQ(w.rate(5), 0.0);  // no such thread
}

}  // namespace
}  // namespace orvo::qel
