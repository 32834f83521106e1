// The HTTP(S) listener under the receiver's handlers: Boost.Beast over Asio, TLS through
// asio::ssl. Every connection is bounded in time (handshake, header, body, write) and in size
// (every byte of a request, header, chunk lines, trailers and body, counts against one bound;
// Content-Length is checked before any body byte is read), bodies held at once share a
// memory budget, and the connection cap sheds connections that have sent nothing before it
// turns a client away. Handlers that may wait run on a worker pool so that a slow store never
// stalls the network threads; what a Router answers at once never queues behind them.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "receiver/http/Http.h"

namespace gravelin::server {

struct ListenerLimits {
    std::size_t headerBytes = 16u << 10;               // request line and header fields
    std::size_t bodyBytes = (8u << 20) + (64u << 10);  // sealed-text cap plus form overhead
    std::chrono::milliseconds handshake{10000};        // TLS handshake
    std::chrono::milliseconds header{10000};     // the whole header; also the keep-alive idle time
    std::chrono::milliseconds bodyFloor{10000};  // every body gets at least this long...
    std::size_t bodyBytesPerSecond = 64u << 10;  // ...plus one second per this many bytes...
    std::chrono::milliseconds request{30000};    // ...but header to answer stays under this
    std::chrono::milliseconds write{10000};      // writing the answer
    std::size_t connectionsPerAddress = 256;     // open connections from one peer address
    std::size_t connections = 20000;             // open connections in all
    std::size_t chunkLineBytes = 4096;           // a chunk's size line with its extensions
    std::chrono::seconds retryAfter{5};          // told to a body turned away by the budget
};

// Memory for request bodies held at once (read, or waiting for their answer), shared by the
// listeners given it. A body that would go over it is answered 503 with Retry-After.
class BodyBudget {
public:
    explicit BodyBudget(std::size_t bytes) : capacity_(bytes) {}
    // Takes `bytes` when they fit under the budget; false, and nothing taken, otherwise.
    bool take(std::size_t bytes);
    void give(std::size_t bytes);
    [[nodiscard]] std::size_t held() const { return held_.load(); }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }

private:
    const std::size_t capacity_;
    std::atomic<std::size_t> held_{0};
};

struct ListenerOptions {
    std::string address = "0.0.0.0";
    std::uint16_t port = 0;                          // 0: the system picks one (see Listener::port)
    std::shared_ptr<boost::asio::ssl::context> tls;  // null: plain HTTP
    ListenerLimits limits;
    std::shared_ptr<BodyBudget> bodyBudget;  // null: bodies are bounded one by one only
};

// What the listener saw, for the status page and the benchmark's account of where time goes.
struct ListenerCounters {
    std::uint64_t accepted = 0, refusedAtCap = 0, requests = 0, timedOut = 0, tooLarge = 0,
                  badRequests = 0, handshakeFailures = 0;
    std::uint64_t shed = 0;           // connections that had sent nothing, closed to make room
    std::uint64_t overBudget = 0;     // bodies answered 503: the body budget was spent
    std::uint64_t handlerMicros = 0;  // summed time inside the handler
    std::size_t open = 0;
};

class Listener {
public:
    // Binds and starts accepting at once. Throws std::runtime_error with a one-line reason
    // when the address cannot be bound. The router runs on the network threads; the rest of
    // a reply, and a handler, on `workers`.
    Listener(boost::asio::io_context& io, boost::asio::thread_pool& workers,
             ListenerOptions options, Router router);
    Listener(boost::asio::io_context& io, boost::asio::thread_pool& workers,
             ListenerOptions options, Handler handler);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    [[nodiscard]] std::uint16_t port() const;
    // Stops accepting and closes idle connections; requests in flight are answered (then
    // their connections close). Safe from any thread.
    void stop();
    [[nodiscard]] ListenerCounters counters() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// A TLS server context from PEM files (certificate chain, private key): TLS 1.2 and later.
// Throws std::runtime_error naming the file that could not be used.
std::shared_ptr<boost::asio::ssl::context> makeTlsContext(const std::string& certificateFile,
                                                          const std::string& keyFile);

// Raises this process's soft limit on open descriptors to its hard limit; returns the soft
// limit in force afterwards.
std::size_t raiseDescriptorLimit();

// How many connections the site and the console listener may hold when `descriptorLimit`
// descriptors are allowed: what `workers` storage workers (a database connection each, with
// its files), logs and temporary files need is kept back.
struct ConnectionCaps {
    std::size_t site = 0, console = 0;
};
ConnectionCaps connectionCaps(std::size_t descriptorLimit, std::size_t workers);

// The default body budget: an eighth of physical memory, at least 64 MiB.
std::size_t defaultBodyBudget();

// "ADDRESS:PORT", "[v6]:PORT" or ":PORT". Throws std::invalid_argument.
std::pair<std::string, std::uint16_t> parseListenAddress(const std::string& text);

}  // namespace gravelin::server
