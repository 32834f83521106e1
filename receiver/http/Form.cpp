#include "receiver/http/Form.h"

namespace gravelin::server {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool formDecode(std::string_view in, std::string& out, BrokenEscape broken) {
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        // Runs without an escape (all of a sealed text: hex digits) are copied at once.
        std::size_t plain = i;
        while (plain < in.size() && in[plain] != '+' && in[plain] != '%') ++plain;
        if (plain > i) {
            out.append(in.substr(i, plain - i));
            i = plain;
            if (i == in.size()) break;
        }
        if (in[i] == '+') {
            out += ' ';
            continue;
        }
        const int high = i + 2 < in.size() ? hexDigit(in[i + 1]) : -1;
        const int low = i + 2 < in.size() ? hexDigit(in[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (broken == BrokenEscape::Refuse) {
            return false;
        } else {
            out += '%';
        }
    }
    return true;
}

}  // namespace gravelin::server
