#include "receiver/http/Listener.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shared/Text.h"

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
    // Called when the connection cap needs room: closes the connection if it has still sent
    // nothing of a request.
    virtual void shed() = 0;
    virtual void start() = 0;

    // Where the connection stands in the list of silent ones (guarded by State::mutex).
    std::list<SessionBase*>::iterator silentAt;
    bool listedSilent = false;
};

}  // namespace

struct Listener::State : std::enable_shared_from_this<Listener::State> {
    State(net::io_context& ioContext, net::thread_pool& pool, ListenerOptions opts, Router r)
        : io(ioContext),
          workers(pool),
          options(std::move(opts)),
          router(std::move(r)),
          acceptor(ioContext),
          retryTimer(ioContext) {}

    net::io_context& io;
    net::thread_pool& workers;
    ListenerOptions options;
    Router router;
    tcp::acceptor acceptor;
    net::steady_timer retryTimer;
    std::atomic<bool> stopping{false};

    std::mutex mutex;  // guards perAddress, open, sessions and silent
    std::unordered_map<std::string, std::size_t> perAddress;
    std::size_t open = 0;
    std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> sessions;
    // Connections waiting for a request that have sent none of it, longest waiting first:
    // the first to go when the cap is reached.
    std::list<SessionBase*> silent;

    std::atomic<std::uint64_t> accepted{0}, refusedAtCap{0}, requests{0}, timedOut{0}, tooLarge{0},
        badRequests{0}, handshakeFailures{0}, handlerMicros{0}, shed{0}, overBudget{0};

    void accept();
    void admit(tcp::socket socket);
    void release(SessionBase* session, const std::string& peer) {
        std::lock_guard lock(mutex);
        unlistSilent(session);
        sessions.erase(session);
        if (open > 0) --open;
        const auto it = perAddress.find(peer);
        if (it != perAddress.end() && --it->second == 0) perAddress.erase(it);
    }
    void setSilent(SessionBase* session, bool isSilent) {
        std::lock_guard lock(mutex);
        if (isSilent && !session->listedSilent) {
            session->silentAt = silent.insert(silent.end(), session);
            session->listedSilent = true;
        } else if (!isSilent) {
            unlistSilent(session);
        }
    }
    void unlistSilent(SessionBase* session) {  // with mutex held
        if (!session->listedSilent) return;
        silent.erase(session->silentAt);
        session->listedSilent = false;
    }
};

namespace {

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::size_t kReadBytes = 64u << 10;    // at most this much per read from a socket
constexpr std::size_t kBudgetStep = 256u << 10;  // a chunked body takes its budget in steps

// Bytes of a body budget held by one request; given back when it ends.
class BodyHold {
public:
    BodyHold() = default;
    explicit BodyHold(std::shared_ptr<BodyBudget> budget) : budget_(std::move(budget)) {}
    BodyHold(BodyHold&& other) noexcept
        : budget_(std::move(other.budget_)), bytes_(std::exchange(other.bytes_, 0)) {}
    BodyHold& operator=(BodyHold&& other) noexcept {
        if (this != &other) {
            release();
            budget_ = std::move(other.budget_);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    BodyHold(const BodyHold&) = delete;
    BodyHold& operator=(const BodyHold&) = delete;
    ~BodyHold() { release(); }

    // Holds at least `bytes` in all (taking `step` more than needed when it grows); false when
    // the budget cannot give them.
    bool atLeast(std::size_t bytes, std::size_t step = 0) {
        if (!budget_ || bytes <= bytes_) return true;
        const std::size_t more = bytes - bytes_ + step;
        if (!budget_->take(more)) return false;
        bytes_ += more;
        return true;
    }
    void release() {
        if (budget_ && bytes_ > 0) budget_->give(bytes_);
        bytes_ = 0;
    }

private:
    std::shared_ptr<BodyBudget> budget_;
    std::size_t bytes_ = 0;
};

// Why a request's Transfer-Encoding cannot be read, or nothing when it can: the body is
// framed by chunked alone, and chunked comes last (anything else could leave the body to be
// read as the next request).
std::optional<std::pair<http::status, std::string_view>> transferEncodingFault(
    const http::request_parser<http::string_body>& parser) {
    const auto& message = parser.get();
    std::vector<std::string> codings;
    bool present = false;
    for (const auto& field : message) {
        if (field.name() != http::field::transfer_encoding) continue;
        present = true;
        for (const auto& token : http::token_list{field.value()})
            codings.push_back(asciiLowerCased(token));
    }
    if (!present) return std::nullopt;
    if (message.version() < 11 || !parser.chunked() || codings.empty() ||
        codings.back() != "chunked")
        return std::pair{http::status::bad_request,
                         std::string_view("a Transfer-Encoding must end in chunked, once")};
    if (codings.size() > 1)
        return std::pair{http::status::not_implemented,
                         std::string_view("no transfer coding but chunked is understood")};
    return std::nullopt;
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

    void start() override {
        net::dispatch(stream_.get_executor(), [self = self()] { self->begin(); });
    }

    void stopIfIdle() override {
        net::post(stream_.get_executor(), [self = self()] {
            if (self->waiting_) self->lowest().cancel();
        });
    }

    void shed() override {
        net::post(stream_.get_executor(), [self = self()] {
            if (!self->silent_ || self->closed_) return;
            ++self->state_->shed;
            self->closeNow();
        });
    }

private:
    enum class Phase { Header, Body };

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

    void setSilent(bool isSilent) {
        if (silent_ == isSilent) return;
        silent_ = isSilent;
        state_->setSilent(this, isSilent);
    }

    void begin() {
        if constexpr (kTls) {
            // The first bytes are read before the handshake starts, so that a connection that
            // never says hello is known to have sent nothing (and can be shed).
            lowest().expires_after(limits_.handshake);
            lowest().async_read_some(
                buffer_.prepare(kReadBytes),
                [self = self()](const beast::error_code& ec, std::size_t n) {
                    self->buffer_.commit(n);
                    if (ec) {
                        if (!self->closed_) ++self->state_->handshakeFailures;
                        return self->closeNow();
                    }
                    self->setSilent(false);
                    self->stream_.async_handshake(
                        net::ssl::stream_base::server, self->buffer_.data(),
                        // (Beast 1.81 checks this handler against the unbuffered
                        // signature: the default argument lets it pass.)
                        [self](const beast::error_code& handshakeError, std::size_t used = 0) {
                            // A client waits for the server's hello: the first read holds
                            // nothing past the handshake.
                            const bool leftOver = used < self->buffer_.size();
                            self->buffer_.consume(self->buffer_.size());
                            if (handshakeError || leftOver) {
                                ++self->state_->handshakeFailures;
                                return self->closeNow();
                            }
                            self->readHeader();
                        });
                });
        } else {
            readHeader();
        }
    }

    void readHeader() {
        waiting_ = true;
        if (state_->stopping) return shutdown();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(limits_.headerBytes));
        parser_->body_limit(limits_.bodyBytes);
        parser_->eager(false);  // stop after the header: it is checked before the body is read
        requestBytes_ = 0;
        phase_ = Phase::Header;
        lowest().expires_after(limits_.header);
        setSilent(buffer_.size() == 0);
        parse();
    }

    void readBody() {
        // The body gets a floor plus time in proportion to what was announced (a chunked
        // body is allowed the whole limit), never more than the request's total.
        std::uint64_t expected = parser_->content_length().value_or(0);
        if (parser_->chunked()) expected = limits_.bodyBytes;
        const auto scaled = limits_.bodyFloor +
                            std::chrono::milliseconds(expected * 1000 / limits_.bodyBytesPerSecond);
        lowest().expires_at(std::min(Clock::now() + scaled, requestStart_ + limits_.request));
        phase_ = Phase::Body;
        parser_->eager(true);
        parse();
    }

    // Feeds what is buffered to the parser, then reads more. Every byte of the request,
    // parsed or waiting in the buffer, counts against one bound (header plus body limit),
    // and what waits unparsed in a chunked body (a chunk line, the trailers) has a small
    // bound of its own: Beast keeps such a line until it ends and counts none of it.
    void parse() {
        for (;;) {
            if (phase_ == Phase::Header && parser_->is_header_done()) return onHeader();
            if (phase_ == Phase::Body) {
                if (parser_->chunked() && !holdChunkedBody()) return overBudget();
                if (parser_->is_done()) return onBody();
            }
            if (buffer_.size() == 0) break;
            beast::error_code ec;
            const std::size_t used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            requestBytes_ += used;
            if (ec == http::error::need_more) break;
            if (ec) return onReadError(ec);
            if (used == 0) break;
        }
        if (phase_ == Phase::Body && parser_->chunked()) {
            if (buffer_.size() > limits_.chunkLineBytes) {
                ++state_->badRequests;
                return fail(http::status::bad_request, "a chunk line or the trailers are too long");
            }
        }
        const std::size_t bound = limits_.headerBytes + limits_.bodyBytes;
        const std::size_t held = requestBytes_ + buffer_.size();
        if (held >= bound) {
            if (phase_ == Phase::Header) return onReadError(http::error::header_limit);
            return onReadError(http::error::body_limit);
        }
        stream_.async_read_some(
            buffer_.prepare(std::min(bound - held, kReadBytes)),
            [self = self()](const beast::error_code& ec, std::size_t n) { self->onRead(ec, n); });
    }

    void onRead(beast::error_code ec, std::size_t n) {
        buffer_.commit(n);
        if (n > 0) setSilent(false);
        if (ec == net::error::eof) {
            if (!parser_->got_some() && buffer_.size() == 0)
                return onReadError(http::error::end_of_stream);
            ec = {};
            parser_->put_eof(ec);
            return onReadError(ec ? ec : http::error::partial_message);
        }
        if (ec) return onReadError(ec);
        parse();
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
        if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message &&
            ec != http::error::need_more) {
            ++state_->badRequests;
            return fail(http::status::bad_request, "malformed request");
        }
        closeNow();
    }

    void onHeader() {
        waiting_ = false;
        setSilent(false);
        requestStart_ = Clock::now();
        if (const auto fault = transferEncodingFault(*parser_)) {
            ++state_->badRequests;
            return fail(fault->first, fault->second);
        }
        const auto length = parser_->content_length();
        if (length && *length > limits_.bodyBytes) {
            ++state_->tooLarge;
            return fail(http::status::payload_too_large, "the request body is too large");
        }
        hold_ = BodyHold(state_->options.bodyBudget);
        if (length && !hold_.atLeast(static_cast<std::size_t>(*length))) return overBudget();
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

    // A chunked body takes its budget as it grows (in steps, never past the body limit).
    bool holdChunkedBody() {
        const std::size_t size = parser_->get().body().size();
        return hold_.atLeast(
            size, std::min(kBudgetStep, limits_.bodyBytes - std::min(size, limits_.bodyBytes)));
    }

    void overBudget() {
        ++state_->overBudget;
        hold_.release();
        fail(http::status::service_unavailable, "the receiver is busy; please send it again later",
             {{"Retry-After", std::to_string(limits_.retryAfter.count())}});
    }

    void onBody() {
        ++state_->requests;
        auto& message = parser_->get();
        Request request;
        request.method = std::string(message.method_string());
        const std::string_view target = message.target();
        const auto mark = target.find('?');
        request.path = std::string(target.substr(0, mark));
        if (mark != std::string_view::npos) request.query = std::string(target.substr(mark + 1));
        for (const auto& field : message) {
            request.headers.emplace_back(asciiLowerCased(field.name_string()),
                                         std::string(field.value()));
        }
        request.body = std::move(message.body());
        request.remoteAddress = peer_;
        request.secure = kTls;
        keepAlive_ = message.keep_alive();
        version_ = message.version();
        parser_.reset();
        lowest().expires_never();

        // The router answers here, on the network thread; only what may wait goes to the
        // workers, so that it never holds up an answer that needs no storage.
        auto started = Clock::now();
        std::optional<Reply> reply;
        try {
            reply.emplace(state_->router(request));
        } catch (const std::exception&) {
            reply.emplace(internalError());
        }
        state_->handlerMicros += microsSince(started);
        if (!reply->rest) {
            hold_.release();
            return write(std::move(reply->response), false);
        }
        net::post(state_->workers,
                  [self = self(), request = std::move(request), rest = std::move(reply->rest),
                   hold = std::move(hold_)]() mutable {
                      const auto begun = Clock::now();
                      Response response;
                      try {
                          const Request mine = std::move(request);
                          response = rest(mine);
                      } catch (const std::exception&) {
                          response = internalError();
                      }
                      hold.release();  // the body is gone: before the answer, so the client sees it
                                       // given back
                      self->state_->handlerMicros += microsSince(begun);
                      net::post(self->stream_.get_executor(),
                                [self, response = std::move(response)]() mutable {
                                    self->write(std::move(response), false);
                                });
                  });
    }

    static Response internalError() {
        Response response;
        response.status = 500;
        response.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
        response.body = "internal error\n";
        return response;
    }

    static std::uint64_t microsSince(Clock::time_point started) {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count());
    }

    void fail(http::status status, std::string_view reason,
              std::vector<std::pair<std::string, std::string>> extra = {}) {
        keepAlive_ = false;
        hold_.release();
        Response response;
        response.status = static_cast<int>(status);
        response.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
        response.headers.insert(response.headers.end(), extra.begin(), extra.end());
        response.body = std::string(reason) + "\n";
        write(std::move(response), true);
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

    // An orderly end: TLS sends its close alert; then, on both, the sending side is closed
    // and what the peer still sends is read and dropped for a moment, so that an early
    // answer (a 413, a 431) is not lost to a reset while the client is still sending.
    void shutdown() {
        lowest().expires_after(std::chrono::seconds(2));
        if constexpr (kTls) {
            stream_.async_shutdown([self = self()](const beast::error_code&) {
                self->lowest().expires_after(std::chrono::seconds(2));
                self->drainAfterSending();
            });
        } else {
            drainAfterSending();
        }
    }

    void drainAfterSending() {
        beast::error_code ignored;
        lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
        drain();
    }

    void drain() {
        lowest().async_read_some(net::buffer(scratch_),
                                 [self = self()](const beast::error_code& ec, std::size_t) {
                                     if (ec) return self->closeNow();
                                     self->drain();
                                 });
    }

    void closeNow() {
        closed_ = true;
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
    BodyHold hold_;
    Clock::time_point requestStart_{};
    std::size_t requestBytes_ = 0;  // of the request being read, parsed so far
    Phase phase_ = Phase::Header;
    unsigned version_ = 11;
    bool keepAlive_ = false;
    bool waiting_ = true;  // waiting for a request's header (stopping closes the connection)
    bool silent_ = true;   // ... and none of it has arrived (the cap may shed the connection)
    bool closed_ = false;
    std::array<char, 4096> scratch_{};
};

}  // namespace

bool BodyBudget::take(std::size_t bytes) {
    std::size_t now = held_.load();
    do {
        if (bytes > capacity_ || now > capacity_ - bytes) return false;
    } while (!held_.compare_exchange_weak(now, now + bytes));
    return true;
}

void BodyBudget::give(std::size_t bytes) {
    held_.fetch_sub(bytes);
}

void Listener::State::accept() {
    acceptor.async_accept(
        net::make_strand(io),
        [self = shared_from_this()](const beast::error_code& ec, tcp::socket socket) {
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
    std::shared_ptr<SessionBase> victim;
    {
        std::lock_guard lock(mutex);
        auto& fromPeer = perAddress[peer];
        bool refuse = fromPeer >= options.limits.connectionsPerAddress;
        // At the cap, the connection that has waited longest without sending anything makes
        // room; only when every connection is busy with a request is the new one turned away.
        while (!refuse && open >= options.limits.connections && !victim) {
            if (silent.empty()) {
                refuse = true;
                break;
            }
            SessionBase* oldest = silent.front();
            unlistSilent(oldest);
            const auto it = sessions.find(oldest);
            if (it != sessions.end()) victim = it->second.lock();
        }
        if (refuse) {
            if (fromPeer == 0) perAddress.erase(peer);
            ++refusedAtCap;
            socket.close(ec);
            return;
        }
        ++fromPeer;
        ++open;
    }
    if (victim) victim->shed();
    ++accepted;
    std::shared_ptr<SessionBase> session;
    if (options.tls) {
        session = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
            shared_from_this(), std::move(socket), std::move(peer));
    } else {
        session = std::make_shared<Session<beast::tcp_stream>>(shared_from_this(),
                                                               std::move(socket), std::move(peer));
    }
    {
        // A new connection has sent nothing yet: it may be shed from now on.
        std::lock_guard lock(mutex);
        sessions.emplace(session.get(), session);
        session->silentAt = silent.insert(silent.end(), session.get());
        session->listedSilent = true;
    }
    session->start();
}

Listener::Listener(net::io_context& io, net::thread_pool& workers, ListenerOptions options,
                   Handler handler)
    : Listener(io, workers, std::move(options),
               Router([handler = std::move(handler)](const Request&) { return Reply(handler); })) {}

Listener::Listener(net::io_context& io, net::thread_pool& workers, ListenerOptions options,
                   Router router)
    : state_(std::make_shared<State>(io, workers, std::move(options), std::move(router))) {
    const std::string where = state_->options.address + ":" + std::to_string(state_->options.port);
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

Listener::~Listener() {
    stop();
}

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
    c.shed = state_->shed;
    c.overBudget = state_->overBudget;
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
    if (ec)
        throw std::runtime_error(certificateFile + ": not a usable PEM certificate (" +
                                 ec.message() + ")");
    context->use_private_key_file(keyFile, net::ssl::context::pem, ec);
    if (ec)
        throw std::runtime_error(keyFile + ": not a usable PEM private key for the certificate (" +
                                 ec.message() + ")");
    return context;
}

std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    // An unlimited soft limit is still bounded by the kernel's nr_open; select() is not used.
    if (limit.rlim_cur == RLIM_INFINITY) return std::size_t{1} << 20;
    return static_cast<std::size_t>(limit.rlim_cur);
}

ConnectionCaps connectionCaps(std::size_t descriptorLimit, std::size_t workers) {
    // Three descriptors and the standard streams, the listening sockets and the event queue;
    // per storage worker a database connection with up to three files (SQLite: the database,
    // its WAL and shared memory; PostgreSQL: one socket) and one temporary file.
    const std::size_t reserved = 64 + 4 * workers;
    const std::size_t room = descriptorLimit > reserved + 32 ? descriptorLimit - reserved : 32;
    ConnectionCaps caps;
    caps.console = std::clamp<std::size_t>(room / 16, 4, 64);
    caps.site = room > caps.console + 16 ? room - caps.console : 16;
    return caps;
}

std::size_t defaultBodyBudget() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const std::size_t physical = pages > 0 && pageSize > 0 ? static_cast<std::size_t>(pages) *
                                                                 static_cast<std::size_t>(pageSize)
                                                           : 0;
    return std::max<std::size_t>(physical / 8, std::size_t{64} << 20);
}

std::pair<std::string, std::uint16_t> parseListenAddress(const std::string& text) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos)
            throw std::invalid_argument("expected [ADDRESS]:PORT: " + text);
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos)
            throw std::invalid_argument("expected ADDRESS:PORT: " + text);
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
