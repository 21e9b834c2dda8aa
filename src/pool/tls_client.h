// TLS to the pool (OpenSSL), the top layer of a connection: TLS 1.2 or later, the certificate
// either pinned by its SHA-256 fingerprint, or verified against the CA store with the pool's
// name checked (also through a proxy: the name is the pool's, never the proxy's). The handshake
// runs over the layers below within a deadline; the certificate is judged only once the
// handshake is over, so a refusal can name the fingerprint the pool presented, and nothing of
// the protocol is sent before it is judged. The connection ends with close_notify.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "pool/endpoint.h"
#include "pool/pool_timing.h"
#include "pool/transport.h"

struct ssl_ctx_st;

namespace orvo::qel {

// Where the CA bundles of the common distributions live, searched in this order.
inline constexpr const char* SYSTEM_CA_BUNDLES[] = {
    "/etc/ssl/certs/ca-certificates.crt",  // Debian, Ubuntu
    "/etc/pki/tls/certs/ca-bundle.crt",    // RHEL, Fedora
    "/etc/ssl/cert.pem",                   // Alpine
};

// The CA bundle to use: `ssl_cert_file` (the SSL_CERT_FILE variable) when set and not empty,
// whether or not it can be read (the user named it); otherwise the first of SYSTEM_CA_BUNDLES
// that `readable` accepts. Nothing when there is none.
std::optional<std::string> find_ca_bundle(const char* ssl_cert_file,
                                          const std::function<bool(const char*)>& readable);

// Longest a closing connection waits to hand its close_notify to a peer that is not reading:
// a stop or a failover must not hang on a dead pool.
inline constexpr std::chrono::milliseconds CLOSE_NOTIFY_WAIT{500};

class TlsClient : public ConnectionLayer {
  public:
    // `ca_bundle`: empty: the system's, found at the first unpinned handshake. `timing`: its
    // connect deadline bounds the handshake.
    explicit TlsClient(std::string ca_bundle = {}, const PoolTiming& timing = {});
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // A TLS endpoint: the handshake over `below`; any other: `below` as it came.
    ConnectAttempt open(std::unique_ptr<Transport> below, const PoolEndpoint& pool,
                        const std::function<bool()>& keep_going) override;

    // Runs the handshake over the connection `below`, which it takes over (closed on failure),
    // and checks the certificate. A failure comes with its one-line problem, except when
    // `keep_going` ended it.
    ConnectAttempt handshake(std::unique_ptr<Transport> below, const PoolEndpoint& endpoint,
                             std::chrono::milliseconds deadline, std::chrono::milliseconds slice,
                             const std::function<bool()>& keep_going);

  private:
    bool ready_context(std::string& problem);
    void load_ca_store();

    std::string ca_bundle_;
    const PoolTiming timing_;
    ssl_ctx_st* ctx_ = nullptr;  // made at the first handshake; the CA store loaded only when
                                 // an unpinned pool needs it
    bool store_loaded_ = false;
    std::string store_problem_;  // why the CA store is empty, for the refusal line
};

}  // namespace orvo::qel
