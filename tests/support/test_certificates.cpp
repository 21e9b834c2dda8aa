#include "support/test_certificates.h"

#include <vector>

namespace orvo::qel::test_support {
namespace {

constexpr char OPENSSL[] = "/usr/bin/openssl";
const std::vector<std::string> NEW_EC_KEY = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                             "-nodes"};

}  // namespace

TestCertificates::TestCertificates() {
    auto run = [&](std::vector<std::string> args) {
        if (!problem_.empty()) return;
        args.insert(args.begin(), OPENSSL);
        const ProcessResult r = run_process(args, std::chrono::seconds(30));
        if (r.exit_code != 0) problem_ = args[1] + " failed: " + r.err;
    };
    auto with_key = [](std::vector<std::string> head, std::vector<std::string> tail) {
        head.insert(head.end(), NEW_EC_KEY.begin(), NEW_EC_KEY.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const std::string local = "subjectAltName=DNS:localhost,IP:127.0.0.1";
    run(with_key({"req", "-x509"},
                 {"-keyout", dir_.file("ca.key"), "-out", ca(), "-subj", "/CN=mintrakel test CA",
                  "-days", "2", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                  "keyUsage=critical,keyCertSign"}));
    run(with_key(
        {"req", "-x509"},
        {"-keyout", dir_.file("foreign-ca.key"), "-out", dir_.file("foreign-ca.crt"), "-subj",
         "/CN=mintrakel foreign CA", "-days", "2", "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign"}));
    run(with_key({"req", "-new"},
                 {"-keyout", key(), "-out", dir_.file("server.csr"), "-subj", "/CN=localhost"}));
    struct Signed {
        std::string cert, san, days, serial, ca;
    };
    for (const Signed& s : {Signed{good(), local, "2", "1", "ca"},
                            Signed{other_host(), "subjectAltName=DNS:pool.invalid", "2", "2", "ca"},
                            Signed{expired(), local, "-1", "3", "ca"},
                            Signed{foreign(), local, "2", "4", "foreign-ca"}}) {
        const std::string ext = s.cert + ".ext";
        write_file(ext, s.san + "\n");
        run({"x509", "-req", "-in", dir_.file("server.csr"), "-CA", dir_.file(s.ca + ".crt"),
             "-CAkey", dir_.file(s.ca + ".key"), "-set_serial", s.serial, "-days", s.days,
             "-extfile", ext, "-out", s.cert});
    }
    run({"req", "-x509", "-key", key(), "-subj", "/CN=localhost", "-addext", local, "-days", "2",
         "-out", self_signed()});
}

std::string TestCertificates::fingerprint(const std::string& cert) {
    const ProcessResult r =
        run_process({OPENSSL, "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"});
    const size_t eq = r.out.find('=');
    if (r.exit_code != 0 || eq == std::string::npos) return "";
    std::string fp = r.out.substr(eq + 1);
    while (!fp.empty() && (fp.back() == '\n' || fp.back() == '\r')) fp.pop_back();
    return fp;
}

}  // namespace orvo::qel::test_support
