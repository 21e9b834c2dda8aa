// TLS to the pool (OpenSSL): TLS 1.2 or later, the certificate either pinned by its SHA-256
// fingerprint, or verified against the CA store with the host name checked. The handshake runs
// on the caller's non-blocking socket within a deadline; the certificate is judged only once
// the handshake is over, so a refusal can name the fingerprint the pool presented, and nothing
// of the protocol is sent before it is judged.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "pool/endpoint.h"
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

class TlsClient {
  public:
    // `ca_bundle`: empty: the system's, found at the first unpinned handshake.
    explicit TlsClient(std::string ca_bundle = {});
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Runs the handshake on the connected socket `fd`, which it takes over (closed on failure),
    // and checks the certificate. A failure comes with its one-line problem, except when
    // `keep_going` ended it.
    ConnectAttempt handshake(int fd, const PoolEndpoint& endpoint,
                             std::chrono::milliseconds deadline, std::chrono::milliseconds slice,
                             const std::function<bool()>& keep_going);

  private:
    bool ready_context(std::string& problem);
    void load_ca_store();

    std::string ca_bundle_;
    ssl_ctx_st* ctx_ = nullptr;  // made at the first handshake; the CA store loaded only when
                                 // an unpinned pool needs it
    bool store_loaded_ = false;
    std::string store_problem_;  // why the CA store is empty, for the refusal line
};

}  // namespace orvo::qel
