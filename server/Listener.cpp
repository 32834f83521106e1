#include "server/Listener.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace gravelin::server {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

class SessionBase : public std::enable_shared_from_this<SessionBase> {
public:
    virtual ~SessionBase() = default;
    // Called when the listener stops: a connection waiting for a request closes now, one
    // with a request in flight answers it and closes afterwards.
    virtual void stopIfIdle() = 0;
};

}  // namespace

struct Listener::State : std::enable_shared_from_this<Listener::State> {
    State(net::io_context& ioContext, net::thread_pool& pool, ListenerOptions opts, Handler h)
        : io(ioContext),
          workers(pool),
          options(std::move(opts)),
          handler(std::move(h)),
          acceptor(ioContext),
          retryTimer(ioContext) {}

    net::io_context& io;
    net::thread_pool& workers;
    ListenerOptions options;
    Handler handler;
    tcp::acceptor acceptor;
    net::steady_timer retryTimer;
    std::atomic<bool> stopping{false};

    std::mutex mutex;  // guards perAddress, open and sessions
    std::unordered_map<std::string, std::size_t> perAddress;
    std::size_t open = 0;
    std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> sessions;

    std::atomic<std::uint64_t> accepted{0}, refusedAtCap{0}, requests{0}, timedOut{0},
        tooLarge{0}, badRequests{0}, handshakeFailures{0}, handlerMicros{0};

    void accept();
    void admit(tcp::socket socket);
    void release(SessionBase* session, const std::string& peer) {
        std::lock_guard lock(mutex);
        sessions.erase(session);
        if (open > 0) --open;
        const auto it = perAddress.find(peer);
        if (it != perAddress.end() && --it->second == 0) perAddress.erase(it);
    }
};

namespace {

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

std::string lowerCased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

template <class Stream>
class Session final : public SessionBase {
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

public:
    Session(std::shared_ptr<Listener::State> state, tcp::socket&& socket, std::string peer)
        : state_(std::move(state)),
          limits_(state_->options.limits),
          stream_(makeStream(std::move(socket), *state_)),
          peer_(std::move(peer)) {}

    ~Session() override { state_->release(this, peer_); }

    void start() {
        net::dispatch(stream_.get_executor(), [self = self()] { self->begin(); });
    }

    void stopIfIdle() override {
        net::post(stream_.get_executor(), [self = self()] {
            if (self->idle_) beast::get_lowest_layer(self->stream_).cancel();
        });
    }

private:
    static Stream makeStream(tcp::socket&& socket, Listener::State& state) {
        if constexpr (kTls) {
            return Stream(std::move(socket), *state.options.tls);
        } else {
            return Stream(std::move(socket));
        }
    }

    std::shared_ptr<Session> self() {
        return std::static_pointer_cast<Session>(shared_from_this());
    }
    beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

    void begin() {
        if constexpr (kTls) {
            lowest().expires_after(limits_.handshake);
            stream_.async_handshake(net::ssl::stream_base::server,
                                    [self = self()](const beast::error_code& ec) {
                                        if (ec) {
                                            ++self->state_->handshakeFailures;
                                            return self->closeNow();
                                        }
                                        self->readHeader();
                                    });
        } else {
            readHeader();
        }
    }

    void readHeader() {
        idle_ = true;
        if (state_->stopping) return shutdown();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(limits_.headerBytes));
        parser_->body_limit(limits_.bodyBytes);
        lowest().expires_after(limits_.header);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = self()](const beast::error_code& ec, std::size_t) {
                                    self->onHeader(ec);
                                });
    }

    // Errors while reading: a limit gets its status, a malformed request 400, a timeout or
    // a vanished peer just closes.
    void onReadError(const beast::error_code& ec) {
        if (ec == http::error::header_limit) {
            ++state_->badRequests;
            return fail(http::status::request_header_fields_too_large,
                        "the request header is too large");
        }
        if (ec == http::error::body_limit) {
            ++state_->tooLarge;
            return fail(http::status::payload_too_large, "the request body is too large");
        }
        if (ec == http::error::partial_message && parser_ && parser_->is_header_done()) {
            // The peer ended its side mid-body: it may still read why.
            ++state_->badRequests;
            return fail(http::status::bad_request, "the request body is shorter than announced");
        }
        if (ec == beast::error::timeout) {
            ++state_->timedOut;
            return closeNow();
        }
        if (ec.category() == http::make_error_code(http::error::bad_method).category() && ec != http::error::end_of_stream &&
            ec != http::error::partial_message && ec != http::error::need_more) {
            ++state_->badRequests;
            return fail(http::status::bad_request, "malformed request");
        }
        closeNow();
    }

    void onHeader(const beast::error_code& ec) {
        idle_ = false;
        if (ec) return onReadError(ec);
        requestStart_ = Clock::now();
        const auto length = parser_->content_length();
        if (length && *length > limits_.bodyBytes) {
            ++state_->tooLarge;
            return fail(http::status::payload_too_large, "the request body is too large");
        }
        const auto& request = parser_->get();
        if (beast::iequals(request[http::field::expect], "100-continue") && !parser_->is_done()) {
            lowest().expires_after(limits_.write);
            net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                             [self = self()](const beast::error_code& writeError, std::size_t) {
                                 if (writeError) return self->closeNow();
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    void readBody() {
        // The body gets a floor plus time in proportion to what was announced (a chunked
        // body is allowed the whole limit), never more than the request's total.
        std::uint64_t expected = parser_->content_length().value_or(0);
        if (parser_->chunked()) expected = limits_.bodyBytes;
        const auto scaled = limits_.bodyFloor + std::chrono::milliseconds(
                                                     expected * 1000 / limits_.bodyBytesPerSecond);
        lowest().expires_at(std::min(Clock::now() + scaled, requestStart_ + limits_.request));
        http::async_read(stream_, buffer_, *parser_,
                         [self = self()](const beast::error_code& ec, std::size_t) {
                             self->onBody(ec);
                         });
    }

    void onBody(const beast::error_code& ec) {
        if (ec) return onReadError(ec);
        ++state_->requests;
        auto& message = parser_->get();
        Request request;
        request.method = std::string(message.method_string());
        const std::string_view target = message.target();
        const auto mark = target.find('?');
        request.path = std::string(target.substr(0, mark));
        if (mark != std::string_view::npos) request.query = std::string(target.substr(mark + 1));
        for (const auto& field : message) {
            request.headers.emplace_back(lowerCased(field.name_string()),
                                         std::string(field.value()));
        }
        request.body = std::move(message.body());
        request.remoteAddress = peer_;
        request.secure = kTls;
        keepAlive_ = message.keep_alive();
        version_ = message.version();
        parser_.reset();
        lowest().expires_never();

        net::post(state_->workers, [self = self(), request = std::move(request)] {
            const auto started = Clock::now();
            Response response;
            try {
                response = self->state_->handler(request);
            } catch (const std::exception&) {
                response = {500, {{"Content-Type", "text/plain; charset=utf-8"}},
                            "internal error\n"};
            }
            self->state_->handlerMicros += static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started)
                    .count());
            net::post(self->stream_.get_executor(),
                      [self, response = std::move(response)]() mutable {
                          self->write(std::move(response), false);
                      });
        });
    }

    void fail(http::status status, std::string_view reason) {
        keepAlive_ = false;
        write({static_cast<int>(status), {{"Content-Type", "text/plain; charset=utf-8"}},
               std::string(reason) + "\n"},
              true);
    }

    void write(Response answer, bool thenClose) {
        response_ = {};
        response_.version(version_ == 10 ? 10 : 11);
        response_.result(static_cast<unsigned>(answer.status));
        bool hasPolicy = false;
        for (const auto& [name, value] : answer.headers) {
            if (beast::iequals(name, "content-security-policy")) hasPolicy = true;
            response_.insert(name, value);
        }
        if (!hasPolicy) response_.set("Content-Security-Policy", "default-src 'none'");
        response_.set("X-Content-Type-Options", "nosniff");
        response_.set("Referrer-Policy", "no-referrer");
        if constexpr (kTls) {
            response_.set(http::field::strict_transport_security, "max-age=31536000");
        }
        response_.body() = std::move(answer.body);
        response_.keep_alive(keepAlive_ && !thenClose && !state_->stopping);
        response_.prepare_payload();
        lowest().expires_after(limits_.write);
        http::async_write(stream_, response_,
                          [self = self()](const beast::error_code& ec, std::size_t) {
                              if (ec) return self->closeNow();
                              if (self->response_.keep_alive()) return self->readHeader();
                              self->shutdown();
                          });
    }

    // An orderly end: TLS sends its close alert; plain TCP half-closes and drains what the
    // peer still sends for a moment, so that an early answer (a 413) is not lost to a reset.
    void shutdown() {
        lowest().expires_after(std::chrono::seconds(2));
        if constexpr (kTls) {
            stream_.async_shutdown([self = self()](const beast::error_code&) { self->closeNow(); });
        } else {
            beast::error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            drain();
        }
    }

    void drain() {
        lowest().async_read_some(net::buffer(scratch_),
                                 [self = self()](const beast::error_code& ec, std::size_t) {
                                     if (ec) return self->closeNow();
                                     self->drain();
                                 });
    }

    void closeNow() {
        beast::error_code ignored;
        lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        lowest().close();
    }

    std::shared_ptr<Listener::State> state_;
    const ListenerLimits& limits_;
    Stream stream_;
    std::string peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    Clock::time_point requestStart_{};
    unsigned version_ = 11;
    bool keepAlive_ = false;
    bool idle_ = true;
    std::array<char, 4096> scratch_{};
};

}  // namespace

void Listener::State::accept() {
    acceptor.async_accept(
        net::make_strand(io), [self = shared_from_this()](const beast::error_code& ec,
                                                          tcp::socket socket) {
            if (self->stopping || !self->acceptor.is_open()) return;
            if (ec) {
                // Out of descriptors or a connection reset before it was taken: wait a
                // moment rather than spin.
                self->retryTimer.expires_after(std::chrono::milliseconds(50));
                self->retryTimer.async_wait([self](const beast::error_code& timerError) {
                    if (!timerError) self->accept();
                });
                return;
            }
            self->admit(std::move(socket));
            self->accept();
        });
}

void Listener::State::admit(tcp::socket socket) {
    beast::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) return;
    std::string peer = endpoint.address().to_string();
    socket.set_option(tcp::no_delay(true), ec);
    {
        std::lock_guard lock(mutex);
        auto& fromPeer = perAddress[peer];
        if (open >= options.limits.connections || fromPeer >= options.limits.connectionsPerAddress) {
            if (fromPeer == 0) perAddress.erase(peer);
            ++refusedAtCap;
            socket.close(ec);
            return;
        }
        ++fromPeer;
        ++open;
    }
    ++accepted;
    std::shared_ptr<SessionBase> session;
    if (options.tls) {
        auto tlsSession = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
            shared_from_this(), std::move(socket), std::move(peer));
        session = tlsSession;
        {
            std::lock_guard lock(mutex);
            sessions.emplace(session.get(), session);
        }
        tlsSession->start();
    } else {
        auto plainSession = std::make_shared<Session<beast::tcp_stream>>(
            shared_from_this(), std::move(socket), std::move(peer));
        session = plainSession;
        {
            std::lock_guard lock(mutex);
            sessions.emplace(session.get(), session);
        }
        plainSession->start();
    }
}

Listener::Listener(net::io_context& io, net::thread_pool& workers, ListenerOptions options,
                   Handler handler)
    : state_(std::make_shared<State>(io, workers, std::move(options), std::move(handler))) {
    const std::string where =
        state_->options.address + ":" + std::to_string(state_->options.port);
    try {
        const tcp::endpoint endpoint(net::ip::make_address(state_->options.address),
                                     state_->options.port);
        state_->acceptor.open(endpoint.protocol());
        state_->acceptor.set_option(net::socket_base::reuse_address(true));
        state_->acceptor.bind(endpoint);
        state_->acceptor.listen(net::socket_base::max_listen_connections);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot listen on " + where + ": " + e.what());
    }
    state_->accept();
}

Listener::~Listener() { stop(); }

std::uint16_t Listener::port() const {
    beast::error_code ec;
    const auto endpoint = state_->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void Listener::stop() {
    if (state_->stopping.exchange(true)) return;
    net::post(state_->io, [state = state_] {
        beast::error_code ignored;
        state->acceptor.close(ignored);
        state->retryTimer.cancel();
        std::vector<std::shared_ptr<SessionBase>> live;
        {
            std::lock_guard lock(state->mutex);
            for (const auto& [key, weak] : state->sessions) {
                if (auto session = weak.lock()) live.push_back(std::move(session));
            }
        }
        for (const auto& session : live) session->stopIfIdle();
    });
}

ListenerCounters Listener::counters() const {
    ListenerCounters c;
    c.accepted = state_->accepted;
    c.refusedAtCap = state_->refusedAtCap;
    c.requests = state_->requests;
    c.timedOut = state_->timedOut;
    c.tooLarge = state_->tooLarge;
    c.badRequests = state_->badRequests;
    c.handshakeFailures = state_->handshakeFailures;
    c.handlerMicros = state_->handlerMicros;
    std::lock_guard lock(state_->mutex);
    c.open = state_->open;
    return c;
}

std::shared_ptr<net::ssl::context> makeTlsContext(const std::string& certificateFile,
                                                  const std::string& keyFile) {
    auto context = std::make_shared<net::ssl::context>(net::ssl::context::tls_server);
    context->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                         net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
    beast::error_code ec;
    context->use_certificate_chain_file(certificateFile, ec);
    if (ec) throw std::runtime_error(certificateFile + ": not a usable PEM certificate (" + ec.message() + ")");
    context->use_private_key_file(keyFile, net::ssl::context::pem, ec);
    if (ec) throw std::runtime_error(keyFile + ": not a usable PEM private key for the certificate (" + ec.message() + ")");
    return context;
}

std::pair<std::string, std::uint16_t> parseListenAddress(const std::string& text) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) throw std::invalid_argument("expected [ADDRESS]:PORT: " + text);
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) throw std::invalid_argument("expected ADDRESS:PORT: " + text);
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty()) host = "0.0.0.0";
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoul(port) > 65535) {
        throw std::invalid_argument("not a port number in " + text);
    }
    beast::error_code ec;
    net::ip::make_address(host, ec);
    if (ec) throw std::invalid_argument("not an IP address in " + text);
    return {host, static_cast<std::uint16_t>(std::stoul(port))};
}

}  // namespace gravelin::server
