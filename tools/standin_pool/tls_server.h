// The stand-in pool's TLS side (--tls CERT KEY): the server context and the per-client session.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace orvo::qel::standin {

class TlsServer {
  public:
    // The context with this certificate (chain) and key, both PEM; null with `error` set.
    static std::unique_ptr<TlsServer> load(const std::string& cert, const std::string& key,
                                           std::string& error);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // A server session on the accepted socket; its handshake is driven by the reads.
    ssl_st* session(int fd) const;

  private:
    explicit TlsServer(ssl_ctx_st* ctx) : ctx_(ctx) {}
    ssl_ctx_st* ctx_;
};

}  // namespace orvo::qel::standin
