// The HTTP server on loopback with short timeouts: what well-behaved and hostile clients get.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor/http_api.h"
#include "monitor/http_server.h"
#include "support/loopback.h"

namespace orvo::qel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto TIMEOUT = 300ms;  // the server's request timeout in these tests

class Client {
  public:
    explicit Client(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in addr = test_support::loopback_address(port);
        connected_ =
            connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;  // NOLINT
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    void send_text(const std::string& text) {
        size_t at = 0;
        while (at < text.size()) {
            const ssize_t n = ::send(fd_, text.data() + at, text.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;  // the server closed; what it answered is still readable
            at += static_cast<size_t>(n);
        }
    }
    // Reads until `needle` has arrived, the server closed, or `limit` passed.
    std::string read_until(const std::string& needle, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (received_.find(needle) == std::string::npos && !closed_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left <= 0ms) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
            } else {
                received_.append(buf, static_cast<size_t>(n));
            }
        }
        return received_;
    }
    // Whether the server closed the connection within `limit`.
    bool closed_within(std::chrono::milliseconds limit) {
        read_until(std::string(1, '\0') + "never", limit);
        return closed_;
    }
    void forget() { received_.clear(); }

  private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
    std::string received_;
};

class HttpServerTest : public ::testing::Test {
  protected:
    void start(std::string token = "", size_t max_connections = 4,
               std::chrono::milliseconds request_timeout = TIMEOUT) {
        auto s = std::make_shared<ApiSnapshot>();
        s->version = "1.0.1";
        s->engine = "avx2";
        s->threads = {{0, 1, 10, 1.0, false, {}}};
        box.publish(s);
        HttpServerOptions options{.host = "127.0.0.1",
                                  .port = 0,
                                  .token = std::move(token),
                                  .request_timeout = request_timeout,
                                  .max_connections = max_connections,
                                  // The snapshots are as old as the test makes them.
                                  .clock = [] { return Clock::time_point{}; }};
        ASSERT_EQ(server.start(options), std::nullopt);
        port = server.port();
        ASSERT_NE(port, 0);
    }
    SnapshotBox box;
    RunControl control;
    HttpServer server{box, control};
    uint16_t port = 0;
};

const std::string GET_SUMMARY = "GET /api/v1/summary HTTP/1.1\r\nHost: x\r\n\r\n";

TEST_F(HttpServerTest, AnswersSeveralRequestsOnOneConnectionAndHeadWithoutBody) {
    start();
    Client c(port);
    ASSERT_TRUE(c.connected());
    c.send_text(GET_SUMMARY);
    std::string r = c.read_until("\"taken_unix_ms\":0}\n", 2s);
    EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r;
    EXPECT_NE(r.find("Content-Type: application/json\r\n"), std::string::npos) << r;
    c.forget();
    c.send_text("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    r = c.read_until("mintrakel_snapshot_timestamp_seconds 0.000\n", 2s);
    EXPECT_NE(r.find("mintrakel_threads 1\n"), std::string::npos) << r;
    c.forget();
    c.send_text("HEAD /mmpos HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(c.closed_within(2s));
    r = c.read_until("", 0ms);
    EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r;
    EXPECT_EQ(r.find("miner_name"), std::string::npos) << r;  // no body after HEAD
    EXPECT_EQ(r.find("Content-Length: 0\r\n"), std::string::npos) << r;

    // Numbers the main loop took too long ago are refused on the wire too.
    auto stale = std::make_shared<ApiSnapshot>();
    stale->taken = Clock::time_point{} - API_STALE_AFTER;
    box.publish(stale);
    Client late(port);
    late.send_text(GET_SUMMARY);
    r = late.read_until("stalled\n", 2s);
    EXPECT_EQ(r.rfind("HTTP/1.1 503 ", 0), 0u) << r;
}

TEST_F(HttpServerTest, TokenOnTheWire) {
    start("s3cret");
    Client anonymous(port);
    anonymous.send_text(GET_SUMMARY);
    std::string r = anonymous.read_until("\r\n\r\n", 2s);
    EXPECT_EQ(r.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << r;
    EXPECT_NE(r.find("WWW-Authenticate: Bearer\r\n"), std::string::npos) << r;
    EXPECT_TRUE(anonymous.closed_within(TIMEOUT / 2));  // a 4xx answer ends the connection
    Client bearer(port);
    bearer.send_text("GET /mmpos HTTP/1.1\r\nAuthorization: Bearer s3cret\r\n\r\n");
    r = bearer.read_until("\"miner_version\":\"1.0.1\"}", 2s);
    EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r;
    // The control paths: the run's control is paused from the server's thread, and a wrong
    // method learns the one to use.
    bearer.send_text("POST /api/v1/pause HTTP/1.1\r\nAuthorization: Bearer s3cret\r\n\r\n");
    r = bearer.read_until("]}\n", 2s);
    EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r;
    EXPECT_TRUE(control.paused());
    Client wrong_method(port);
    wrong_method.send_text("GET /api/v1/resume HTTP/1.1\r\nAuthorization: Bearer s3cret\r\n\r\n");
    r = wrong_method.read_until("\r\n\r\n", 2s);
    EXPECT_EQ(r.rfind("HTTP/1.1 405 ", 0), 0u) << r;
    EXPECT_NE(r.find("\r\nAllow: POST\r\n"), std::string::npos) << r;
}

TEST_F(HttpServerTest, OversizedHeadIsAnswered431AndClosed) {
    start();
    for (const size_t size : {size_t{9000}, size_t{1} << 20}) {
        Client c(port);
        const std::string head =
            "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(size, 'a') + "\r\n\r\n";
        std::thread sender([&] { c.send_text(head); });
        const std::string r = c.read_until("\r\n\r\n", 3s);
        EXPECT_EQ(r.rfind("HTTP/1.1 431 ", 0), 0u) << size << ": " << r.substr(0, 80);
        EXPECT_TRUE(c.closed_within(3s)) << size;
        sender.join();
    }
    // A head just under the limit is still served.
    Client fits(port);
    fits.send_text("GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(7000, 'a') + "\r\n\r\n");
    EXPECT_EQ(fits.read_until("\r\n", 2s).rfind("HTTP/1.1 200 ", 0), 0u);
}

TEST_F(HttpServerTest, GarbageIsAnswered400AndClosed) {
    start();
    const std::string garbage[] = {
        std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + "\r\n\r\n",
        "HELLO\r\n\r\n", "GET / HTTP/9.9\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nno colon here\r\n\r\n"};
    for (const std::string& g : garbage) {
        Client c(port);
        c.send_text(g);
        const std::string r = c.read_until("\r\n\r\n", 2s);
        EXPECT_EQ(r.rfind("HTTP/1.1 400 ", 0), 0u) << r;
        EXPECT_TRUE(c.closed_within(2s));
    }
}

TEST_F(HttpServerTest, SilentAndDribblingClientsAreCutOffAfterTheTimeout) {
    start();
    Client silent(port);
    Client dribbler(port);
    const auto began = Clock::now();
    const std::string head = GET_SUMMARY;
    bool dribbler_closed = false;
    for (size_t i = 0; i < head.size() - 1 && !dribbler_closed; ++i) {
        dribbler.send_text(head.substr(i, 1));
        dribbler_closed = dribbler.closed_within(50ms);
    }
    EXPECT_TRUE(dribbler_closed || dribbler.closed_within(2s));
    EXPECT_EQ(dribbler.read_until("", 0ms).find("200 OK"), std::string::npos);
    EXPECT_TRUE(silent.closed_within(2s));
    EXPECT_LT(Clock::now() - began, 2s);
}

TEST_F(HttpServerTest, AtTheCapTheLongestIdleConnectionGivesWay) {
    start("", 2);
    Client idle(port), busy(port);
    idle.send_text("GET");  // half a request: idle since it connected
    std::this_thread::sleep_for(20ms);
    busy.send_text(GET_SUMMARY);
    ASSERT_EQ(busy.read_until("\r\n", 2s).rfind("HTTP/1.1 200 ", 0), 0u);
    Client third(port);
    EXPECT_TRUE(idle.closed_within(TIMEOUT / 2));
    third.send_text(GET_SUMMARY);
    EXPECT_EQ(third.read_until("\r\n", TIMEOUT / 2).rfind("HTTP/1.1 200 ", 0), 0u);
    busy.forget();
    busy.send_text(GET_SUMMARY);  // the busier one kept its connection
    EXPECT_EQ(busy.read_until("\r\n", TIMEOUT / 2).rfind("HTTP/1.1 200 ", 0), 0u);
}

// A scraper with the token gets every answer within a second whatever 64 other clients do: 16
// silent, 16 dribbling a head, 16 keeping their connection with a request every 2 s, 16 asking
// without the token. The server runs with the miner's own connection cap and timeout.
TEST_F(HttpServerTest, AScraperIsAnsweredWithinASecondWhatever64OtherClientsDo) {
    const HttpServerOptions miner;
    start("s3cret", miner.max_connections, miner.request_timeout);
    test_support::HostileClients hostile(port,
                                         {{test_support::Hostility::silent, 16},
                                          {test_support::Hostility::dribbling, 16},
                                          {test_support::Hostility::keep_alive, 16},
                                          {test_support::Hostility::without_token, 16}},
                                         "s3cret");
    ASSERT_TRUE(hostile.wait_until_attacking(5s));
    for (int i = 0; i < 20; ++i) {
        const auto began = Clock::now();
        Client scraper(port);
        scraper.send_text(
            "GET /metrics HTTP/1.1\r\nAuthorization: Bearer s3cret\r\nConnection: close\r\n\r\n");
        const std::string r = scraper.read_until("mintrakel_snapshot_timestamp_seconds ", 1s);
        ASSERT_EQ(r.rfind("HTTP/1.1 200 ", 0), 0u) << "scrape " << i << ": " << r.substr(0, 80);
        ASSERT_LT(Clock::now() - began, 1s) << "scrape " << i;
        std::this_thread::sleep_for(100ms);
    }
}

TEST_F(HttpServerTest, StopReturnsAtOnceWithClientsConnected) {
    start("", 16);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        clients.back()->send_text("GET /metr");
    }
    const auto began = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - began, 200ms);
    for (size_t i = 0; i < clients.size(); ++i) EXPECT_TRUE(clients[i]->closed_within(1s)) << i;
}

TEST(HttpServerStart, AnAddressInUseIsReportedNotFatal) {
    uint16_t taken = 0;
    const int fd = test_support::bound_loopback_socket(taken);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(listen(fd, 1), 0);
    SnapshotBox box;
    RunControl control;
    HttpServer server(box, control);
    HttpServerOptions options;
    options.port = taken;
    const auto failure = server.start(options);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->find("in use"), std::string::npos) << *failure;
    HttpServer unknown(box, control);
    options.host = "no.such.host.invalid";
    options.port = 0;
    EXPECT_TRUE(unknown.start(options).has_value());
    close(fd);
}

}  // namespace
}  // namespace orvo::qel
