// The HTTP(S) listener under the receiver's handlers: Boost.Beast over Asio, TLS through
// asio::ssl. Every connection is bounded in time (handshake, header, body, write) and in size
// (header and body limits, checked from Content-Length before any body byte is read), and
// handlers run on a worker pool so that a slow store never stalls the network threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "server/Http.h"

namespace gravelin::server {

struct ListenerLimits {
    std::size_t headerBytes = 16u << 10;      // request line and header fields
    std::size_t bodyBytes = (8u << 20) + (64u << 10);  // sealed-text cap plus form overhead
    std::chrono::milliseconds handshake{10000};  // TLS handshake
    std::chrono::milliseconds header{10000};     // the whole header; also the keep-alive idle time
    std::chrono::milliseconds bodyFloor{10000};  // every body gets at least this long...
    std::size_t bodyBytesPerSecond = 64u << 10;  // ...plus one second per this many bytes...
    std::chrono::milliseconds request{30000};    // ...but header to answer stays under this
    std::chrono::milliseconds write{10000};      // writing the answer
    std::size_t connectionsPerAddress = 256;     // open connections from one peer address
    std::size_t connections = 20000;             // open connections in all
};

struct ListenerOptions {
    std::string address = "0.0.0.0";
    std::uint16_t port = 0;  // 0: the system picks one (see Listener::port)
    std::shared_ptr<boost::asio::ssl::context> tls;  // null: plain HTTP
    ListenerLimits limits;
};

// What the listener saw, for the status page and the benchmark's account of where time goes.
struct ListenerCounters {
    std::uint64_t accepted = 0, refusedAtCap = 0, requests = 0, timedOut = 0, tooLarge = 0,
                  badRequests = 0, handshakeFailures = 0;
    std::uint64_t handlerMicros = 0;  // summed time inside the handler
    std::size_t open = 0;
};

class Listener {
public:
    // Binds and starts accepting at once. Throws std::runtime_error with a one-line reason
    // when the address cannot be bound. The handler runs on `workers`.
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

// "ADDRESS:PORT", "[v6]:PORT" or ":PORT". Throws std::invalid_argument.
std::pair<std::string, std::uint16_t> parseListenAddress(const std::string& text);

}  // namespace gravelin::server
