// One HTTP exchange as the receiver's handlers see it, apart from sockets and TLS: the
// listener (Boost.Beast) reads a bounded request into a Request, a handler answers with a
// Response. The public site and the console are both handlers of this shape.
//
// A Handler may wait (storage, password hashing), so the listener runs it on its workers. A
// Router runs first, on a network thread, and must never wait: it answers what needs no
// storage at once and hands the rest to the workers (Reply::rest), so that the waiting image,
// refusals and the status page are answered while every worker waits for the database.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gravelin::server {

struct Request {
    std::string method;  // "GET", "POST", ...
    std::string path;    // the target's path, percent-decoding left to the handler
    std::string query;   // after '?', without it
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    std::string remoteAddress;  // the peer's address (or X-Forwarded-For when trusted)
    bool secure = false;        // arrived over TLS (or a trusted proxy said so)

    // The first header of that (lower-case) name, empty when absent.
    [[nodiscard]] std::string header(const std::string& lowerCaseName) const {
        for (const auto& [name, value] : headers) {
            if (name == lowerCaseName) return value;
        }
        return {};
    }
};

struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // Content-Type among them
    std::string body;
};

using Handler = std::function<Response(const Request&)>;

// What a Router says about a request: the answer itself, or the step that may wait.
struct Reply {
    explicit Reply(Response answer) : response(std::move(answer)) {}  // answered at once
    explicit Reply(Handler then) : rest(std::move(then)) {}           // answered by `then`

    Response response;  // sent as is when `rest` is empty
    Handler rest;       // when set: runs on the workers with the same request; its answer is sent
};

using Router = std::function<Reply(const Request&)>;

}  // namespace gravelin::server
