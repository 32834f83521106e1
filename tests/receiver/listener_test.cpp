// The receiver's HTTP layer in process, driven over real sockets with raw bytes: deadlines,
// limits checked before the body is read, the per-address cap, keep-alive, stopping; every
// byte of a request under one bound, Transfer-Encoding, the body budget, shedding at the
// connection cap, early answers over TLS, routed answers beside busy workers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "receiver/http/Listener.h"

namespace gravelin::server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A socket to the listener on loopback; closed on destruction.
class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    void shutdownSending() { ::shutdown(fd_, SHUT_WR); }

    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Waits for data or the end of the connection: what arrived ("" when the peer closed),
    // or nothing when `wait` passed first.
    std::optional<std::string> receiveSome(std::chrono::milliseconds wait) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return std::string();
        return std::string(buffer, static_cast<std::size_t>(n));
    }

    // One whole response (header and Content-Length body), or what arrived before the
    // connection ended or `wait` passed.
    std::string response(std::chrono::milliseconds wait = 10s) {
        const auto deadline = Clock::now() + wait;
        while (Clock::now() < deadline) {
            const auto end = pending_.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::size_t length = 0;
                const auto at = lower(pending_.substr(0, end)).find("content-length: ");
                if (at != std::string::npos) length = std::stoul(pending_.substr(at + 16));
                if (pending_.size() >= end + 4 + length) {
                    std::string one = pending_.substr(0, end + 4 + length);
                    pending_.erase(0, end + 4 + length);
                    return one;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const auto some = receiveSome(std::max(left, 1ms));
            if (!some || some->empty()) break;
            pending_ += *some;
        }
        std::string partial = std::move(pending_);
        pending_.clear();
        return partial;
    }

    // True when the server closed the connection within `wait` (data before the end is
    // discarded).
    bool closedWithin(std::chrono::milliseconds wait) {
        const auto deadline = Clock::now() + wait;
        while (Clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const auto some = receiveSome(std::max(left, 1ms));
            if (!some) return false;
            if (some->empty()) return true;
        }
        return false;
    }

    static std::string lower(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

private:
    int fd_;
    bool connected_ = false;
    std::string pending_;
};

std::string post(std::string_view body, std::string_view extra = "") {
    return "POST /kestal/scantest.php HTTP/1.1\r\nHost: x\r\nContent-Type: "
           "application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + std::string(extra) + "\r\n" +
           std::string(body);
}

int statusOf(const std::string& response) {
    if (response.size() < 12 || !response.starts_with("HTTP/1.1 ")) return 0;
    return std::stoi(response.substr(9, 3));
}

// A listener on loopback running on two network threads and two workers; the handler
// answers with the body's size and counts its calls.
class ListenerTest : public ::testing::Test {
protected:
    void start(ListenerLimits limits, std::shared_ptr<boost::asio::ssl::context> tls = nullptr,
               std::chrono::milliseconds handlerDelay = 0ms,
               std::shared_ptr<BodyBudget> budget = nullptr) {
        ListenerOptions options = optionsWith(limits);
        options.tls = std::move(tls);
        options.bodyBudget = std::move(budget);
        listener_ = std::make_unique<Listener>(io_, workers_, options, [this, handlerDelay](const Request& r) {
            ++calls_;
            std::this_thread::sleep_for(handlerDelay);
            return Response{200, {{"Content-Type", "text/plain"}},
                            r.method + " " + r.path + " " + std::to_string(r.body.size())};
        });
        runNetworkThreads();
    }

    void startRouted(ListenerLimits limits, Router router) {
        listener_ = std::make_unique<Listener>(io_, workers_, optionsWith(limits), std::move(router));
        runNetworkThreads();
    }

    static ListenerOptions optionsWith(ListenerLimits limits) {
        ListenerOptions options;
        options.address = "127.0.0.1";
        options.port = 0;
        options.limits = limits;
        return options;
    }

    void runNetworkThreads() {
        for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
    }

    void TearDown() override {
        if (listener_) listener_->stop();
        work_.reset();
        // Connections the test left open end with the io_context.
        io_.stop();
        for (auto& t : threads_) t.join();
        workers_.join();
    }

    std::uint16_t port() const { return listener_->port(); }

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_ =
        boost::asio::make_work_guard(io_);
    boost::asio::thread_pool workers_{2};
    std::unique_ptr<Listener> listener_;
    std::vector<std::thread> threads_;
    std::atomic<int> calls_{0};
};

// The listener counts a timeout after the stream has closed the socket: give it a moment.
template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 100 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
}

ListenerLimits shortLimits() {
    ListenerLimits limits;
    limits.bodyBytes = 4096;
    limits.headerBytes = 2048;
    limits.handshake = 600ms;
    limits.header = 600ms;
    limits.bodyFloor = 600ms;
    limits.bodyBytesPerSecond = 1u << 30;
    limits.request = 5s;
    limits.write = 2s;
    limits.connectionsPerAddress = 1000;
    return limits;
}

TEST_F(ListenerTest, AnswersKeepAliveRequestsWithSecurityHeaders) {
    start(shortLimits());
    Client client(port());
    ASSERT_TRUE(client.send(post("scanResult=AB")));
    const std::string first = client.response();
    EXPECT_EQ(statusOf(first), 200) << first;
    EXPECT_NE(first.find("POST /kestal/scantest.php 13"), std::string::npos) << first;
    const std::string headers = Client::lower(first);
    EXPECT_NE(headers.find("x-content-type-options: nosniff"), std::string::npos);
    EXPECT_NE(headers.find("referrer-policy: no-referrer"), std::string::npos);
    EXPECT_NE(headers.find("content-security-policy: default-src 'none'"), std::string::npos);
    EXPECT_EQ(headers.find("strict-transport-security"), std::string::npos);  // not TLS
    // The same connection takes a second request.
    ASSERT_TRUE(client.send("GET /a?b=c HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string second = client.response();
    EXPECT_EQ(statusOf(second), 200) << second;
    EXPECT_NE(second.find("GET /a 0"), std::string::npos) << second;
    EXPECT_EQ(calls_, 2);
}

// The server waits for 100-continue clients, and turns down an oversize one instead.
TEST_F(ListenerTest, ExpectContinue) {
    start(shortLimits());
    Client client(port());
    ASSERT_TRUE(client.send("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
                            "Expect: 100-continue\r\n\r\n"));
    EXPECT_EQ(statusOf(client.response(3s)), 100);
    ASSERT_TRUE(client.send("hello"));
    EXPECT_EQ(statusOf(client.response()), 200);
}

// Content-Length over the limit: 413 at once, from the header alone; the body never sent.
TEST_F(ListenerTest, OversizeBodyRefusedFromTheHeaderAlone) {
    start(shortLimits());
    for (const char* extra : {"", "Expect: 100-continue\r\n"}) {
        Client client(port());
        ASSERT_TRUE(client.send("POST /kestal/scantest.php HTTP/1.1\r\nHost: x\r\n"
                                "Content-Length: 5000\r\n" + std::string(extra) + "\r\n"));
        const std::string answer = client.response(3s);
        EXPECT_EQ(statusOf(answer), 413) << extra << answer;
        EXPECT_TRUE(client.closedWithin(3s));
    }
    // A chunked body is bounded by the same limit as it arrives.
    Client chunked(port());
    ASSERT_TRUE(chunked.send("POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string chunk(1000, 'A');
    for (int i = 0; i < 5; ++i) chunked.send("3e8\r\n" + chunk + "\r\n");
    EXPECT_EQ(statusOf(chunked.response(3s)), 413);
    EXPECT_EQ(calls_, 0);
    EXPECT_EQ(listener_->counters().tooLarge, 3u);
}

TEST_F(ListenerTest, OversizeHeaderGets431) {
    start(shortLimits());
    Client client(port());
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(4000, 'a') + "\r\n\r\n"));
    EXPECT_EQ(statusOf(client.response(3s)), 431);
    Client garbage(port());
    ASSERT_TRUE(garbage.send("NOT HTTP AT ALL\r\n\r\n"));
    EXPECT_EQ(statusOf(garbage.response(3s)), 400);
    EXPECT_EQ(calls_, 0);
}

// A client that announces more than it sends is dropped at the body deadline, and one that
// never finishes its header at the header deadline; the handler never sees either.
TEST_F(ListenerTest, ShortBodyAndSlowHeaderDroppedAtTheirDeadlines) {
    start(shortLimits());
    Client shortBody(port());
    ASSERT_TRUE(shortBody.send("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n0123456789"));
    Client slowHeader(port());
    ASSERT_TRUE(slowHeader.send("POST /p HTTP/1.1\r\nHo"));
    // One that ends its side half-way is told why.
    Client halfClosed(port());
    ASSERT_TRUE(halfClosed.send("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n0123"));
    halfClosed.shutdownSending();
    EXPECT_EQ(statusOf(halfClosed.response(3s)), 400);
    const auto started = Clock::now();
    EXPECT_TRUE(shortBody.closedWithin(5s));
    EXPECT_TRUE(slowHeader.closedWithin(5s));
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, 500ms);  // not before the deadline (600 ms)
    EXPECT_EQ(calls_, 0);
    EXPECT_TRUE(eventually([&] { return listener_->counters().timedOut == 2; }));
}

// Two hundred connections trickling their headers a byte at a time hold no thread: normal
// posts are answered while every one of them is still connected.
TEST_F(ListenerTest, TricklingClientsDoNotStopNormalPosts) {
    ListenerLimits limits = shortLimits();
    limits.header = 60s;  // the tricklers stay until the test ends
    start(limits);
    std::vector<std::unique_ptr<Client>> tricklers;
    for (int i = 0; i < 200; ++i) {
        tricklers.push_back(std::make_unique<Client>(port()));
        ASSERT_TRUE(tricklers.back()->connected());
    }
    std::atomic<bool> trickling{true};
    std::thread trickler([&] {
        const std::string request = "POST /kestal/scantest.php HTTP/1.1\r\nHost: slow\r\n";
        for (std::size_t at = 0; trickling && at < request.size(); ++at) {
            for (auto& t : tricklers) t->send(request.substr(at, 1));
            std::this_thread::sleep_for(100ms);
        }
        while (trickling) std::this_thread::sleep_for(10ms);
    });
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 20; ++i) {
        Client normal(port());
        ASSERT_TRUE(normal.send(post("scanResult=" + std::string(2000, 'A'))));
        const std::string answer = normal.response(5s);
        EXPECT_EQ(statusOf(answer), 200) << "post " << i << ": " << answer;
    }
    EXPECT_EQ(calls_, 20);
    EXPECT_GE(listener_->counters().open, 200u);  // the tricklers were all still there
    trickling = false;
    trickler.join();
}

TEST_F(ListenerTest, ConnectionsPerAddressAreCapped) {
    ListenerLimits limits = shortLimits();
    limits.header = 30s;
    limits.connectionsPerAddress = 3;
    start(limits);
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 3; ++i) held.push_back(std::make_unique<Client>(port()));
    std::this_thread::sleep_for(200ms);
    Client over(port());
    EXPECT_TRUE(over.closedWithin(3s));
    held.front()->close();
    std::this_thread::sleep_for(300ms);
    Client again(port());
    ASSERT_TRUE(again.send(post("scanResult=AB")));
    EXPECT_EQ(statusOf(again.response()), 200);
    EXPECT_EQ(listener_->counters().refusedAtCap, 1u);
}

// Stopping answers the request in flight, closes idle connections and takes no new ones.
TEST_F(ListenerTest, StopFinishesInFlightRequests) {
    start(shortLimits(), nullptr, 800ms);
    Client idle(port());
    Client busy(port());
    ASSERT_TRUE(busy.send(post("scanResult=AB")));
    std::this_thread::sleep_for(300ms);  // the handler is running
    listener_->stop();
    EXPECT_TRUE(idle.closedWithin(3s));
    const std::string answer = busy.response(5s);
    EXPECT_EQ(statusOf(answer), 200) << answer;
    EXPECT_NE(Client::lower(answer).find("connection: close"), std::string::npos) << answer;
    std::this_thread::sleep_for(100ms);
    Client late(port());
    EXPECT_FALSE(late.connected() && late.send(post("scanResult=AB")) &&
                 statusOf(late.response(2s)) == 200);
}

// A throw-away certificate and key in a directory of their own, removed afterwards.
struct TestCertificate {
    TestCertificate() {
        std::filesystem::create_directories(dir);
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
            "-subj /CN=localhost -keyout " + key + " -out " + cert + " 2>/dev/null";
        made = std::system(command.c_str()) == 0;
    }
    ~TestCertificate() { std::filesystem::remove_all(dir); }
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("gravelin-listener-" + std::to_string(::getpid()));
    std::string cert = (dir / "cert.pem").string();
    std::string key = (dir / "key.pem").string();
    bool made = false;
};

// A TLS connection that never says hello is dropped at the handshake deadline.
TEST_F(ListenerTest, TlsHandshakeDeadline) {
    const TestCertificate certificate;
    ASSERT_TRUE(certificate.made);
    const std::string& cert = certificate.cert;
    const std::string& key = certificate.key;
    start(shortLimits(), makeTlsContext(cert, key));
    Client silent(port());
    const auto started = Clock::now();
    EXPECT_TRUE(silent.closedWithin(5s));
    EXPECT_GE(Clock::now() - started, 500ms);
    EXPECT_TRUE(eventually([&] { return listener_->counters().handshakeFailures == 1; }));
    EXPECT_THROW(makeTlsContext(key + ".missing", key), std::runtime_error);
    EXPECT_THROW(makeTlsContext(key, key), std::runtime_error);  // a key is no certificate
}

// Every byte of a request counts against one bound (header plus body limit), and what Beast
// keeps unparsed in a chunked body (an unfinished chunk line, the trailers) has a small bound
// of its own: a chunk extension that never ends once grew one connection to a gigabyte.
TEST_F(ListenerTest, EveryByteOfAChunkedRequestCountsAgainstTheBound) {
    start(shortLimits());  // header 2 KiB, body 4 KiB, chunk line 4 KiB
    std::string manySmallChunks;
    for (int i = 0; i < 100; ++i) manySmallChunks += "1;x=" + std::string(3000, 'a') + "\r\nA\r\n";
    const struct {
        const char* name;
        std::string body;
        int status;
    } cases[] = {
        {"an extension that never ends", "10;x=" + std::string(64u << 10, 'a'), 400},
        // Each line under its own bound, 100 bytes of body, 300 KB in all.
        {"extensions on many small chunks", manySmallChunks + "0\r\n\r\n", 413},
        {"trailers that never end", "1\r\nA\r\n0\r\nX-Trailer: " + std::string(64u << 10, 'a'), 400},
    };
    for (const auto& c : cases) {
        Client client(port());
        ASSERT_TRUE(client.send("POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                c.body))
            << c.name;
        const std::string answer = client.response();
        EXPECT_EQ(statusOf(answer), c.status) << c.name << ": " << answer;
        EXPECT_TRUE(client.closedWithin(5s)) << c.name;
    }
    EXPECT_EQ(calls_, 0);
}

// A Transfer-Encoding that does not end in one chunked must not be read as an empty body
// with the connection kept: the body would be answered as a second request.
TEST_F(ListenerTest, TransferEncodingWithoutAFinalChunkedIsRefusedAndCloses) {
    start(shortLimits());
    const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
    const struct {
        const char* version;
        const char* fields;
        int status;
    } cases[] = {
        {"1.1", "Transfer-Encoding: gzip\r\n", 400},
        {"1.1", "Transfer-Encoding: xchunked\r\n", 400},
        {"1.1", "Transfer-Encoding: chunked, identity\r\n", 400},
        {"1.1", "Transfer-Encoding: identity\r\n", 400},
        {"1.1", "Transfer-Encoding: chunked, chunked\r\n", 400},
        {"1.1", "Transfer-Encoding:\r\n", 400},
        {"1.1", "Transfer-Encoding: gzip\r\nContent-Length: 5\r\n", 400},
        {"1.0", "Transfer-Encoding: chunked\r\n", 400},
        {"1.1", "Transfer-Encoding: gzip, chunked\r\n", 501},
        {"1.1", "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", 501},
    };
    for (const auto& c : cases) {
        Client client(port());
        ASSERT_TRUE(client.send(std::string("POST /p HTTP/") + c.version + "\r\nHost: x\r\n" +
                                c.fields + "\r\n" + smuggled));
        const std::string answer = client.response();
        EXPECT_EQ(statusOf(answer), c.status) << c.fields << answer;
        EXPECT_TRUE(client.closedWithin(5s)) << c.fields;  // the smuggled GET is never answered
    }
    EXPECT_EQ(calls_, 0);
}

// Bodies held at once share a budget: past it a new body gets 503 with Retry-After from its
// header (Content-Length) or as it grows (chunked), and the budget comes back with the answer.
TEST_F(ListenerTest, BodiesPastTheBudgetGet503WithRetryAfter) {
    start(shortLimits(), nullptr, 0ms, std::make_shared<BodyBudget>(6000));
    const std::string body(4000, 'A');
    const std::string withLength =
        "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 4000\r\n\r\n" + body;
    // One client holds 4000 bytes of the budget: its header was taken (100 Continue).
    Client holding(port());
    ASSERT_TRUE(holding.send("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 4000\r\n"
                             "Expect: 100-continue\r\n\r\n"));
    ASSERT_EQ(statusOf(holding.response()), 100);
    const struct {
        const char* name;
        std::string request;
    } cases[] = {
        {"Content-Length", withLength},
        {"chunked", "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nfa0\r\n" + body +
                        "\r\n0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        Client client(port());
        ASSERT_TRUE(client.send(c.request)) << c.name;
        const std::string answer = client.response();
        EXPECT_EQ(statusOf(answer), 503) << c.name << ": " << answer;
        EXPECT_NE(Client::lower(answer).find("retry-after: 5\r\n"), std::string::npos) << answer;
        EXPECT_TRUE(client.closedWithin(5s)) << c.name;
    }
    EXPECT_EQ(listener_->counters().overBudget, 2u);
    ASSERT_TRUE(holding.send(body));
    EXPECT_EQ(statusOf(holding.response()), 200);
    // Answered, its body is given back: the same post now fits.
    Client again(port());
    ASSERT_TRUE(again.send(withLength));
    const std::string answer = again.response();
    EXPECT_EQ(statusOf(answer), 200) << answer;
    EXPECT_EQ(calls_, 2);
}

// At the connection cap the connection that has waited longest without sending a byte makes
// room, so that a client that sends a request is still answered.
TEST_F(ListenerTest, AtTheCapSilentConnectionsAreShedFirst) {
    ListenerLimits limits = shortLimits();
    limits.header = 30s;  // the silent ones would otherwise stay until the test ends
    limits.connections = 3;
    start(limits);
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 3; ++i) silent.push_back(std::make_unique<Client>(port()));
    Client honest(port());
    ASSERT_TRUE(honest.send(post("scanResult=AB")));
    const std::string answer = honest.response();
    EXPECT_EQ(statusOf(answer), 200) << answer;
    EXPECT_TRUE(silent[0]->closedWithin(5s));  // the first to connect
    EXPECT_EQ(listener_->counters().shed, 1u);
    EXPECT_EQ(listener_->counters().refusedAtCap, 0u);
}

// ... but a connection with a request under way is never shed: when all of them are busy,
// the newcomer is turned away, and the busy ones are answered.
TEST_F(ListenerTest, AtTheCapBusyConnectionsAreKept) {
    ListenerLimits limits = shortLimits();
    limits.connections = 2;
    start(limits);
    std::vector<std::unique_ptr<Client>> busy;
    for (int i = 0; i < 2; ++i) {
        busy.push_back(std::make_unique<Client>(port()));
        ASSERT_TRUE(busy.back()->send("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n"
                                      "Expect: 100-continue\r\n\r\n"));
        ASSERT_EQ(statusOf(busy.back()->response()), 100);  // its header was read
    }
    Client newcomer(port());
    EXPECT_TRUE(newcomer.closedWithin(5s));
    EXPECT_EQ(listener_->counters().refusedAtCap, 1u);
    EXPECT_EQ(listener_->counters().shed, 0u);
    for (auto& client : busy) {
        ASSERT_TRUE(client->send("AB"));
        EXPECT_EQ(statusOf(client->response()), 200);
    }
}

// Sends a whole request before reading anything, as most clients do, then reads the answer's
// header; "send failed: ..." when the server reset the connection first.
template <class Stream>
std::string sendWholeThenRead(Stream& stream, const std::string& request) {
    boost::system::error_code ec;
    boost::asio::write(stream, boost::asio::buffer(request), ec);
    if (ec) return "send failed: " + ec.message();
    std::string answer;
    boost::asio::read_until(stream, boost::asio::dynamic_buffer(answer), "\r\n\r\n", ec);
    return answer;
}

// An early answer (431 from the first 2 KiB of a 32 MiB header) reaches a client that is still
// sending, over plain TCP and over TLS alike: the rest of the request is read and dropped
// before the connection closes, rather than reset under the client's feet.
TEST_F(ListenerTest, EarlyAnswerReachesAClientStillSendingOverTcpAndTls) {
    const TestCertificate certificate;
    ASSERT_TRUE(certificate.made);
    namespace net = boost::asio;
    // More than the socket buffers of both ends can hold, so the client is still sending.
    const std::string request =
        "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(32u << 20, 'a') + "\r\n\r\n";
    start(shortLimits());
    ListenerOptions tlsOptions = optionsWith(shortLimits());
    tlsOptions.tls = makeTlsContext(certificate.cert, certificate.key);
    Listener tlsListener(io_, workers_, tlsOptions,
                         [](const Request&) { return Response{200, {}, "unexpected"}; });
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        net::io_context clientIo;
        const net::ip::tcp::endpoint server(net::ip::make_address("127.0.0.1"),
                                            tls ? tlsListener.port() : port());
        std::string answer;
        if (tls) {
            net::ssl::context context(net::ssl::context::tls_client);
            context.set_verify_mode(net::ssl::verify_none);
            net::ssl::stream<net::ip::tcp::socket> stream(clientIo, context);
            stream.next_layer().connect(server);
            stream.handshake(net::ssl::stream_base::client);
            answer = sendWholeThenRead(stream, request);
        } else {
            net::ip::tcp::socket socket(clientIo);
            socket.connect(server);
            answer = sendWholeThenRead(socket, request);
        }
        EXPECT_EQ(statusOf(answer), 431) << answer.substr(0, 200);
    }
}

// A client that comes back resumes its TLS session, again and again: each handshake hands
// it the ticket for the next. A full handshake is the costliest part of a new connection.
TEST_F(ListenerTest, TlsClientsResumeTheirSessions) {
    const TestCertificate certificate;
    ASSERT_TRUE(certificate.made);
    namespace net = boost::asio;
    start(shortLimits(), makeTlsContext(certificate.cert, certificate.key));
    net::ssl::context context(net::ssl::context::tls_client);
    context.set_verify_mode(net::ssl::verify_none);
    SSL_SESSION* session = nullptr;
    for (int i = 0; i < 3; ++i) {
        net::io_context clientIo;
        net::ssl::stream<net::ip::tcp::socket> stream(clientIo, context);
        if (session) SSL_set_session(stream.native_handle(), session);
        stream.next_layer().connect({net::ip::make_address("127.0.0.1"), port()});
        stream.handshake(net::ssl::stream_base::client);
        // TLS 1.3 sends the ticket after the handshake: an exchange reads it.
        const std::string answer = sendWholeThenRead(
            stream, std::string("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
        EXPECT_EQ(statusOf(answer), 200) << answer;
        EXPECT_EQ(SSL_session_reused(stream.native_handle()) == 1, i > 0) << "connection " << i;
        if (session) SSL_SESSION_free(session);
        session = SSL_get1_session(stream.native_handle());
        ASSERT_NE(session, nullptr);
        // Closed in order: OpenSSL marks the session of a connection dropped without its
        // close alert as not to be resumed.
        boost::system::error_code ignored;
        stream.shutdown(ignored);
    }
    SSL_SESSION_free(session);
}

// What a router answers at once never waits for the workers: with every worker held by a
// stalled store, the image and a refusal are still answered, and the stalled ones afterwards.
TEST_F(ListenerTest, RoutedAnswersDoNotWaitForBusyWorkers) {
    std::mutex mutex;
    std::condition_variable changed;
    int storing = 0;
    bool released = false;
    startRouted(shortLimits(), [&](const Request& request) -> Reply {
        if (request.path == "/store") {
            return Reply(Handler([&](const Request&) {
                std::unique_lock lock(mutex);
                ++storing;
                changed.notify_all();
                changed.wait(lock, [&] { return released; });
                return Response{200, {{"Content-Type", "text/plain"}}, "stored"};
            }));
        }
        return Reply(Response{request.path == "/image" ? 200 : 404,
                              {{"Content-Type", "text/plain"}}, "at once"});
    });
    const auto release = [&] {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    };
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 2; ++i) {  // as many as there are workers
        stalled.push_back(std::make_unique<Client>(port()));
        ASSERT_TRUE(stalled.back()->send("POST /store HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
    }
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 10s, [&] { return storing == 2; })) {
            lock.unlock();
            release();
            FAIL() << "the stalled requests never reached the workers";
        }
    }
    for (const auto& [target, status] : {std::pair{"/image", 200}, std::pair{"/nothing", 404}}) {
        Client quick(port());
        ASSERT_TRUE(quick.send(std::string("GET ") + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
        const std::string answer = quick.response(5s);  // only a bound for the failing case
        EXPECT_EQ(statusOf(answer), status) << target << ": " << answer;
    }
    release();
    for (auto& client : stalled) EXPECT_EQ(statusOf(client->response()), 200);
}

TEST(ListenAddress, Parses) {
    EXPECT_EQ(parseListenAddress("127.0.0.1:8443"), std::make_pair(std::string("127.0.0.1"), std::uint16_t{8443}));
    EXPECT_EQ(parseListenAddress(":443").first, "0.0.0.0");
    EXPECT_EQ(parseListenAddress("[::1]:80"), std::make_pair(std::string("::1"), std::uint16_t{80}));
    for (const char* bad : {"localhost", "1.2.3.4:", "1.2.3.4:70000", "host:80", "[::1]80", "1.2.3.4:8x"}) {
        EXPECT_THROW(parseListenAddress(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace gravelin::server
