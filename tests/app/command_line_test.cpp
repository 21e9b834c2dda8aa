#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/run_config.h"
#include "app/startup.h"
#include "pool/pool.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::run_process;

CommandLine parse(std::vector<std::string> args) {
    args.insert(args.begin(), "mintrakel");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, DefaultsWithoutArguments) {
    CommandLine cl = parse({});
    ASSERT_FALSE(cl.exit_code);
    EXPECT_EQ(cl.config.pools, (std::vector<PoolEndpoint>{{"pool.orvopool.net", 3360}}));
    EXPECT_TRUE(cl.config.color);
    EXPECT_EQ(cl.config.threads, 0);
    EXPECT_EQ(cl.config.bench_seconds, 0);
    EXPECT_TRUE(cl.config.address.empty());
}

TEST(CommandLine, ValuesAreTakenVerbatimAndLaterWins) {
    CommandLine cl = parse({"-u", "-dash", "--address", "qel1x", "-w", "", "--stats-file", "/tmp/s",
                            "--no-color", "--engine", "AVX2", "--stores", "nt", "--cpus", "0-3",
                            "--verify", "v.txt"});
    ASSERT_FALSE(cl.exit_code);
    EXPECT_EQ(cl.config.address, "qel1x");
    EXPECT_EQ(cl.config.worker, "");
    EXPECT_EQ(cl.config.stats_file, "/tmp/s");
    EXPECT_FALSE(cl.config.color);
    EXPECT_EQ(cl.config.engine, std::nullopt);  // names are case-sensitive: the best engine
    EXPECT_EQ(cl.config.stores, StoreMode::non_temporal);
    EXPECT_EQ(cl.config.cpus, "0-3");
    EXPECT_EQ(cl.config.verify_file, "v.txt");

    EXPECT_EQ(parse({"-u", "-o"}).config.address, "-o");  // a value may begin with '-'
}

// Only an engine's exact name requests it, and only "nt" exactly asks for non-temporal stores;
// every other text keeps the default, the empty one and near misses included.
TEST(CommandLine, EngineAndStoreModeAreReadFromTheirExactNames) {
    struct Case {
        const char* text;
        std::optional<EngineKind> engine;
        StoreMode stores;
    } cases[] = {
        {"avx512", EngineKind::avx512, StoreMode::ordinary},
        {"avx2", EngineKind::avx2, StoreMode::ordinary},
        {"nt", std::nullopt, StoreMode::non_temporal},
        {"", std::nullopt, StoreMode::ordinary},
        {"AVX512", std::nullopt, StoreMode::ordinary},
        {"NT", std::nullopt, StoreMode::ordinary},
        {"avx2 ", std::nullopt, StoreMode::ordinary},
        {"best", std::nullopt, StoreMode::ordinary},
    };
    for (const Case& c : cases) {
        const RunConfig config = parse({"--engine", c.text, "--stores", c.text}).config;
        EXPECT_EQ(config.engine, c.engine) << "'" << c.text << "'";
        EXPECT_EQ(config.stores, c.stores) << "'" << c.text << "'";
    }
    // The later value replaces the earlier one, back to the default too.
    EXPECT_EQ(parse({"--engine", "avx2", "--engine", "x"}).config.engine, std::nullopt);
    EXPECT_EQ(parse({"--stores", "nt", "--stores", ""}).config.stores, StoreMode::ordinary);
    EXPECT_EQ(parse({}).config.intensity, 0);  // automatic
    EXPECT_EQ(parse({"--intensity", "4", "--intensity", "1"}).config.intensity, 1);
}

// A guard that cannot see is refused; the sensor is looked for whether or not a guard is asked.
TEST(CommandLine, MaxTempNeedsASensor) {
    test_support::TempDir bare;
    std::optional<TemperatureSensor> sensor;
    EXPECT_TRUE(find_temperature_source(parse({}).config, sensor, bare.path()));
    EXPECT_EQ(sensor, std::nullopt);
    const RunConfig guarded = parse({"--max-temp", "40"}).config;
    EXPECT_EQ(guarded.max_temp_c, 40);
    EXPECT_FALSE(find_temperature_source(guarded, sensor, bare.path()));
    std::filesystem::create_directories(bare.file("class/thermal/thermal_zone0"));
    test_support::write_file(bare.file("class/thermal/thermal_zone0/type"), "x86_pkg_temp\n");
    test_support::write_file(bare.file("class/thermal/thermal_zone0/temp"), "40000\n");
    EXPECT_TRUE(find_temperature_source(guarded, sensor, bare.path()));
    EXPECT_NE(sensor, std::nullopt);
}

TEST(CommandLine, IntegerValuesReadLikeStrtol) {
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {{"8", 8},
                 {"8x", 8},
                 {"abc", 0},
                 {"0", 0},
                 {"-3", -3},
                 {" +12", 12},
                 {"99999999999", INT32_MAX},
                 {"-99999999999", INT32_MIN}};
    for (const auto& c : cases) {
        EXPECT_EQ(parse({"-t", c.text}).config.threads, c.value) << c.text;
        EXPECT_EQ(parse({"--bench", c.text}).config.bench_seconds, c.value) << c.text;
    }
}

TEST(CommandLine, RepeatedPoolsAreKeptInOrderAfterReplacingTheDefault) {
    CommandLine cl = parse({"-o", "a:1", "--pool", "b:2", "-o", "c"});
    ASSERT_FALSE(cl.exit_code);
    EXPECT_EQ(cl.config.pools,
              (std::vector<PoolEndpoint>{{"a", 1}, {"b", 2}, {"c", FALLBACK_POOL_PORT}}));
}

TEST(CommandLine, PoolEndpointSplitsAtLastColonAndWantsAPortFrom1To65535) {
    struct Case {
        const char* pool;
        std::optional<PoolEndpoint> endpoint;
    } cases[] = {
        {"somehost", PoolEndpoint{"somehost", 3333}},
        {"", PoolEndpoint{"", 3333}},
        {"a:b:4000", PoolEndpoint{"a:b", 4000}},
        {"pool.orvopool.net:3360", PoolEndpoint{"pool.orvopool.net", 3360}},
        {"h:1", PoolEndpoint{"h", 1}},
        {"h:65535", PoolEndpoint{"h", 65535}},
        {"h:00080", PoolEndpoint{"h", 80}},
        {"somehost:", std::nullopt},
        {"h:0", std::nullopt},
        {"h:65536", std::nullopt},
        {"h:70000", std::nullopt},
        {"h:99999999999999999999", std::nullopt},
        {"h:-1", std::nullopt},
        {"h:+80", std::nullopt},
        {"h: 80", std::nullopt},
        {"h:12x", std::nullopt},
        {"h:80 ", std::nullopt},
        {"h:x", std::nullopt},
        {"stratum+tcp://127.0.0.1:1", PoolEndpoint{"127.0.0.1", 1}},
        {"stratum+ssl://h:3361", PoolEndpoint{"h", 3361, true}},
        {"stratum+tls://h", PoolEndpoint{"h", 3333, true}},
        {"stratum+ssl://h:0", std::nullopt},
        {"ssl://h:1", std::nullopt},
        {"Stratum+tcp://h:1", std::nullopt},
        {"[::1]:3334", PoolEndpoint{"::1", 3334}},
        {"stratum+tcp://[::1]:3333", PoolEndpoint{"::1", 3333}},
        {"stratum+ssl://[2001:db8::1]", PoolEndpoint{"2001:db8::1", 3333, true}},
        {"[::1", std::nullopt},
        {"[::1]3333", std::nullopt},
        {"[]:3333", std::nullopt},
        {"stratum+tcp:/h:1", std::nullopt},
        {"stratum+tcp:h:1", std::nullopt},
        {"user@h:1", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split_pool_endpoint(c.pool), c.endpoint) << c.pool;
    }
}

// An IPv6 pool written in brackets reaches the resolver without them: the client connects to a
// listener on ::1 and logs in, in both forms.
TEST(CommandLine, BracketedIpv6PoolIsConnectedTo) {
    const int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_addr = in6addr_loopback;
    socklen_t size = sizeof at;
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(listener);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);
    const std::string port = std::to_string(ntohs(at.sin6_port));
    for (const std::string& pool : {"[::1]:" + port, "stratum+tcp://[::1]:" + port}) {
        CommandLine cl = parse({"-o", pool, "-u", "addr"});
        ASSERT_FALSE(cl.exit_code) << pool;
        const PoolEndpoint& endpoint = cl.config.pools.front();
        Pool client;
        client.start({endpoint.host, endpoint.port, "addr", "w"});
        pollfd p{listener, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << pool;
        const int peer = accept(listener, nullptr, nullptr);
        ASSERT_GE(peer, 0);
        char login[9] = {};
        p = {peer, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1) << pool;
        EXPECT_EQ(recv(peer, login, 8, 0), 8) << pool;
        EXPECT_STREQ(login, R"({"id":1,)") << pool;
        client.stop();
        close(peer);
    }
    close(listener);
}

TEST(CommandLine, TlsFingerprintPinsTheTlsPoolBeforeIt) {
    const std::string lower = "ab01" + std::string(60, '0');
    std::string colons = "AB:01";
    for (int i = 2; i < 32; ++i) colons += ":00";
    const struct {
        std::string fingerprint;
        bool valid;
    } cases[] = {
        {lower, true},
        {colons, true},  // as openssl x509 -fingerprint prints it
        {"ab01", false},
        {lower + "0", false},
        {std::string("A:B01") + colons.substr(5), false},  // a colon that splits a pair
        {std::string("g") + lower.substr(1), false},
    };
    for (const auto& c : cases) {
        CommandLine cl = parse({"-o", "stratum+ssl://a:1", "--tls-fingerprint", c.fingerprint, "-o",
                                "stratum+ssl://b:2"});
        EXPECT_EQ(!cl.exit_code, c.valid) << c.fingerprint;
        if (!c.valid) continue;
        EXPECT_EQ(cl.config.pools[0].pin, (Fingerprint{0xab, 0x01})) << c.fingerprint;
        EXPECT_FALSE(cl.config.pools[1].pin.has_value());
    }
}

// The failure table through the real binary: stream, text and exit code.
TEST(CommandLineCli, FailuresGiveMessageAndExitCode) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* err;
    } cases[] = {
        {{"-u"}, 2, "missing value for --user\n"},
        {{"-o"}, 2, "missing value for --pool\n"},
        {{"--address"}, 2, "missing value for --user\n"},
        {{"-t"}, 2, "missing value for --threads\n"},
        {{"--stats-file"}, 2, "missing value for --stats-file\n"},
        {{"--verify"}, 2, "missing value for --verify\n"},
        {{"--bogus"}, 2, "unknown option --bogus (see --help)\n"},
        {{"positional"}, 2, "unknown option positional (see --help)\n"},
        {{"--pool=x:1"}, 2, "unknown option --pool=x:1 (see --help)\n"},
        {{"--proxy=socks5://u:secret@h:1"}, 2, "unknown option --proxy=(not shown) (see --help)\n"},
        {{"--http-token=secret"}, 2, "unknown option --http-token=(not shown) (see --help)\n"},
        {{"--proxy", "socks5://h:1", "socks5://u:secret@h:1"},
         2,
         "unknown option socks5://(not shown)@h:1 (see --help)\n"},
        {{"-o", "h:70000"},
         2,
         "bad --pool value h:70000: the port must be a number from 1 to 65535\n"},
        {{"-o", "a:1", "--pool", "h:12x"},
         2,
         "bad --pool value h:12x: the port must be a number from 1 to 65535\n"},
        {{"-o", "h:-1", "-u"},
         2,
         "bad --pool value h:-1: the port must be a number from 1 to 65535\n"},
        {{"-ut"}, 2, "unknown option -ut (see --help)\n"},
        {{"--proxy", "socks4://u:secret@h:1"},
         2,
         "bad --proxy value (not shown): expected socks5://[user:password@]host:port or "
         "socks5h://...\n"},
        {{"-o", "stratum+tcp:/h:1"},
         2,
         "bad --pool value stratum+tcp:/h:1: not a pool address: write [stratum+tcp:// or "
         "stratum+ssl://]host:port\n"},
        {{"--intensity", "5"}, 2, "bad --intensity value 5: a number from 1 to 4\n"},
        {{"--intensity", "0"}, 2, "bad --intensity value 0: a number from 1 to 4\n"},
        {{"--intensity", "2x"}, 2, "bad --intensity value 2x: a number from 1 to 4\n"},
        {{"--max-temp", "39"}, 2, "bad --max-temp value 39: a whole number of °C from 40 to 105\n"},
        {{"--max-temp", "106"},
         2,
         "bad --max-temp value 106: a whole number of °C from 40 to 105\n"},
        {{"--max-temp", "9O"}, 2, "bad --max-temp value 9O: a whole number of °C from 40 to 105\n"},
        {{"-o", "http://h:1"},
         2,
         "bad --pool value http://h:1: unknown scheme http://: use stratum+tcp://, "
         "stratum+ssl:// or stratum+tls://\n"},
        {{"-o", "h:1", "--tls-fingerprint", "ab"},
         2,
         "bad --tls-fingerprint value ab: it pins the TLS pool (stratum+ssl://) of the -o just "
         "before it\n"},
        {{"-o", "stratum+tls://h:1", "--tls-fingerprint", "ab"},
         2,
         "bad --tls-fingerprint value ab: expected the certificate's SHA-256 as 64 hex digits\n"},
        {{"--bogus", "--help"}, 2, "unknown option --bogus (see --help)\n"},
        {{}, 2, "an QEL payout address is required: -u <qel1...>\n"},
        {{"--bench", "0"}, 2, "an QEL payout address is required: -u <qel1...>\n"},
        {{"--bench", "-3"}, 2, "an QEL payout address is required: -u <qel1...>\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{MINTRAKEL_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run_process(argv);
        std::string name = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.exit_code, c.code) << name;
        EXPECT_EQ(r.err, c.err) << name;
        // Option errors come before the banner; the address error after it.
        bool banner = r.out.find("ORVO TALVEX QEL") != std::string::npos;
        EXPECT_EQ(banner, std::string(c.err).rfind("an QEL", 0) == 0) << name;
    }
}

TEST(CommandLineCli, HelpPrintsTheUsageTextExactly) {
    const std::string expected =
        "usage: " MINTRAKEL_BINARY
        " -u <QEL address> [options]\n"
        "  -o, --pool <host:port>   pool (default: OrvoPool QEL pool.orvopool.net:3360)\n"
        "  -u, --user <address>     your QEL payout address (qel1...)\n"
        "  -w, --worker <name>      worker name (default: hostname)\n"
        "  -t, --threads <n>        mining threads (default: one per CPU thread)\n"
        "      --intensity <1-4>    hashes in flight per thread, each in its own 8 MiB\n"
        "                           (default: measured at start-up)\n"
        "      --stats-file <f>     write JSON stats every 10 s (HiveOS reads this file)\n"
        "      --no-color           uncolored output\n"
        "      --engine <avx512|avx2>  force an engine (default: best for this CPU)\n"
        "      --bench <seconds>    offline benchmark\n"
        "      --tls-fingerprint <sha256>  trust the TLS pool (stratum+ssl://) of the -o before it "
        "by this certificate\n"
        "      --proxy <url>        reach the pools through a SOCKS5 proxy: "
        "socks5://[user:password@]host:port\n"
        "                           (socks5h://... lets the proxy resolve the pool's name)\n"
        "      --max-temp <°C>      pause hashing at this CPU temperature, resume 5 °C below\n";
    for (const char* flag : {"-h", "--help"}) {
        auto r = run_process({MINTRAKEL_BINARY, "-u", "qel1x", flag, "--bogus"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
    }
}

TEST(HttpCommandLine, ListenAddressForms) {
    struct Case {
        const char* text;
        std::optional<HttpListen> want;
    };
    const Case cases[] = {
        {"8080", HttpListen{"127.0.0.1", 8080}},
        {"0", HttpListen{"127.0.0.1", 0}},
        {"0.0.0.0:4000", HttpListen{"0.0.0.0", 4000}},
        {"[::1]:4000", HttpListen{"::1", 4000}},
        {"localhost:65535", HttpListen{"localhost", 65535}},
        {"65536", std::nullopt},
        {"", std::nullopt},
        {":80", std::nullopt},
        {"host:", std::nullopt},
        {"host:8o", std::nullopt},
        {"-1", std::nullopt},
        {"[::1]4000", std::nullopt},
        {"[::1", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_http_listen(c.text), c.want) << c.text;

    const std::pair<const char*, bool> hosts[] = {
        {"127.0.0.1", true}, {"127.255.0.9", true}, {"localhost", true},
        {"::1", true},       {"0.0.0.0", false},    {"192.168.1.5", false},
        {"::", false},       {"rig.local", false},  {"128.0.0.1", false},
    };
    for (const auto& [host, loopback] : hosts) EXPECT_EQ(is_loopback_host(host), loopback) << host;
}

TEST(HttpCommandLine, AnAddressBeyondLoopbackNeedsAToken) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
    };
    const Case cases[] = {
        {{"--http", "3000"}, true},
        {{"--http", "127.0.0.1:3000"}, true},
        {{"--http", "0.0.0.0:3000"}, false},
        {{"--http", "0.0.0.0:3000", "--http-token", "t"}, true},
        {{"--http-token", "t", "--http", "[::]:3000"}, true},  // order does not matter
        {{"--http", "10.0.0.2:3000", "--http-token", ""}, false},
        {{"--http", "nope"}, false},
    };
    for (const Case& c : cases) {
        const CommandLine cl = parse(c.args);
        EXPECT_EQ(!cl.exit_code.has_value(), c.ok) << c.args[1];
        if (!c.ok) {
            EXPECT_EQ(cl.exit_code, 2) << c.args[1];
        }
    }
    EXPECT_FALSE(parse({}).config.http.has_value());  // off by default
}

}  // namespace
}  // namespace orvo::qel
