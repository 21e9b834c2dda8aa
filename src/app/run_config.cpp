#include "app/run_config.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/exit_code.h"

namespace orvo::qel {
namespace {

// Base-10 like strtol: leading blanks and a sign accepted, stops at the first non-digit, no
// digits gives 0. Values beyond 32 bits saturate instead of wrapping into a different number.
int32_t read_int32(const char* text) {
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

enum class Field {
    pool,
    address,
    worker,
    threads,
    stats_file,
    engine,
    stores,
    cpus,
    verify,
    bench
};

struct ValueOption {
    const char* name;
    const char* long_name;  // named in the "missing value" message
    Field field;
};

constexpr ValueOption VALUE_OPTIONS[] = {
    {"-o", "--pool", Field::pool},
    {"--pool", "--pool", Field::pool},
    {"-u", "--user", Field::address},
    {"--user", "--user", Field::address},
    {"--address", "--user", Field::address},
    {"-w", "--worker", Field::worker},
    {"--worker", "--worker", Field::worker},
    {"-t", "--threads", Field::threads},
    {"--threads", "--threads", Field::threads},
    {"--stats-file", "--stats-file", Field::stats_file},
    {"--engine", "--engine", Field::engine},
    {"--stores", "--stores", Field::stores},
    {"--cpus", "--cpus", Field::cpus},
    {"--verify", "--verify", Field::verify},
    {"--bench", "--bench", Field::bench},
};

// Stores the value; false when it is not acceptable (only a pool can be refused here).
bool apply(RunConfig& config, Field field, const char* value, bool& pool_given) {
    switch (field) {
        case Field::pool: {
            std::optional<PoolEndpoint> endpoint = split_pool_endpoint(value);
            if (!endpoint) return false;
            // The first -o replaces the built-in pool; later ones are backups.
            if (!pool_given) config.pools.clear();
            pool_given = true;
            config.pools.push_back(std::move(*endpoint));
            break;
        }
        case Field::address:
            config.address = value;
            break;
        case Field::worker:
            config.worker = value;
            break;
        case Field::threads:
            config.threads = read_int32(value);
            break;
        case Field::stats_file:
            config.stats_file = value;
            break;
        case Field::engine:
            config.engine = engine_named(value);
            break;
        case Field::stores:
            config.stores =
                std::strcmp(value, "nt") == 0 ? StoreMode::non_temporal : StoreMode::ordinary;
            break;
        case Field::cpus:
            config.cpus = value;
            break;
        case Field::verify:
            config.verify_file = value;
            break;
        case Field::bench:
            config.bench_seconds = read_int32(value);
            break;
    }
    return true;
}

}  // namespace

void print_usage(const char* program) {
    std::printf("usage: %s -u <QEL address> [options]\n", program);
    std::printf("  -o, --pool <host:port>   pool (default: OrvoPool QEL %s:%u)\n",
                DEFAULT_POOL_HOST, static_cast<unsigned>(DEFAULT_POOL_PORT));
    std::printf("  -u, --user <address>     your QEL payout address (qel1...)\n");
    std::printf("  -w, --worker <name>      worker name (default: hostname)\n");
    std::printf("  -t, --threads <n>        mining threads (default: one per CPU thread)\n");
    std::printf(
        "      --stats-file <f>     write JSON stats every 10 s (HiveOS reads this file)\n");
    std::printf("      --no-color           uncolored output\n");
    std::printf("      --engine <avx512|avx2>  force an engine (default: best for this CPU)\n");
    std::printf("      --bench <seconds>    offline benchmark\n");
}

CommandLine parse_command_line(int argc, char** argv) {
    CommandLine result;
    const char* program = argc > 0 ? argv[0] : "mintrakel";
    bool pool_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            print_usage(program);
            std::fflush(stdout);
            result.exit_code = EXIT_OK;
            return result;
        }
        if (std::strcmp(arg, "--no-color") == 0) {
            result.config.color = false;
            continue;
        }
        const ValueOption* option = nullptr;
        for (const auto& candidate : VALUE_OPTIONS) {
            if (std::strcmp(arg, candidate.name) == 0) option = &candidate;
        }
        if (option == nullptr) {
            std::fprintf(stderr, "unknown option %s (see --help)\n", arg);
            result.exit_code = EXIT_USAGE;
            return result;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "missing value for %s\n", option->long_name);
            result.exit_code = EXIT_USAGE;
            return result;
        }
        const char* value = argv[++i];
        if (!apply(result.config, option->field, value, pool_given)) {
            std::fprintf(stderr, "bad %s value %s: the port must be a number from 1 to 65535\n",
                         option->long_name, value);
            result.exit_code = EXIT_USAGE;
            return result;
        }
    }
    return result;
}

std::optional<PoolEndpoint> split_pool_endpoint(const std::string& pool) {
    auto colon = pool.rfind(':');
    if (colon == std::string::npos) return PoolEndpoint{pool, FALLBACK_POOL_PORT};
    const std::string digits = pool.substr(colon + 1);
    if (digits.empty()) return std::nullopt;
    uint32_t port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + static_cast<uint32_t>(c - '0');
        if (port > 65535) return std::nullopt;  // checked per digit: cannot overflow
    }
    if (port == 0) return std::nullopt;
    return PoolEndpoint{pool.substr(0, colon), static_cast<uint16_t>(port)};
}

std::string default_worker_name() {
    char buf[64] = {};
    std::memcpy(buf, "rig", 3);
    gethostname(buf, 63);
    return buf;
}

}  // namespace orvo::qel
