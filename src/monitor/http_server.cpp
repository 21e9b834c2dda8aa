// Boost.Beast over Asio, all on one io_context run by one thread: every client is a chain of
// asynchronous reads and writes with a deadline, so no client can hold the thread.
#include "monitor/http_server.h"

// Asio's coroutine header uses std::exchange without including <utility> in this Boost version.
#include <utility>
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
// clang-format on
#include <array>
#include <memory>
#include <thread>
#include <vector>

#include "monitor/http_api.h"

namespace orvo::qel {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Room for a full head plus what a pipelining client may already have sent after it.
constexpr size_t READ_BUFFER_BYTES = 2 * HTTP_MAX_HEAD_BYTES;

class Session;

// The server's state; lives on the server thread once started.
struct ServerCore {
    // Declared before the io_context so they outlive the sessions the io_context destroys.
    size_t open_connections = 0;  // connections not yet closed; server thread only
    uint64_t activity = 0;        // counts accepts and requests; server thread only
    const SnapshotBox& snapshots;
    RunControl& control;
    HttpServerOptions options;
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::steady_timer accept_pause{ioc};
    std::thread thread;
    uint16_t bound_port = 0;
    // Every connection, so stop() can close those still open once the thread has ended.
    std::vector<std::weak_ptr<Session>> sessions;

    ServerCore(const SnapshotBox& s, RunControl& c) : snapshots(s), control(c) {}
    void accept();
    // Closes the connection idle the longest, to make room for a new one.
    void evict_longest_idle();
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, ServerCore& server)
        : stream_(std::move(socket)), server_(server), last_activity_(++server.activity) {
        ++server_.open_connections;
    }
    ~Session() {
        if (!closed_) --server_.open_connections;
    }

    // When the connection last did something useful (its accept or its last complete request),
    // in the order of the server's activity count; 0 once it is only waiting to be closed.
    uint64_t last_activity() const { return last_activity_; }
    bool closed() const { return closed_; }

    void read_request() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(HTTP_MAX_HEAD_BYTES));
        // The whole head must arrive within the timeout: a client dribbling a byte at a time, or
        // one that connects and says nothing, is cut off when it passes.
        stream_.expires_after(server_.options.request_timeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, size_t) { self->on_head(ec); });
    }

  private:
    void on_head(error_code ec) {
        if (ec == http::error::header_limit) return send_error(431, "request head too large\n");
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
            ec == asio::error::eof) {
            return close();
        }
        if (ec) return send_error(400, "bad request\n");
        last_activity_ = ++server_.activity;
        const auto& req = parser_->get();
        // A request with a body is not one of ours; its body is not read, so the connection
        // cannot carry another request.
        if (req.has_content_length() || req.chunked()) {
            keep_alive_ = false;
            lingering_ = true;
        } else {
            keep_alive_ = req.keep_alive();
        }
        const auto auth = req[http::field::authorization];
        const std::shared_ptr<const ApiSnapshot> snapshot = server_.snapshots.latest();
        HttpAnswer a =
            answer_request(std::string_view(req.method_string().data(), req.method_string().size()),
                           std::string_view(req.target().data(), req.target().size()),
                           std::string_view(auth.data(), auth.size()), server_.options.token,
                           *snapshot, server_.options.clock(), server_.control);
        send(a, req.method() == http::verb::head, req.version());
    }

    void send_error(int status, const char* text) {
        keep_alive_ = false;
        lingering_ = true;
        send({status, "text/plain; charset=utf-8", text, false, {}}, false, 11);
    }

    void send(const HttpAnswer& a, bool head, unsigned version) {
        // A client that erred once (no token, a wrong path or method) gets no second try on the
        // same connection: its slot goes back to the clients that ask right.
        if (a.status >= 400 && a.status < 500) {
            keep_alive_ = false;
            lingering_ = true;
        }
        res_ = {};
        res_.version(version);
        res_.result(static_cast<unsigned>(a.status));
        res_.set(http::field::server, "mintrakel");
        res_.set(http::field::cache_control, "no-store");
        if (!a.content_type.empty()) res_.set(http::field::content_type, a.content_type);
        if (!a.allow.empty()) res_.set(http::field::allow, a.allow);
        if (a.challenge) res_.set(http::field::www_authenticate, "Bearer");
        for (const auto& [name, value] : a.headers) {
            res_.set(beast::string_view(name.data(), name.size()),
                     beast::string_view(value.data(), value.size()));
        }
        if (!head) res_.body() = a.body;
        res_.content_length(a.body.size());
        res_.keep_alive(keep_alive_);
        // A client that does not read its answer is cut off like one that does not write.
        stream_.expires_after(server_.options.request_timeout);
        http::async_write(stream_, res_, [self = shared_from_this()](error_code ec, size_t) {
            if (!ec && self->lingering_) return self->linger();
            if (ec || !self->keep_alive_) return self->close();
            self->read_request();
        });
    }

    // After an error answer the client may still be sending (the rest of an oversized head):
    // closing at once would reset the connection and could destroy the answer before the client
    // reads it. So only the sending side is shut, and what arrives is read and dropped until the
    // client closes or the timeout passes.
    void linger() {
        last_activity_ = 0;
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(server_.options.request_timeout);
        drain();
    }
    void drain() {
        stream_.async_read_some(asio::buffer(discard_),
                                [self = shared_from_this()](error_code ec, size_t) {
                                    if (ec) return self->close();
                                    self->drain();
                                });
    }

  public:
    // Idempotent: the handlers of a connection closed by eviction or stop() call it again.
    void close() {
        if (closed_) return;
        closed_ = true;
        --server_.open_connections;
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

  private:
    beast::tcp_stream stream_;
    ServerCore& server_;
    beast::flat_buffer buffer_{READ_BUFFER_BYTES};
    std::optional<http::request_parser<http::empty_body>> parser_;
    http::response<http::string_body> res_;
    uint64_t last_activity_;
    bool closed_ = false;
    bool keep_alive_ = false;
    bool lingering_ = false;
    std::array<char, 4096> discard_{};
};

void ServerCore::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors or memory: pause instead of spinning on the same failure.
            accept_pause.expires_after(std::chrono::milliseconds(100));
            accept_pause.async_wait([this](error_code wait_ec) {
                if (!wait_ec) accept();
            });
            return;
        }
        std::erase_if(sessions, [](const std::weak_ptr<Session>& w) { return w.expired(); });
        if (open_connections >= options.max_connections) evict_longest_idle();
        if (open_connections < options.max_connections) {
            auto session = std::make_shared<Session>(std::move(socket), *this);
            sessions.push_back(session);
            session->read_request();
        }
        // else (a cap of 0): the socket is closed as it goes out of scope.
        accept();
    });
}

// A new client always gets in: whoever holds a connection without using it (silent, dribbling a
// head, keep-alive between requests, done after an error answer) gives way, the longest idle
// first, so no number of such clients can lock out one with a request to make.
void ServerCore::evict_longest_idle() {
    std::shared_ptr<Session> idlest;
    for (const auto& weak : sessions) {
        auto session = weak.lock();
        if (!session || session->closed()) continue;
        if (!idlest || session->last_activity() < idlest->last_activity()) idlest = session;
    }
    if (idlest) idlest->close();
}

}  // namespace

struct HttpServer::Impl : ServerCore {
    using ServerCore::ServerCore;
};

HttpServer::HttpServer(const SnapshotBox& snapshots, RunControl& control)
    : impl_(std::make_unique<Impl>(snapshots, control)) {}

HttpServer::~HttpServer() {
    stop();
}

std::optional<std::string> HttpServer::start(const HttpServerOptions& options) {
    if (!impl_) return std::string("the server was stopped");
    Impl& s = *impl_;
    s.options = options;
    error_code ec;
    asio::ip::address address =
        asio::ip::make_address(options.host == "localhost" ? "127.0.0.1" : options.host, ec);
    if (ec) {
        tcp::resolver resolver(s.ioc);
        auto found = resolver.resolve(options.host, std::to_string(options.port), ec);
        if (ec) return ec.message();
        if (found.empty()) return std::string("no address found");
        address = found.begin()->endpoint().address();
    }
    const tcp::endpoint endpoint(address, options.port);
    if (s.acceptor.open(endpoint.protocol(), ec); ec) return ec.message();
    s.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (s.acceptor.bind(endpoint, ec); ec) return ec.message();
    if (s.acceptor.listen(asio::socket_base::max_listen_connections, ec); ec) return ec.message();
    s.bound_port = s.acceptor.local_endpoint(ec).port();
    s.accept();
    try {
        s.thread = std::thread([&s] {
            // Handlers report errors as values; should one throw anyway, serving goes on.
            for (;;) {
                try {
                    s.ioc.run();
                    return;
                } catch (...) {
                }
            }
        });
    } catch (const std::system_error& e) {
        error_code ignored;
        s.acceptor.close(ignored);
        return std::string(e.what());
    }
    return std::nullopt;
}

uint16_t HttpServer::port() const {
    return impl_ ? impl_->bound_port : 0;
}

void HttpServer::stop() {
    if (!impl_) return;
    impl_->ioc.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    // The thread has ended: nothing else touches the connections now.
    error_code ignored;
    impl_->acceptor.close(ignored);
    for (const auto& weak : impl_->sessions) {
        if (auto session = weak.lock()) session->close();
    }
    impl_.reset();
}
}  // namespace orvo::qel
