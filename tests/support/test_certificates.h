// Certificates made for one test by the openssl command, in a private directory: a CA, and one
// server key with certificates for each case a TLS client must tell apart. Nothing here is
// anyone's real key; everything is removed with the directory.
#pragma once

#include <string>

#include "support/process.h"

namespace orvo::qel::test_support {

class TestCertificates {
  public:
    TestCertificates();
    // False when the openssl command failed; `problem()` says how.
    bool ok() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }

    std::string ca() const { return dir_.file("ca.crt"); }  // the CA, as a bundle of one
    std::string key() const { return dir_.file("server.key"); }
    // Signed by the CA for localhost and 127.0.0.1, valid for two days.
    std::string good() const { return dir_.file("good.crt"); }
    // Signed by the CA, but for pool.invalid only.
    std::string other_host() const { return dir_.file("other.crt"); }
    // Signed by the CA for localhost and 127.0.0.1, expired yesterday.
    std::string expired() const { return dir_.file("expired.crt"); }
    // For localhost and 127.0.0.1, signed by another CA, one not in ca().
    std::string foreign() const { return dir_.file("foreign.crt"); }
    // For localhost and 127.0.0.1, signed by itself.
    std::string self_signed() const { return dir_.file("self.crt"); }

    // The SHA-256 fingerprint of a certificate file as `openssl x509 -fingerprint` prints it
    // ("AB:CD:..."); empty on failure.
    static std::string fingerprint(const std::string& cert);

  private:
    TempDir dir_;
    std::string problem_;
};

}  // namespace orvo::qel::test_support
