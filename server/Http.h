// One HTTP exchange as the receiver's handlers see it, apart from sockets and TLS: the
// listener (Boost.Beast) reads a bounded request into a Request, a handler answers with a
// Response. The public site and the console are both handlers of this shape.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gravelin::server {

struct Request {
    std::string method;         // "GET", "POST", ...
    std::string path;           // the target's path, percent-decoding left to the handler
    std::string query;          // after '?', without it
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

}  // namespace gravelin::server
