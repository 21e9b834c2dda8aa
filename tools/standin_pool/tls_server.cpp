#include "tls_server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace orvo::qel::standin {

std::unique_ptr<TlsServer> TlsServer::load(const std::string& cert, const std::string& key,
                                           std::string& error) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx != nullptr && SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(ctx) == 1) {
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return std::unique_ptr<TlsServer>(new TlsServer(ctx));
    }
    const unsigned long e = ERR_peek_last_error();
    error = "cannot use " + cert + " and " + key + ": " +
            (e != 0 ? ERR_reason_error_string(e) : "unknown error");
    SSL_CTX_free(ctx);
    return nullptr;
}

TlsServer::~TlsServer() {
    SSL_CTX_free(ctx_);
}

ssl_st* TlsServer::session(int fd) const {
    SSL* ssl = SSL_new(ctx_);
    if (ssl == nullptr) return nullptr;
    SSL_set_fd(ssl, fd);
    SSL_set_accept_state(ssl);
    return ssl;
}

}  // namespace orvo::qel::standin
