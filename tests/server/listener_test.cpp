// The receiver's HTTP layer in process, driven over real sockets with raw bytes: deadlines,
// limits checked before the body is read, the per-address cap, keep-alive, stopping.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <gtest/gtest.h>

#include "server/Listener.h"

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
               std::chrono::milliseconds handlerDelay = 0ms) {
        ListenerOptions options;
        options.address = "127.0.0.1";
        options.port = 0;
        options.limits = limits;
        options.tls = std::move(tls);
        listener_ = std::make_unique<Listener>(io_, workers_, options, [this, handlerDelay](const Request& r) {
            ++calls_;
            std::this_thread::sleep_for(handlerDelay);
            return Response{200, {{"Content-Type", "text/plain"}},
                            r.method + " " + r.path + " " + std::to_string(r.body.size())};
        });
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

// A TLS connection that never says hello is dropped at the handshake deadline.
TEST_F(ListenerTest, TlsHandshakeDeadline) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("gravelin-listener-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string();
    const std::string key = (dir / "key.pem").string();
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
        "-subj /CN=localhost -keyout " + key + " -out " + cert + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    start(shortLimits(), makeTlsContext(cert, key));
    Client silent(port());
    const auto started = Clock::now();
    EXPECT_TRUE(silent.closedWithin(5s));
    EXPECT_GE(Clock::now() - started, 500ms);
    EXPECT_TRUE(eventually([&] { return listener_->counters().handshakeFailures == 1; }));
    EXPECT_THROW(makeTlsContext(key + ".missing", key), std::runtime_error);
    EXPECT_THROW(makeTlsContext(key, key), std::runtime_error);  // a key is no certificate
    std::filesystem::remove_all(dir);
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
