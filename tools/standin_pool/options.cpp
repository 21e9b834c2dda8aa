#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvo::qel::standin {
namespace {

bool parse_u64(const char* text, uint64_t& out) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

bool parse_seconds(const char* text, double& out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (*end != '\0' || !(v >= 0)) return false;
    out = v;
    return true;
}

}  // namespace

const char* usage_text() {
    return "usage: standin_pool [options]\n"
           "A loopback pool for tests and demos: answers logins, hands out jobs, judges every\n"
           "submitted share by recomputing its hash, and prints one line per event.\n"
           "\n"
           "  --port N                 listen on 127.0.0.1:N (default 0: any free port)\n"
           "  --difficulty N           share target (2^256-1)/N (default 1000)\n"
           "  --target HEX             share target as 64 hex digits (overrides --difficulty)\n"
           "  --network-difficulty N   block target (2^256-1)/N (default 100000)\n"
           "  --network-target HEX     block target as 64 hex digits\n"
           "  --job-interval S         replace the job every S seconds (default 30, 0 = never)\n"
           "  --nonce-span N           nonces per job (default 2^40)\n"
           "  --height N               height of the first job (default 1000)\n"
           "  --seed N                 seed for headers and ranges (default random)\n"
           "  --engine avx512|avx2     hash engine for judging (default: the best one)\n"
           "  --tls CERT KEY           speak TLS with this certificate (chain) and key (PEM)\n"
           "\n"
           "misbehaviour:\n"
           "  --refuse-login TEXT      refuse every login with TEXT\n"
           "  --notify KIND            send a notification of KIND after each login\n"
           "  --bad-jobs               every second job has a malformed header_base\n"
           "  --garbage                interleave lines a client must ignore\n"
           "  --crlf                   end lines with CR LF\n"
           "  --split                  write every line in small pieces\n"
           "  --merge                  write several lines in one piece\n"
           "  --drop-after N           close each connection after sending N lines\n"
           "  --overlong               after the login reply send 1 MiB + 1 bytes without LF\n"
           "  --deaf                   after the first job stop reading from the client (tiny\n"
           "                           receive buffer and segment size, so the miner's sends\n"
           "                           soon block)\n"
           "  --reject TEXT            reject every share with TEXT (still judged and counted)\n"
           "  --job-in-login           send the first job inside the login reply\n"
           "  --error-json             send --reject/--refuse-login TEXT as a JSON value\n"
           "  --network-target-text T  send T verbatim as every job's network_target\n"
           "  --notify-repeat N        the notification kind is KIND repeated N times\n"
           "  --odd-replies            after each submit reply: the reply again, replies to ids\n"
           "                           never sent, a string or null id, a ping with the same id\n"
           "                           and a second login reply\n"
           "  --exit-after S           exit after S seconds\n"
           "  --help                   this text\n"
           "\n"
           "Prints \"listening on 127.0.0.1:PORT\" first, one line per login, job and submit,\n"
           "and the counts \"valid V invalid I duplicate D\" on exit (also on SIGINT/SIGTERM).\n";
}

bool parse_options(int argc, char** argv, Options& o, bool& help, std::string& error) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto flag = [&](const char* name, bool& field) {
            if (std::strcmp(arg, name) != 0) return false;
            field = true;
            return true;
        };
        auto text = [&](const char* name, std::string& field) {
            if (std::strcmp(arg, name) != 0) return false;
            if (value == nullptr) {
                error = std::string(name) + " needs a value";
                return true;
            }
            field = value;
            ++i;
            return true;
        };
        auto number = [&](const char* name, uint64_t& field) {
            if (std::strcmp(arg, name) != 0) return false;
            if (!parse_u64(value, field)) error = std::string(name) + " needs a number";
            ++i;
            return true;
        };
        auto seconds = [&](const char* name, double& field) {
            if (std::strcmp(arg, name) != 0) return false;
            if (!parse_seconds(value, field)) error = std::string(name) + " needs seconds";
            ++i;
            return true;
        };
        uint64_t port = o.port;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            help = true;
            return true;
        } else if (std::strcmp(arg, "--tls") == 0) {
            if (i + 2 >= argc) {
                error = "--tls needs a certificate and a key";
            } else {
                o.tls_cert = argv[++i];
                o.tls_key = argv[++i];
            }
        } else if (number("--port", port)) {
            if (port > 65535) error = "--port must be at most 65535";
            o.port = static_cast<uint16_t>(port);
        } else if (number("--difficulty", o.difficulty) || text("--target", o.target_hex) ||
                   number("--network-difficulty", o.network_difficulty) ||
                   text("--network-target", o.network_target_hex) ||
                   seconds("--job-interval", o.job_interval_s) ||
                   number("--nonce-span", o.nonce_span) || number("--height", o.height) ||
                   number("--seed", o.seed) || text("--engine", o.engine) ||
                   text("--refuse-login", o.refuse_login) || text("--notify", o.notify) ||
                   flag("--bad-jobs", o.bad_jobs) || flag("--garbage", o.garbage) ||
                   flag("--crlf", o.crlf) || flag("--split", o.split) || flag("--merge", o.merge) ||
                   number("--drop-after", o.drop_after) || flag("--overlong", o.overlong) ||
                   flag("--deaf", o.deaf) || text("--reject", o.reject) ||
                   flag("--job-in-login", o.job_in_login) || flag("--error-json", o.error_json) ||
                   text("--network-target-text", o.network_target_text) ||
                   number("--notify-repeat", o.notify_repeat) ||
                   flag("--odd-replies", o.odd_replies) ||
                   seconds("--exit-after", o.exit_after_s)) {
        } else {
            error = std::string("unknown option ") + arg;
        }
        if (!error.empty()) return false;
    }
    if (o.difficulty == 0 || o.network_difficulty == 0) {
        error = "difficulties must be at least 1";
        return false;
    }
    if (o.nonce_span == 0) {
        error = "--nonce-span must be at least 1";
        return false;
    }
    return true;
}

}  // namespace orvo::qel::standin
