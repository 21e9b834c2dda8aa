// Command line of the stand-in pool.
#pragma once

#include <cstdint>
#include <string>

namespace orvo::qel::standin {

struct Options {
    uint16_t port = 0;           // 0: pick a free port
    uint64_t difficulty = 1000;  // share target = (2^256 - 1) / difficulty
    std::string target_hex;      // explicit share target, overrides difficulty
    uint64_t network_difficulty = 100000;
    std::string network_target_hex;
    double job_interval_s = 30;  // 0: never replace the job
    uint64_t nonce_span = uint64_t{1} << 40;
    uint64_t height = 1000;
    uint64_t seed = 0;     // 0: random
    std::string engine;    // "avx512", "avx2" or "" (best)
    std::string tls_cert;  // both set: clients speak TLS, with this certificate (chain) and key
    std::string tls_key;

    // Misbehaviour.
    std::string refuse_login;   // non-empty: refuse every login with this text
    std::string notify;         // non-empty: send a notification of this kind after login
    bool bad_jobs = false;      // every second job has a malformed header_base
    bool garbage = false;       // interleave lines the client must ignore
    bool crlf = false;          // end lines with CR LF
    bool split = false;         // write every line in small pieces
    bool merge = false;         // queue lines and write several in one piece
    uint64_t drop_after = 0;    // close a connection after sending this many lines
    bool overlong = false;      // after the login reply, a line of over 1 MiB without end
    bool deaf = false;          // after the first job, never read from the client again
    std::string reject;         // non-empty: reject every share with this text
    bool job_in_login = false;  // the first job rides in the login reply
    bool error_json = false;    // --reject and --refuse-login texts are JSON values as written
    std::string network_target_text;  // non-empty: sent as the jobs' network_target verbatim
    uint64_t notify_repeat = 1;       // the notification kind is --notify repeated this often
    bool odd_replies = false;         // after each submit reply, replies that count nothing
    double exit_after_s = 0;          // 0: run until SIGINT/SIGTERM
};

// Parses argv. On error returns false with a message in `error`; `help` is set for --help.
bool parse_options(int argc, char** argv, Options& options, bool& help, std::string& error);
const char* usage_text();

}  // namespace orvo::qel::standin
