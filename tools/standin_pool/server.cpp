#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "base/hex.h"
#include "pool/json.h"

namespace orvo::qel::standin {
namespace {

constexpr size_t MAX_INBOX = 1 << 20;

double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One event line on stdout, flushed at once so tests can follow it.
void say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Printable form of untrusted text for the event lines.
std::string printable(const std::string& s) {
    std::string out;
    for (char c : s) out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    return out;
}

}  // namespace

Server::Server(const Options& options, ShareJudge& judge, const TlsServer* tls)
    : options_(options), judge_(judge), tls_(tls), next_height_(options.height) {
    rng_.seed(options.seed != 0 ? options.seed : std::random_device{}());
    if (options.target_hex.empty() ||
        !decode_hex_exact(options.target_hex, share_target_, sizeof share_target_)) {
        target_for_difficulty(options.difficulty, share_target_);
    }
    if (options.network_target_hex.empty() ||
        !decode_hex_exact(options.network_target_hex, network_target_, 32)) {
        target_for_difficulty(options.network_difficulty, network_target_);
    }
}

Server::~Server() {
    for (auto& [fd, c] : clients_) close_client(c);
    if (listener_ >= 0) close(listener_);
}

bool Server::listen_loopback() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (options_.deaf) {
        // Inherited by accepted sockets; set before listen so the advertised window stays small.
        int small = 2048;
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        // A small segment size keeps the client's send buffer small as well (the kernel sizes
        // it by the segment size, which on loopback is otherwise 64 KiB): some 50 KB of shares
        // fill both sides instead of megabytes.
        int segment = 536;
        setsockopt(listener_, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options_.port);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 16) != 0) {
        std::fprintf(stderr, "standin_pool: cannot listen on 127.0.0.1:%u\n", options_.port);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    say("listening on 127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    return true;
}

void Server::run(const std::atomic<bool>& stop) {
    const double started = monotonic_seconds();
    while (!stop) {
        const double now = monotonic_seconds();
        if (options_.exit_after_s > 0 && now - started >= options_.exit_after_s) break;

        for (auto& [fd, c] : clients_) {
            if (c.logged_in && !c.closing && options_.job_interval_s > 0 && now >= c.next_job_at) {
                send_line(c, make_job(c, false));
                c.next_job_at = now + options_.job_interval_s;
            }
            flush(c);
        }
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->second.closing) {
                close_client(it->second);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }

        std::vector<pollfd> fds;
        fds.push_back({listener_, POLLIN, 0});
        for (auto& [fd, c] : clients_) {
            if (!c.deaf) fds.push_back({fd, POLLIN, 0});
        }
        int r = poll(fds.data(), fds.size(), 50);
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        if (fds[0].revents & POLLIN) accept_client(now);
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto it = clients_.find(fds[i].fd);
            if (it != clients_.end()) read_from(it->second);
        }
    }
}

void Server::accept_client(double now) {
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Client c;
    c.fd = fd;
    if (tls_ != nullptr) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        c.ssl = tls_->session(fd);
    }
    c.conn = next_conn_++;
    c.next_job_at = now + options_.job_interval_s;
    say("connect #" + std::to_string(c.conn));
    clients_.emplace(fd, std::move(c));
}

void Server::read_from(Client& c) {
    if (c.ssl != nullptr) {
        read_tls(c);
        return;
    }
    char buf[8192];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) return;
        say("disconnect #" + std::to_string(c.conn));
        c.closing = true;
        return;
    }
    take_bytes(c, buf, static_cast<size_t>(n));
}

// Reads until the session has nothing more (the handshake first, on the first reads); a
// handshake that fails is reported with OpenSSL's reason.
void Server::read_tls(Client& c) {
    char buf[8192];
    while (!c.closing) {
        ERR_clear_error();
        const int n = SSL_read(c.ssl, buf, sizeof buf);
        if (n > 0) {
            take_bytes(c, buf, static_cast<size_t>(n));
            continue;
        }
        const int e = SSL_get_error(c.ssl, n);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
        if (e == SSL_ERROR_ZERO_RETURN) {
            // The miner's close_notify: a deliberate end.
            say("disconnect #" + std::to_string(c.conn));
        } else if (!SSL_is_init_finished(c.ssl)) {
            const unsigned long reason = ERR_peek_last_error();
            say("tls #" + std::to_string(c.conn) + " handshake failed: " +
                (reason != 0 ? ERR_reason_error_string(reason) : "connection closed"));
        } else {
            say("disconnect #" + std::to_string(c.conn) + " without close_notify");
        }
        c.closing = true;
    }
}

void Server::take_bytes(Client& c, const char* bytes, size_t size) {
    c.inbox.append(bytes, size);
    size_t start = 0;
    for (size_t lf; !c.closing && (lf = c.inbox.find('\n', start)) != std::string::npos;) {
        std::string line = c.inbox.substr(start, lf - start);
        start = lf + 1;
        if (!line.empty()) handle_message(c, line);
    }
    c.inbox.erase(0, start);
    if (c.inbox.size() > MAX_INBOX) {
        say("drop #" + std::to_string(c.conn) + ": line too long");
        c.closing = true;
    }
}

void Server::handle_message(Client& c, const std::string& line) {
    JsonValue message;
    if (!parse_json(line, message)) {
        say("garbage #" + std::to_string(c.conn) + ": " + printable(line.substr(0, 80)));
        return;
    }
    const std::string method = message.get_string("method", "");
    if (method == "login") {
        handle_login(c, message);
    } else if (method == "submit") {
        handle_submit(c, message);
    } else {
        say("unknown #" + std::to_string(c.conn) + ": " + printable(line.substr(0, 80)));
    }
}

void Server::handle_login(Client& c, const JsonValue& message) {
    const JsonValue* params = message.find("params");
    const JsonValue empty;
    if (params == nullptr) params = &empty;
    const std::string who = "address=" + printable(params->get_string("address", "")) +
                            " worker=" + printable(params->get_string("worker", ""));
    if (!options_.refuse_login.empty()) {
        say("login #" + std::to_string(c.conn) + " refused " + who);
        send_line(c, "{\"id\":1,\"error\":" + error_value(options_.refuse_login) + "}");
        return;
    }
    say("login #" + std::to_string(c.conn) + " " + who);
    c.logged_in = true;
    if (options_.job_in_login) {
        send_line(c, "{\"id\":1,\"result\":" + make_job(c, true) + "}");
    } else {
        send_line(c, "{\"id\":1,\"result\":{\"status\":\"OK\"}}");
    }
    if (!options_.notify.empty()) {
        std::string kind;
        for (uint64_t i = 0; i < options_.notify_repeat; ++i) kind += options_.notify;
        send_line(
            c, "{\"method\":\"notification\",\"params\":{\"kind\":\"" + json_escape(kind) + "\"}}");
    }
    if (options_.overlong) {
        write_raw(c, std::string(MAX_INBOX + 1, 'x'));
        return;
    }
    if (!options_.job_in_login) send_line(c, make_job(c, false));
    c.next_job_at = monotonic_seconds() + options_.job_interval_s;
    if (options_.deaf) {
        c.deaf = true;
        say("deaf #" + std::to_string(c.conn));
    }
}

void Server::handle_submit(Client& c, const JsonValue& message) {
    const uint64_t id = message.get_u64("id", 0);
    const JsonValue* params = message.find("params");
    const JsonValue empty;
    if (params == nullptr) params = &empty;
    const std::string job_id = params->get_string("job_id", "");
    const uint64_t nonce = params->get_u64("nonce", 0);
    const Judgement j = judge_.judge(c.conn, job_id, nonce, params->get_string("claimed_hash", ""));
    std::string event = "submit #" + std::to_string(c.conn) + " id=" + std::to_string(id) +
                        " job=" + printable(job_id) + " nonce=" + std::to_string(nonce) + " ";
    switch (j.verdict) {
        case Verdict::valid:
            event += "valid";
            break;
        case Verdict::invalid:
            event += "invalid: " + j.reason;
            break;
        case Verdict::duplicate:
            event += "duplicate";
            break;
    }
    say(event);
    const std::string id_text = std::to_string(id);
    if (!options_.reject.empty()) {
        send_line(c, "{\"id\":" + id_text + ",\"error\":" + error_value(options_.reject) + "}");
    } else if (j.verdict == Verdict::valid) {
        send_line(c, "{\"id\":" + id_text + ",\"status\":\"OK\"}");
    } else {
        send_line(c, "{\"id\":" + id_text + ",\"error\":\"" + json_escape(j.reason) + "\"}");
    }
    if (options_.odd_replies) send_odd_replies(c, id);
}

// The error member's value: the text as a JSON string, or as written with --error-json.
std::string Server::error_value(const std::string& text) const {
    if (options_.error_json) return text;
    std::string quoted(1, '"');
    quoted += json_escape(text);
    quoted += '"';
    return quoted;
}

// Replies a client must not count: each share has been answered once already.
void Server::send_odd_replies(Client& c, uint64_t id) {
    const std::string id_text = std::to_string(id);
    const std::string lines[] = {
        "{\"id\":" + id_text + ",\"status\":\"OK\"}",
        "{\"id\":" + std::to_string(id + 1000000) + ",\"status\":\"OK\"}",
        "{\"id\":null,\"status\":\"OK\"}",
        "{\"id\":\"" + id_text + "\",\"result\":{}}",
        "{\"id\":0" + id_text + ",\"status\":\"OK\"}",
        "{\"id\":" + id_text + ",\"method\":\"ping\"}",
        "{\"id\":1,\"error\":\"late login reply\"}",
        "{\"id\":1,\"result\":{\"status\":\"OK\"}}",
    };
    for (const auto& line : lines) send_line(c, line);
}

// Builds a fresh job for the client and registers it with the judge. For a login reply the
// result is the job object itself; otherwise a "job" message.
std::string Server::make_job(Client& c, bool for_login_reply) {
    IssuedJob job;
    const uint64_t serial = ++c.jobs_sent;
    job.job_id = std::to_string(c.conn) + "-" + std::to_string(serial);
    for (auto& b : job.header) b = static_cast<uint8_t>(rng_());
    std::memcpy(job.target, share_target_, 32);
    // Ranges start in the lower half; a span too long for the rest of the 64-bit space ends at
    // the last nonce instead of wrapping below the start (which would make an empty range).
    job.nonce_start = rng_() >> 1;
    const uint64_t room = ~uint64_t{0} - job.nonce_start;
    job.nonce_end = job.nonce_start + std::min(options_.nonce_span - 1, room);
    const uint64_t height = next_height_++;
    const bool broken = options_.bad_jobs && serial % 2 == 0;
    std::string header_hex = to_hex(job.header, HEADER_BYTES);
    if (broken)
        header_hex.resize(222);
    else
        judge_.issue(c.conn, job);
    say("job #" + std::to_string(c.conn) + " id=" + job.job_id +
        " height=" + std::to_string(height) + (broken ? " (malformed)" : ""));
    std::string params =
        "{\"job_id\":\"" + job.job_id + "\",\"header_base\":\"" + header_hex + "\",\"target\":\"" +
        to_hex(job.target, 32) + "\",\"network_target\":\"" +
        (options_.network_target_text.empty() ? to_hex(network_target_, 32)
                                              : json_escape(options_.network_target_text)) +
        "\",\"height\":" + std::to_string(height) +
        ",\"nonce_start\":" + std::to_string(job.nonce_start) +
        ",\"nonce_end\":" + std::to_string(job.nonce_end) +
        ",\"difficulty\":" + std::to_string(options_.difficulty) + "}";
    if (for_login_reply) return params;
    return "{\"method\":\"job\",\"params\":" + params + "}";
}

void Server::send_line(Client& c, const std::string& line) {
    if (c.closing) return;
    if (options_.garbage) send_garbage(c);
    write_raw(c, line + (options_.crlf ? "\r\n" : "\n"));
    ++c.lines_sent;
    if (options_.drop_after > 0 && c.lines_sent >= options_.drop_after) {
        flush(c);
        say("drop #" + std::to_string(c.conn) + " after " + std::to_string(c.lines_sent) +
            " lines");
        c.closing = true;
    }
}

// Lines a client must survive and ignore: not JSON, nested too deep, or with no method it
// knows and no id.
void Server::send_garbage(Client& c) {
    const std::string eol = options_.crlf ? "\r\n" : "\n";
    static const char* const lines[] = {
        "this is not json",
        "{\"method\":\"mystery\",\"params\":{}}",
        "[1,2,3]",
        "{\"method\":\"job\"",
        "\"\\ud83d\\u00\"",
        "\xff\xfe\x01\x02",
        "{\"params\":{\"job_id\":\"x\"}}",
    };
    const char* pick = lines[rng_() % (sizeof lines / sizeof lines[0])];
    write_raw(c, std::string(pick) + eol + eol);
    write_raw(c, std::string(40, '[') + std::string(40, ']') + eol);
}

void Server::write_raw(Client& c, const std::string& bytes) {
    if (options_.merge) {
        c.outbox += bytes;
        return;
    }
    if (!options_.split) {
        c.outbox = bytes;
        flush(c);
        return;
    }
    // Pieces of 1 to 16 bytes with short pauses, so the client sees lines cut anywhere.
    for (size_t at = 0; at < bytes.size() && !c.closing;) {
        size_t n = 1 + rng_() % 16;
        c.outbox = bytes.substr(at, n);
        flush(c);
        at += n;
        if (bytes.size() < 4096) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

void Server::flush(Client& c) {
    if (c.ssl != nullptr) {
        flush_tls(c);
        return;
    }
    size_t sent = 0;
    while (sent < c.outbox.size()) {
        ssize_t n = ::send(c.fd, c.outbox.data() + sent, c.outbox.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            c.closing = true;
            break;
        }
        sent += static_cast<size_t>(n);
    }
    c.outbox.clear();
}

// Writes the whole outbox, waiting (up to a few seconds) when the socket is full: the plain
// path's blocking send, for the non-blocking TLS socket.
void Server::flush_tls(Client& c) {
    size_t sent = 0;
    int stalls = 0;
    while (sent < c.outbox.size() && !c.closing) {
        ERR_clear_error();
        const int n =
            SSL_write(c.ssl, c.outbox.data() + sent,
                      static_cast<int>(std::min<size_t>(c.outbox.size() - sent, 1 << 20)));
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        const int e = SSL_get_error(c.ssl, n);
        if ((e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) && ++stalls < 50) {
            pollfd p{c.fd, static_cast<short>(e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
            poll(&p, 1, 100);
            continue;
        }
        c.closing = true;
    }
    c.outbox.clear();
}

void Server::close_client(Client& c) {
    judge_.forget_connection(c.conn);
    if (c.ssl != nullptr) {
        if (SSL_is_init_finished(c.ssl)) SSL_shutdown(c.ssl);
        SSL_free(c.ssl);
    }
    close(c.fd);
}

}  // namespace orvo::qel::standin
