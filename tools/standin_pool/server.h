// The stand-in pool's event loop: one listening socket on 127.0.0.1 and any number of clients,
// served on one thread with poll().
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "judge.h"
#include "options.h"
#include "pool/json.h"
#include "tls_server.h"

namespace orvo::qel::standin {

class Server {
  public:
    // `tls`: when given, every client speaks TLS (it must outlive the server).
    Server(const Options& options, ShareJudge& judge, const TlsServer* tls = nullptr);
    ~Server();

    // Binds and listens; prints "listening on 127.0.0.1:PORT". False (with a message on
    // stderr) when the port cannot be bound.
    bool listen_loopback();
    // Serves until `stop` is set or --exit-after elapses.
    void run(const std::atomic<bool>& stop);

  private:
    struct Client {
        int fd = -1;
        ssl_st* ssl = nullptr;  // with --tls: the client's session (non-blocking socket)
        uint64_t conn = 0;
        std::string inbox;
        std::string outbox;  // queued lines in --merge mode
        uint64_t lines_sent = 0;
        uint64_t jobs_sent = 0;
        bool logged_in = false;
        bool deaf = false;  // no longer read (--deaf)
        bool closing = false;
        double next_job_at = 0;
    };

    void accept_client(double now);
    void read_from(Client& c);
    void read_tls(Client& c);
    void take_bytes(Client& c, const char* bytes, size_t size);
    void flush_tls(Client& c);
    void handle_message(Client& c, const std::string& line);
    void handle_login(Client& c, const JsonValue& message);
    void handle_submit(Client& c, const JsonValue& message);
    std::string make_job(Client& c, bool for_login_reply);
    void send_line(Client& c, const std::string& line);
    void send_garbage(Client& c);
    void send_odd_replies(Client& c, uint64_t id);
    std::string error_value(const std::string& text) const;
    void write_raw(Client& c, const std::string& bytes);
    void flush(Client& c);
    void close_client(Client& c);

    const Options& options_;
    ShareJudge& judge_;
    const TlsServer* tls_;
    int listener_ = -1;
    uint64_t next_conn_ = 1;
    uint64_t next_height_;
    uint8_t share_target_[32] = {};
    uint8_t network_target_[32] = {};
    std::mt19937_64 rng_;
    std::map<int, Client> clients_;
};

}  // namespace orvo::qel::standin
