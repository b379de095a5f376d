#include "tools/http/http_server.h"

#include "tools/http/routes.h"
#include "tools/http/served_state.h"
#include "tools/model/round_view.h"
#include "tools/runtime/log_sink.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <deque>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace http {
namespace {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

class Session;

}  // namespace

struct Server::Impl {
    Impl(const HttpConfig& c, rt::LogSink& l) : config(c), log(l), routes(config, state) {}

    void Accept();
    void Broadcast(const SseEvent& e);
    void Closed();

    HttpConfig config;
    rt::LogSink& log;
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    unsigned short port = 0;
    ServedState state;
    Routes routes;
    std::set<Session*> sessions;                // every open connection
    std::set<std::shared_ptr<Session>> streams;  // those on /api/events
    bool stopping = false;
    bool refusing = false;  // a burst over the connection limit is going on
    std::thread thread;
};

namespace {

// One connection: requests read with a deadline (an idle or slow client is
// closed), answers written with one; /api/events turns it into a stream.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket s, Server::Impl& srv) : stream_(std::move(s)), srv_(srv) { srv_.sessions.insert(this); }
    ~Session() {
        srv_.sessions.erase(this);
        srv_.Closed();
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(Server::kMaxHead);
        parser_->body_limit(64 * 1024);
        stream_.expires_after(Timeout());
        bhttp::async_read(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    // A stream's next event; a client that does not keep up is dropped.
    void Push(const std::shared_ptr<const std::string>& frame) {
        if (queue_.size() >= Server::kMaxQueuedEvents) {
            srv_.log.Write("http: " + peer_ + " does not read its event stream: dropped");
            Close();
            return;
        }
        queue_.push_back(frame);
        if (queue_.size() == 1) WriteNext();
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
        srv_.streams.erase(shared_from_this());
    }

private:
    std::chrono::seconds Timeout() const { return std::chrono::seconds(srv_.config.timeout_s); }

    void OnRead(beast::error_code ec) {
        if (ec == bhttp::error::header_limit) {
            Send(Error(431, "request head over 8 KiB"), 11, false, false);
            return;
        }
        if (ec) {
            Close();
            return;
        }
        const auto& m = parser_->get();
        if (peer_.empty()) {
            beast::error_code pe;
            const auto ep = stream_.socket().remote_endpoint(pe);
            peer_ = pe ? "client" : ep.address().to_string() + ":" + std::to_string(ep.port());
        }
        Request req;
        req.method = std::string(m.method_string());
        req.target = std::string(m.target());
        req.authorization = std::string(m[bhttp::field::authorization]);
        req.last_event_id = std::string(m["Last-Event-ID"]);
        Reply r = srv_.routes.Handle(req);
        if (r.stream && r.status == 200 && req.method == "GET") {
            StartStream(r, m.version());
            return;
        }
        Send(r, m.version(), m.keep_alive(), req.method == "HEAD");
    }

    static void Headers(bhttp::response_header<>& h, const Reply& r) {
        h.set(bhttp::field::content_type, r.content_type);
        h.set(bhttp::field::cache_control, "no-store");
        h.set("X-Content-Type-Options", "nosniff");
        for (const auto& kv : r.headers) h.set(kv.first, kv.second);
    }

    void Send(const Reply& r, unsigned version, bool keepAlive, bool head) {
        auto res = std::make_shared<bhttp::response<bhttp::string_body>>(static_cast<bhttp::status>(r.status),
                                                                         version);
        Headers(res->base(), r);
        res->keep_alive(keepAlive);
        if (!head) res->body() = r.body;
        res->content_length(r.body.size());
        stream_.expires_after(Timeout());
        bhttp::async_write(stream_, *res,
                           [self = shared_from_this(), res, keepAlive](beast::error_code ec, std::size_t) {
                               if (ec || !keepAlive)
                                   self->Close();
                               else
                                   self->Read();
                           });
    }

    void StartStream(const Reply& r, unsigned version) {
        bhttp::response<bhttp::empty_body> res(bhttp::status::ok, version);
        Headers(res.base(), r);
        res.keep_alive(false);  // the stream ends when the connection does
        // A fixed send buffer: a client that stops reading is noticed after
        // a bounded amount of data, not after the kernel's autotuned megabytes.
        beast::error_code ignored;
        stream_.socket().set_option(net::socket_base::send_buffer_size(64 * 1024), ignored);
        std::ostringstream head;
        head << res.base();
        srv_.streams.insert(shared_from_this());
        Push(std::make_shared<const std::string>(head.str() + r.body));
    }

    void WriteNext() {
        stream_.expires_after(Timeout());
        net::async_write(stream_, net::buffer(*queue_.front()),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec) {
                                 if (ec == beast::error::timeout)
                                     self->srv_.log.Write("http: " + self->peer_ +
                                                          " does not read its event stream: dropped");
                                 self->Close();
                                 return;
                             }
                             self->queue_.pop_front();
                             if (!self->queue_.empty()) self->WriteNext();
                         });
    }

    beast::tcp_stream stream_;
    Server::Impl& srv_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::string peer_;
    bool closed_ = false;
};

}  // namespace

void Server::Impl::Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (stopping) return;
        if (!ec) {
            if (sessions.size() >= static_cast<std::size_t>(kMaxConnections)) {
                if (!refusing)
                    log.Write("http: " + std::to_string(kMaxConnections) +
                              " connections open, refusing more until one closes");
                refusing = true;
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                beast::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                std::make_shared<Session>(std::move(socket), *this)->Read();
            }
        }
        Accept();
    });
}

void Server::Impl::Closed() {
    if (sessions.size() < static_cast<std::size_t>(kMaxConnections)) refusing = false;
}

void Server::Impl::Broadcast(const SseEvent& e) {
    if (!e.frame) return;
    // Push may drop a stream, so walk a copy.
    const auto now = streams;
    for (const auto& s : now) s->Push(e.frame);
}

Server::Server(const HttpConfig& config, rt::LogSink& log) : impl_(std::make_unique<Impl>(config, log)) {
    Impl& m = *impl_;
    try {
        const tcp::endpoint ep(net::ip::make_address(config.address), config.port);
        m.acceptor.open(ep.protocol());
        m.acceptor.set_option(net::socket_base::reuse_address(true));
        m.acceptor.bind(ep);
        m.acceptor.listen();
        m.port = m.acceptor.local_endpoint().port();
    } catch (const std::exception& e) {
        throw std::runtime_error("http: cannot listen on " + config.address + ":" + std::to_string(config.port) +
                                 ": " + e.what());
    }
    m.Accept();
    m.thread = std::thread([&m] { m.io.run(); });
    log.Write("http: serving on http://" + (config.address.find(':') != std::string::npos
                                                 ? "[" + config.address + "]"
                                                 : config.address) +
              ":" + std::to_string(m.port) + "/" + (config.token.empty() ? "" : " (bearer token required)"));
}

Server::~Server() {
    Impl& m = *impl_;
    net::post(m.io, [&m] {
        m.stopping = true;
        beast::error_code ec;
        m.acceptor.close(ec);
        const auto open = m.sessions;
        for (Session* s : open) s->Close();
    });
    m.thread.join();
}

void Server::PublishRound(model::RoundPtr round) {
    Impl& m = *impl_;
    net::post(m.io, [&m, round = std::move(round), at = std::chrono::steady_clock::now()]() mutable {
        m.Broadcast(m.state.AddRound(std::move(round), at, !m.streams.empty()));
    });
}

void Server::AddLine(std::uint32_t busDataId, const std::string& port) {
    Impl& m = *impl_;
    net::post(m.io, [&m, busDataId, port] { m.state.AddLine(busDataId, port); });
}

void Server::PublishEvent(const rt::RuntimeEvent& event) {
    Impl& m = *impl_;
    net::post(m.io, [&m, event] { m.Broadcast(m.state.AddEvent(event)); });
}

unsigned short Server::Port() const { return impl_->port; }

}  // namespace http
