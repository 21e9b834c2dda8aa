#include "pool/tls_client.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orvo::qel {
namespace {

using Clock = std::chrono::steady_clock;

// A BIO over the connection below (a plain socket, or a proxy's tunnel on one), so TLS runs on
// top of whatever the layers below built. Its writes never raise SIGPIPE (the plain layer sends
// with MSG_NOSIGNAL), even on a pool that has closed its end.
Transport* bio_below(BIO* bio) {
    return static_cast<Transport*>(BIO_get_data(bio));
}

int bio_result(BIO* bio, const IoResult& r, bool reading) {
    switch (r.status) {
        case IoResult::Status::done:
            return static_cast<int>(r.bytes);
        case IoResult::Status::again:
            if (reading) {
                BIO_set_retry_read(bio);
            } else {
                BIO_set_retry_write(bio);
            }
            return -1;
        case IoResult::Status::closed:
            return 0;
        case IoResult::Status::failed:
            break;
    }
    errno = r.error;
    return -1;
}

int bio_write(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    return bio_result(bio, bio_below(bio)->write(data, static_cast<size_t>(size)), false);
}

int bio_read(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    return bio_result(bio, bio_below(bio)->read(buffer, static_cast<size_t>(size)), true);
}

long bio_ctrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once, never freed: OpenSSL keeps a pointer to it in every BIO.
const BIO_METHOD* socket_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pool connection");
        BIO_meth_set_write(m, bio_write);
        BIO_meth_set_read(m, bio_read);
        BIO_meth_set_ctrl(m, bio_ctrl);
        BIO_meth_set_create(m, bio_create);
        return m;
    }();
    return method;
}

// The newest OpenSSL error's reason, e.g. "wrong version number".
std::string openssl_reason() {
    const unsigned long e = ERR_peek_last_error();
    const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    return reason != nullptr ? reason : "the connection failed";
}

// The line for a handshake that OpenSSL ended, in the user's words where the cause is one the
// user can act on.
std::string handshake_failure(const std::string& where) {
    const unsigned long e = ERR_peek_last_error();
    const bool ssl_error = e != 0 && ERR_GET_LIB(e) == ERR_LIB_SSL;
    const int reason = ssl_error ? ERR_GET_REASON(e) : 0;
    // A server that offers only TLS 1.0 or 1.1 either refuses the ClientHello with a
    // protocol_version alert or answers in the old version, which the client refuses.
    if (reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION || reason == SSL_R_UNSUPPORTED_PROTOCOL) {
        return "TLS handshake with " + where +
               " failed: the pool offers only TLS older than 1.2, and the miner needs TLS 1.2 "
               "or later";
    }
    // What a client meets when it speaks TLS to a plain port (the texts of several OpenSSL
    // versions).
    const std::string text = openssl_reason();
    const bool plain = text == "wrong version number" || text == "packet length too long" ||
                       text == "record layer failure";
    return "TLS handshake with " + where + " failed: " + text +
           (plain ? " (a plain TCP port? then write stratum+tcp://" + where + ")" : "");
}

bool is_address_literal(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::optional<Fingerprint> certificate_fingerprint(SSL* ssl) {
    X509* cert = SSL_get1_peer_certificate(ssl);
    if (cert == nullptr) return std::nullopt;
    Fingerprint fp{};
    unsigned int size = 0;
    const bool ok = X509_digest(cert, EVP_sha256(), fp.data(), &size) == 1 && size == fp.size();
    X509_free(cert);
    if (!ok) return std::nullopt;
    return fp;
}

class TlsTransport : public Transport {
  public:
    TlsTransport(std::unique_ptr<Transport> below, SSL* ssl, TransportSecurity security)
        : below_(std::move(below)), ssl_(ssl), security_(std::move(security)) {}
    ~TlsTransport() override {
        if (!broken_) say_goodbye();
        SSL_free(ssl_);
    }
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    IoResult read(char* buffer, size_t size) override {
        read_wants_write_ = false;
        ERR_clear_error();
        const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
        if (n > 0) return {IoResult::Status::done, static_cast<size_t>(n)};
        return outcome(n, read_wants_write_);
    }
    IoResult write(const char* data, size_t size) override {
        bool wants_write = false;
        ERR_clear_error();
        const int n = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
        if (n > 0) return {IoResult::Status::done, static_cast<size_t>(n)};
        return outcome(n, wants_write);
    }
    int fd() const override { return below_->fd(); }
    short wanted_events(bool writing) const override {
        return static_cast<short>(POLLIN | (writing || read_wants_write_ ? POLLOUT : 0));
    }
    // Only reading: the close_notify still has to go out when the connection is destroyed.
    void shut_down() override { shutdown(fd(), SHUT_RD); }
    TransportSecurity security() const override { return security_; }

  private:
    IoResult outcome(int n, bool& wants_write) {
        const int saved_errno = errno;
        switch (SSL_get_error(ssl_, n)) {
            case SSL_ERROR_WANT_READ:
                return {IoResult::Status::again};
            case SSL_ERROR_WANT_WRITE:
                wants_write = true;
                return {IoResult::Status::again};
            case SSL_ERROR_ZERO_RETURN:
                return {IoResult::Status::closed};
            case SSL_ERROR_SYSCALL:
                if (saved_errno == EINTR) return {IoResult::Status::again};
                broken_ = true;
                return {IoResult::Status::failed, 0, saved_errno};
            default:
                broken_ = true;
                return {IoResult::Status::failed};
        }
    }

    // Sends close_notify (RFC 8446 6.1), so the pool can tell a deliberate end from a cut
    // connection. Waits for room in the socket at most CLOSE_NOTIFY_WAIT, and never for the
    // pool's own close_notify: the connection is over either way.
    void say_goodbye() {
        const auto until = Clock::now() + CLOSE_NOTIFY_WAIT;
        for (;;) {
            ERR_clear_error();
            const int r = SSL_shutdown(ssl_);
            if (r >= 0 || SSL_get_error(ssl_, r) != SSL_ERROR_WANT_WRITE) return;
            if (wait_for_socket(fd(), POLLOUT, until, CLOSE_NOTIFY_WAIT, [] { return true; }) !=
                SocketWait::ready) {
                return;
            }
        }
    }

    const std::unique_ptr<Transport> below_;  // outlives ssl_, whose BIO points to it
    SSL* const ssl_;
    const TransportSecurity security_;
    bool read_wants_write_ = false;
    bool broken_ = false;  // a fatal error: OpenSSL forbids SSL_shutdown after one
};

struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

}  // namespace

std::optional<std::string> find_ca_bundle(const char* ssl_cert_file,
                                          const std::function<bool(const char*)>& readable) {
    if (ssl_cert_file != nullptr && *ssl_cert_file != '\0') return std::string(ssl_cert_file);
    for (const char* path : SYSTEM_CA_BUNDLES) {
        if (readable(path)) return std::string(path);
    }
    return std::nullopt;
}

TlsClient::TlsClient(std::string ca_bundle, const PoolTiming& timing)
    : ca_bundle_(std::move(ca_bundle)), timing_(timing) {}

ConnectAttempt TlsClient::open(std::unique_ptr<Transport> below, const PoolEndpoint& pool,
                               const std::function<bool()>& keep_going) {
    if (!pool.tls) return {std::move(below), {}};
    return handshake(std::move(below), pool, timing_.connect_timeout, timing_.connect_slice,
                     keep_going);
}

TlsClient::~TlsClient() {
    SSL_CTX_free(ctx_);
}

bool TlsClient::ready_context(std::string& problem) {
    if (ctx_ != nullptr) return true;
    // The configuration file is that of the machine the binary was built on, or none: the
    // client sets everything it relies on itself.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr || SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) != 1) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        problem = "TLS cannot be set up: " + openssl_reason();
        return false;
    }
    SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Writes resume with a buffer whose unwritten bytes have moved (the outgoing queue grows and
    // shrinks), and may be partial, as on a plain socket.
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The chain is verified during the handshake but judged after it (SSL_get_verify_result).
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    return true;
}

void TlsClient::load_ca_store() {
    if (store_loaded_) return;
    store_loaded_ = true;
    std::optional<std::string> bundle = ca_bundle_;
    if (bundle->empty()) {
        bundle = find_ca_bundle(std::getenv("SSL_CERT_FILE"),
                                [](const char* path) { return access(path, R_OK) == 0; });
    }
    if (!bundle) {
        store_problem_ = "no CA bundle found: set SSL_CERT_FILE";
    } else if (SSL_CTX_load_verify_locations(ctx_, bundle->c_str(), nullptr) != 1) {
        // A file that reads but yields no certificate (empty, or no PEM in it) is told apart
        // from one that cannot be read: the user fixes them differently.
        const unsigned long e = ERR_peek_last_error();
        const bool empty = ERR_GET_LIB(e) == ERR_LIB_X509 &&
                           ERR_GET_REASON(e) == X509_R_NO_CERTIFICATE_OR_CRL_FOUND;
        store_problem_ = "CA bundle " + *bundle + (empty ? " holds no certificate" : " unreadable");
    }
    ERR_clear_error();
}

ConnectAttempt TlsClient::handshake(std::unique_ptr<Transport> below, const PoolEndpoint& endpoint,
                                    std::chrono::milliseconds deadline,
                                    std::chrono::milliseconds slice,
                                    const std::function<bool()>& keep_going) {
    const std::string where = endpoint.text();
    const int fd = below->fd();
    auto fail = [&](std::string problem) { return ConnectAttempt{nullptr, std::move(problem)}; };
    std::string problem;
    if (!ready_context(problem)) return fail(problem);
    if (!endpoint.pin) load_ca_store();

    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx_));
    BIO* bio = ssl ? BIO_new(socket_method()) : nullptr;
    if (bio == nullptr) return fail("TLS cannot be set up: " + openssl_reason());
    BIO_set_data(bio, below.get());
    SSL_set_bio(ssl.get(), bio, bio);
    if (is_address_literal(endpoint.host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), endpoint.host.c_str());
    } else {
        // The name for virtual hosting (SNI); the macro for it casts in C's way.
        SSL_ctrl(ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(endpoint.host.c_str()));
        SSL_set1_host(ssl.get(), endpoint.host.c_str());
    }

    const auto until = Clock::now() + deadline;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_connect(ssl.get());
        if (r == 1) break;
        const int saved_errno = errno;
        short events = 0;
        switch (SSL_get_error(ssl.get(), r)) {
            case SSL_ERROR_WANT_READ:
                events = POLLIN;
                break;
            case SSL_ERROR_WANT_WRITE:
                events = POLLOUT;
                break;
            case SSL_ERROR_SYSCALL:
                if (saved_errno == EINTR) continue;
                if (!keep_going()) return fail("");
                return fail("TLS handshake with " + where +
                            " failed: the pool closed the connection");
            default:
                if (!keep_going()) return fail("");
                return fail(handshake_failure(where));
        }
        switch (wait_for_socket(fd, events, until, slice, keep_going)) {
            case SocketWait::ready:
                continue;
            case SocketWait::stopped:
                return fail("");
            case SocketWait::timed_out:
                return fail("TLS handshake with " + where + " did not finish within " +
                            std::to_string(deadline.count() / 1000) + " s");
            case SocketWait::failed:
                return fail("TLS handshake with " + where + " failed: " + std::strerror(errno));
        }
    }

    const std::optional<Fingerprint> seen = certificate_fingerprint(ssl.get());
    const std::string seen_hex = seen ? fingerprint_hex(*seen) : "(none)";
    if (endpoint.pin) {
        if (seen != endpoint.pin) {
            return fail("TLS: " + where + " presented certificate " + seen_hex +
                        ", not the pinned " + fingerprint_hex(*endpoint.pin));
        }
    } else {
        const long verdict = SSL_get_verify_result(ssl.get());
        if (verdict != X509_V_OK || !seen) {
            std::string why = X509_verify_cert_error_string(verdict);
            if (!store_problem_.empty()) why += "; " + store_problem_;
            return fail("TLS: the certificate of " + where + " is not trusted (" + why +
                        ") · fingerprint " + seen_hex +
                        ": if it is your pool's, pin it with --tls-fingerprint");
        }
    }
    std::string protocol = SSL_get_version(ssl.get());
    if (protocol.rfind("TLSv", 0) == 0) protocol = "TLS " + protocol.substr(4);
    return {std::make_unique<TlsTransport>(std::move(below), ssl.release(),
                                           TransportSecurity{true, protocol, seen}),
            {}};
}

}  // namespace orvo::qel
