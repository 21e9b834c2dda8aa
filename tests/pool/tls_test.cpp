// The pool client over TLS against real TLS servers: the stand-in pool with --tls, openssl's own
// s_server, and loopback peers that misbehave in the handshake. Certificates and fingerprints
// come from the openssl command, not from the client's code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "pool/pool.h"
#include "pool/socket_connector.h"
#include "pool/tls_client.h"
#include "pool_test_util.h"
#include "support/process.h"
#include "support/standin_pool.h"
#include "support/test_certificates.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using test_support::eventually;
using test_support::LoopbackPeer;
using test_support::Recorder;
using test_support::StandinPool;
using test_support::TestCertificates;

// "AB:CD:..." as the miner prints it: lower case, no colons.
std::string plain_hex(std::string openssl_form) {
    std::erase(openssl_form, ':');
    for (char& c : openssl_form) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return openssl_form;
}

// `text` with every `placeholder` replaced by `value`.
std::string substitute(const std::string& text, const std::string& placeholder,
                       const std::string& value) {
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find(placeholder, from)) != std::string::npos;) {
        out += text.substr(from, at - from) + value;
        from = at + placeholder.size();
    }
    return out + text.substr(from);
}

PoolTiming quick_timing() {
    PoolTiming t;
    t.delay_unit = 5ms;
    t.connect_timeout = 1000ms;
    return t;
}

// A client that trusts only the CA bundle `ca`: by default the test CA.
std::unique_ptr<Pool> tls_client(Recorder& rec, const TestCertificates& certs, PoolTiming timing,
                                 std::string ca = {}) {
    return std::make_unique<Pool>(
        rec.lines(), rec.verdicts(), timing,
        std::make_unique<SocketConnector>(timing, system_resolve, ca.empty() ? certs.ca() : ca));
}

Pool::Config config_for(const std::string& host, uint16_t port, bool tls,
                        const std::string& pin_text) {
    Pool::Config config = test_support::loopback_config(port);
    config.host = host;
    config.tls = tls;
    if (!pin_text.empty()) config.pin = parse_fingerprint(pin_text);
    return config;
}

// What stands behind the pool's port.
enum class Peer {
    standin,         // the stand-in pool with --tls and `cert`
    silent,          // accepts (the kernel does) and never says a thing
    plain_line,      // a plain pool: answers the ClientHello with a JSON line
    partial_record,  // starts a TLS record and stalls
    tls_alert,       // a TLS server that answers a plain login with an alert
    tls_1_1,         // openssl s_server speaking TLS 1.1 only: refuses the hello with an alert
    hello_1_1,       // a server too old to refuse: answers the hello in TLS 1.1
};

// A ServerHello in TLS 1.1 (version 3.2): a zero random, no session, cipher 0x002f, no
// compression and no extensions.
std::string server_hello_1_1() {
    // Record header (42 bytes), handshake header (type 2, 38 bytes), the version.
    std::string hello("\x16\x03\x02\x00\x2a\x02\x00\x00\x26\x03\x02", 11);
    hello.resize(hello.size() + 32, '\0');  // the random
    return hello + std::string("\x00\x00\x2f\x00", 4);
}

// Every way a TLS connection can go wrong is one red line and a failed attempt, within the
// connect deadline; and the ways it goes right show the certificate the pool presented.
TEST(Tls, EachHostileServerIsOneRedLineAndAFailedAttempt) {
    TestCertificates certs;
    ASSERT_TRUE(certs.ok()) << certs.problem();
    const std::string good_fp = TestCertificates::fingerprint(certs.good());
    const std::string self_fp = TestCertificates::fingerprint(certs.self_signed());
    const std::string expired_fp = TestCertificates::fingerprint(certs.expired());
    const std::string foreign_fp = TestCertificates::fingerprint(certs.foreign());
    ASSERT_FALSE(good_fp.empty() || self_fp.empty() || expired_fp.empty() || foreign_fp.empty());

    // In the expectations, "P" stands for the port.
    const struct Case {
        const char* name;
        Peer peer;
        std::string cert;  // for the stand-in
        std::string host;
        bool tls;
        std::string pin;
        std::string expected;   // the red line; "connected to " ... for a connection
        bool empty_ca = false;  // the CA bundle is an empty file, "<ca>" in `expected`
    } cases[] = {
        {"verified chain and host name", Peer::standin, certs.good(), "localhost", true, "",
         "connected to localhost:P · TLS 1.3 · fingerprint " + plain_hex(good_fp)},
        {"verified chain and address", Peer::standin, certs.good(), "127.0.0.1", true, "",
         "connected to 127.0.0.1:P · TLS 1.3 · fingerprint " + plain_hex(good_fp)},
        {"self-signed, pinned", Peer::standin, certs.self_signed(), "127.0.0.1", true, self_fp,
         "connected to 127.0.0.1:P · TLS 1.3 · fingerprint " + plain_hex(self_fp)},
        {"self-signed", Peer::standin, certs.self_signed(), "127.0.0.1", true, "",
         "red: TLS: the certificate of 127.0.0.1:P is not trusted (self-signed certificate) · "
         "fingerprint " +
             plain_hex(self_fp) + ": if it is your pool's, pin it with --tls-fingerprint"},
        {"expired", Peer::standin, certs.expired(), "localhost", true, "",
         "red: TLS: the certificate of localhost:P is not trusted (certificate has expired) · "
         "fingerprint " +
             plain_hex(expired_fp) + ": if it is your pool's, pin it with --tls-fingerprint"},
        {"wrong host name", Peer::standin, certs.other_host(), "localhost", true, "",
         "red: TLS: the certificate of localhost:P is not trusted (hostname mismatch) · "
         "fingerprint "},
        {"address not in the certificate", Peer::standin, certs.other_host(), "127.0.0.1", true, "",
         "red: TLS: the certificate of 127.0.0.1:P is not trusted (IP address mismatch) · "
         "fingerprint "},
        {"chain from a CA not in the store", Peer::standin, certs.foreign(), "localhost", true, "",
         "red: TLS: the certificate of localhost:P is not trusted (unable to get local issuer "
         "certificate) · fingerprint " +
             plain_hex(foreign_fp)},
        {"another certificate than the pinned", Peer::standin, certs.good(), "127.0.0.1", true,
         self_fp,
         "red: TLS: 127.0.0.1:P presented certificate " + plain_hex(good_fp) + ", not the pinned " +
             plain_hex(self_fp)},
        {"TLS server behind a plain URL", Peer::standin, certs.good(), "127.0.0.1", false, "",
         "red: 127.0.0.1:P closed the connection without a word (a TLS port? then write "
         "stratum+ssl://127.0.0.1:P)"},
        {"TLS alert to a plain login", Peer::tls_alert, "", "127.0.0.1", false, "",
         "red: 127.0.0.1:P answered in TLS: write the pool as stratum+ssl://127.0.0.1:P"},
        {"silent server", Peer::silent, "", "127.0.0.1", true, "",
         "red: TLS handshake with 127.0.0.1:P did not finish within 1 s"},
        {"plain server", Peer::plain_line, "", "127.0.0.1", true, "",
         "red: TLS handshake with 127.0.0.1:P failed: "},
        {"stall inside a record", Peer::partial_record, "", "127.0.0.1", true, "",
         "red: TLS handshake with 127.0.0.1:P did not finish within 1 s"},
        {"TLS 1.1 only", Peer::tls_1_1, "", "localhost", true, "",
         "red: TLS handshake with localhost:P failed: the pool offers only TLS older than 1.2, "
         "and the miner needs TLS 1.2 or later"},
        {"TLS 1.1 hello", Peer::hello_1_1, "", "127.0.0.1", true, "",
         "red: TLS handshake with 127.0.0.1:P failed: the pool offers only TLS older than 1.2, "
         "and the miner needs TLS 1.2 or later"},
        {"empty CA bundle", Peer::standin, certs.good(), "localhost", true, "",
         "red: TLS: the certificate of localhost:P is not trusted (unable to get local issuer "
         "certificate; CA bundle <ca> holds no certificate) · fingerprint " +
             plain_hex(good_fp),
         true},
    };
    test_support::TempDir dir;
    const std::string empty_ca = dir.file("empty.pem");
    test_support::write_file(empty_ca, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<StandinPool> standin;
        std::optional<test_support::BackgroundProcess> server;
        LoopbackPeer peer;
        uint16_t port = peer.port();
        if (c.peer == Peer::standin) {
            standin.emplace(std::vector<std::string>{"--tls", c.cert, certs.key()});
            ASSERT_NE(standin->port(), 0);
            port = standin->port();
        } else if (c.peer == Peer::tls_1_1) {
            port = test_support::closed_port();  // the client retries until it listens
            server.emplace(std::vector<std::string>{
                "/bin/sh", "-c",
                "exec /usr/bin/openssl s_server -quiet -tls1_1 -accept 127.0.0.1:" +
                    std::to_string(port) + " -cert " + certs.good() + " -key " + certs.key()});
        }
        std::string expected =
            substitute(c.expected, ":P", std::string(":").append(std::to_string(port)));
        if (c.empty_ca) expected = substitute(expected, "<ca>", empty_ca);

        Recorder rec;  // outlives the client that reports to it
        auto pool = tls_client(rec, certs, quick_timing(), c.empty_ca ? empty_ca : "");
        pool->start(config_for(c.host, port, c.tls, c.pin));
        if (c.peer == Peer::plain_line || c.peer == Peer::partial_record ||
            c.peer == Peer::hello_1_1) {
            ASSERT_TRUE(peer.accept_client());
            ASSERT_TRUE(
                peer.send(c.peer == Peer::plain_line  ? std::string(R"({"id":1,"error":"what?"})"
                                                                     "\n")
                          : c.peer == Peer::hello_1_1 ? server_hello_1_1()
                                                      : std::string("\x16\x03\x03\x00\x40", 5)));
        } else if (c.peer == Peer::tls_alert) {
            ASSERT_TRUE(peer.accept_client());
            std::string login;
            ASSERT_TRUE(peer.read_line(login));
            ASSERT_TRUE(peer.send(std::string("\x15\x03\x03\x00\x02\x02\x46", 7)));
        }
        ASSERT_TRUE(eventually([&] { return rec.count_prefix(expected) >= 1; }, 5s))
            << testing::PrintToString(rec.logs());
        const bool connects = expected.rfind("connected to ", 0) == 0;
        if (connects) {
            EXPECT_TRUE(eventually([&] { return pool->status().connected; }));
            const PoolStatus status = pool->status();
            EXPECT_TRUE(status.tls);
            EXPECT_EQ(status.tls_fingerprint, plain_hex(c.pin.empty() ? good_fp : c.pin));
        } else {
            // A failed attempt: the usual retry line follows the red one.
            ASSERT_TRUE(eventually([&] {
                const auto logs = rec.logs();
                const auto red = std::find_if(logs.begin(), logs.end(), [&](const auto& l) {
                    return l.rfind(expected, 0) == 0;
                });
                return red + 1 < logs.end() && ((red + 1)->rfind("cannot reach ", 0) == 0 ||
                                                (red + 1)->rfind("connection lost, ", 0) == 0);
            })) << testing::PrintToString(rec.logs());
            EXPECT_FALSE(pool->connected() && pool->job_seq() > 0);
        }
        const auto t0 = std::chrono::steady_clock::now();
        pool->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    }
}

// A stop in the middle of a handshake that stalls, before or inside a record, takes no longer
// than anywhere else, and is no failure to report.
TEST(Tls, StopDuringAStalledHandshakeIsPrompt) {
    TestCertificates certs;
    ASSERT_TRUE(certs.ok()) << certs.problem();
    for (const bool inside_record : {false, true}) {
        LoopbackPeer peer;
        Recorder rec;
        PoolTiming timing;  // the real connect deadline: the stall outlasts the test
        auto pool = tls_client(rec, certs, timing);
        pool->start(config_for("127.0.0.1", peer.port(), true, ""));
        ASSERT_TRUE(peer.accept_client());
        if (inside_record) {
            ASSERT_TRUE(peer.send(std::string("\x16\x03\x03\x00\x40", 5)));
        }
        std::this_thread::sleep_for(300ms);
        const auto t0 = std::chrono::steady_clock::now();
        pool->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << inside_record;
        EXPECT_EQ(rec.logs(), std::vector<std::string>{}) << inside_record;
    }
}

// Against a TLS server that shares no code with the client: openssl s_server, scripted through
// a FIFO on its standard input. The client verifies its chain and name, logs in (the server
// shows the line decrypted), takes the job the server sends, and at its stop ends with
// close_notify (the server says "DONE"; a connection cut without it, "ERROR").
TEST(Tls, IndependentServerSeesTheLoginServesAJobAndSeesCloseNotify) {
    TestCertificates certs;
    ASSERT_TRUE(certs.ok()) << certs.problem();
    test_support::TempDir dir;
    const std::string fifo = dir.file("stdin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const uint16_t port = test_support::closed_port();
    test_support::BackgroundProcess server(
        {"/bin/sh", "-c",
         "exec /usr/bin/openssl s_server -naccept 1 -accept 127.0.0.1:" + std::to_string(port) +
             " -cert " + certs.good() + " -key " + certs.key() + " < " + fifo});
    const int script = open(fifo.c_str(), O_WRONLY);  // waits for the server to open its end
    ASSERT_GE(script, 0);

    Recorder rec;
    auto pool = tls_client(rec, certs, quick_timing());
    // s_server needs a moment to listen after it opened its input.
    ASSERT_TRUE(eventually([&] {
        pool->start(config_for("localhost", port, true, ""));
        const bool up = eventually([&] { return pool->connected(); }, 300ms);
        if (!up) pool->stop();
        return up;
    }));
    EXPECT_TRUE(
        server.wait_for_output(R"({"id":1,"method":"login","params":{"address":"addr")", 5s))
        << server.stdout_text() << server.stderr_text();
    const std::string job = R"({"id":1,"result":{"job_id":"s1","header_base":")" +
                            std::string(224, 'b') + R"(","target":")" + std::string(64, 'f') +
                            R"(","height":7}})"
                            "\n";
    ASSERT_EQ(write(script, job.data(), job.size()), static_cast<ssize_t>(job.size()));
    EXPECT_TRUE(eventually([&] { return rec.count("logged in") == 1; }));
    EXPECT_EQ(PoolTestAccess::job(*pool).job_id, "s1");
    EXPECT_EQ(rec.count_prefix("connected to localhost:" + std::to_string(port) + " · TLS 1."), 1u);
    const auto t0 = std::chrono::steady_clock::now();
    pool->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_TRUE(server.wait_for_output("CONNECTION CLOSED", 5s)) << server.stdout_text();
    EXPECT_NE(server.stdout_text().find("\nDONE\n"), std::string::npos) << server.stdout_text();
    close(script);
}

TEST(Tls, CaBundleFromTheEnvironmentElseTheFirstReadableSystemBundle) {
    auto only = [](std::string path) {
        return [path](const char* candidate) { return path == candidate; };
    };
    EXPECT_EQ(find_ca_bundle("/my/ca.pem", only("/etc/ssl/cert.pem")), "/my/ca.pem");
    EXPECT_EQ(find_ca_bundle("", only("/etc/ssl/cert.pem")), "/etc/ssl/cert.pem");
    EXPECT_EQ(find_ca_bundle(nullptr, only("/etc/pki/tls/certs/ca-bundle.crt")),
              "/etc/pki/tls/certs/ca-bundle.crt");
    EXPECT_EQ(find_ca_bundle(nullptr, [](const char*) { return true; }),
              "/etc/ssl/certs/ca-certificates.crt");
    EXPECT_EQ(find_ca_bundle(nullptr, [](const char*) { return false; }), std::nullopt);
}

}  // namespace
}  // namespace orvo::qel
