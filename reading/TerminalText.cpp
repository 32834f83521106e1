#include "reading/TerminalText.h"

#include "shared/Utf8.h"

namespace gravelin::report {

namespace {

void appendEscape(std::string& out, std::string_view prefix, char32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += kDigits[(value >> shift) & 0xF];
}

// Characters at or above DEL that a terminal acts on.
bool actsOnTerminal(char32_t c) {
    return (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

enum class Form { Text, Json };

std::string escaped(std::string_view text, Form form) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte >= 0x20 && byte < 0x7F) {  // printable ASCII, the bulk of every value
            out += text[pos++];
            continue;
        }
        const std::size_t start = pos;
        const char32_t c = decodeUtf8(text, pos);
        if (form == Form::Json) {
            // Line feeds and blanks between tokens are the document's layout (the library
            // escapes C0 inside strings); a stray invalid byte becomes U+FFFD, as the
            // library's own replacement does.
            if (c == '\n' || c == '\r' || c == '\t') {
                out += static_cast<char>(c);
            } else if (c == kInvalidCodePoint) {
                out += "\\uFFFD";
            } else if (c < 0x20 || actsOnTerminal(c)) {
                appendEscape(out, "\\u", c, 4);
            } else {
                out.append(text.substr(start, pos - start));
            }
            continue;
        }
        if (c == kInvalidCodePoint) {
            appendEscape(out, "\\x", byte, 2);
        } else if (c < 0x20 || c == 0x7F) {
            appendEscape(out, "\\x", c, 2);
        } else if (actsOnTerminal(c)) {
            appendEscape(out, "\\u", c, 4);
        } else {
            out.append(text.substr(start, pos - start));
        }
    }
    return out;
}

}  // namespace

std::string terminalText(std::string_view text) {
    return escaped(text, Form::Text);
}

std::string terminalJson(std::string_view json) {
    return escaped(json, Form::Json);
}

}  // namespace gravelin::report
