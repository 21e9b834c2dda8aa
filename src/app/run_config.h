// The run configuration, built from the command line alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/version.h"
#include "pool/endpoint.h"
#include "pool/proxy.h"
#include "pow/engine_table.h"

namespace orvo::qel {

inline constexpr char DEFAULT_POOL_HOST[] = "pool.orvopool.net";
inline constexpr uint16_t DEFAULT_POOL_PORT = 3360;
// Port used when a --pool value names no port at all.
inline constexpr uint16_t FALLBACK_POOL_PORT = 3333;

inline constexpr char TITLE[] = "ORVO TALVEX QEL";
inline constexpr char SUBTITLE[] = "Mintrakel miner (Argon2id)";

// Where the HTTP endpoint listens: --http [host:]port.
struct HttpListen {
    std::string host = "127.0.0.1";
    uint16_t port = 0;  // 0: a free port chosen by the system

    bool operator==(const HttpListen&) const = default;
};

struct RunConfig {
    // The pools in the order given (-o may be repeated); the first is preferred, the others
    // stand in while it cannot be used. Without -o: the built-in pool.
    std::vector<PoolEndpoint> pools{{DEFAULT_POOL_HOST, DEFAULT_POOL_PORT}};
    std::string address;
    std::string worker;   // empty: the host name is filled in at start-up
    int32_t threads = 0;  // 0 or less: automatic
    // Hashes each thread carries side by side, 1..MAX_INTENSITY; 0: automatic (measured).
    int32_t intensity = 0;
    std::string stats_file;  // empty: no stats file
    bool color = true;
    // --engine names an engine exactly ("avx512", "avx2"); any other text leaves nothing: the
    // best engine for this CPU.
    std::optional<EngineKind> engine;
    // --stores "nt" exactly: non-temporal arena stores in the AVX-512 engine.
    StoreMode stores = StoreMode::ordinary;
    std::string cpus;                  // empty: CPU order from the topology
    std::string verify_file;           // non-empty: verify run
    int32_t bench_seconds = 0;         // above 0: benchmark run
    std::optional<HttpListen> http;    // absent: no HTTP endpoint
    std::string http_token;            // non-empty: requests need "Authorization: Bearer <token>"
    std::optional<ProxyConfig> proxy;  // --proxy: every pool is reached through it
    int32_t max_temp_c = 0;            // above 0: hashing pauses at this CPU temperature
};

// The outcome of the argument walk: a configuration to run with, or an exit code to end with at
// once (help: usage already printed, EXIT_OK; unknown option, missing value, a pool of an unknown
// scheme or whose port is not 1-65535, a fingerprint that is not one or pins no TLS pool:
// message already written to stderr, EXIT_USAGE; see base/exit_code.h).
struct CommandLine {
    RunConfig config;
    std::optional<int> exit_code;
};
CommandLine parse_command_line(int argc, char** argv);
void print_usage(const char* program);
// The pool of "[scheme://]host:port": stratum+ssl:// and stratum+tls:// mean TLS, stratum+tcp://
// or none plain TCP. Host and port split at the last colon; no colon: the whole text and 3333.
// An IPv6 address may be written in brackets ("[::1]:3333"), which are not part of the host. A
// host with any of "/+@?# " is refused (a scheme written wrong, such as "stratum+tcp:/h:1").
// Nothing, and why in `error`, for any other scheme or when the port is not a plain decimal
// number from 1 to 65535 (empty, signed, out of range or followed by other characters).
std::optional<PoolEndpoint> split_pool_endpoint(const std::string& pool,
                                                std::string* error = nullptr);
// "[host:]port" of --http: the host may be an address in brackets ("[::1]:8080"); without one
// it is 127.0.0.1. Nothing when the port is not a plain decimal number from 0 to 65535 or the
// host is empty.
std::optional<HttpListen> parse_http_listen(const std::string& text);
// Whether a host names only this machine: "localhost", 127.0.0.0/8 or ::1. The endpoint may
// listen anywhere else only with a token.
bool is_loopback_host(const std::string& host);
// The worker name default: "rig" replaced by the host name when it can be read.
std::string default_worker_name();

}  // namespace orvo::qel
