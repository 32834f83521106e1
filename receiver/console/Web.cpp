#include "receiver/console/Web.h"

#include <cstdio>
#include <ctime>

#include "receiver/http/Form.h"

namespace gravelin::console {

namespace {

std::string formDecode(std::string_view text) {
    std::string out;
    server::formDecode(text, out, server::BrokenEscape::Keep);
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string scaled(std::uint64_t bytes, double base, const char* const* units, int count) {
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= base && unit + 1 < count) {
        value /= base;
        ++unit;
    }
    char text[48];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(bytes),
                      units[0]);
    } else if (value < 10 && value != static_cast<double>(static_cast<std::uint64_t>(value))) {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.0f %s", value, units[unit]);
    }
    return text;
}

bool toUtc(std::int64_t unixMs, std::tm& tm) {
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    return gmtime_r(&seconds, &tm) != nullptr;
}

}  // namespace

Fields parseForm(std::string_view text, std::size_t maxFields) {
    Fields fields;
    while (!text.empty() && fields.size() < maxFields) {
        const auto amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        if (pair.empty()) continue;
        const auto eq = pair.find('=');
        if (eq == std::string_view::npos) {
            fields.emplace_back(formDecode(pair), std::string{});
        } else {
            fields.emplace_back(formDecode(pair.substr(0, eq)), formDecode(pair.substr(eq + 1)));
        }
    }
    return fields;
}

std::string field(const Fields& fields, std::string_view name) {
    for (const auto& [key, value] : fields) {
        if (key == name) return value;
    }
    return {};
}

std::string urlEncode(std::string_view text) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::optional<std::string> cookie(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const auto semi = header.find(';');
        const std::string_view item = trim(header.substr(0, semi));
        header = semi == std::string_view::npos ? std::string_view{} : header.substr(semi + 1);
        const auto eq = item.find('=');
        if (eq != std::string_view::npos && trim(item.substr(0, eq)) == name) {
            std::string_view value = trim(item.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            return std::string(value);
        }
    }
    return std::nullopt;
}

std::string clientAddress(std::string_view peer, std::string_view forwardedFor,
                          std::string_view trustedProxy) {
    if (trustedProxy.empty() || peer != trustedProxy) return std::string(peer);
    const auto comma = forwardedFor.rfind(',');
    const std::string_view last =
        trim(forwardedFor.substr(comma == std::string_view::npos ? 0 : comma + 1));
    if (last.empty() || last.size() > 64) return std::string(peer);
    return std::string(last);
}

std::string visibleControls(std::string_view text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escaped = [&](unsigned code) {
        out += "\\x";
        out += digits[code >> 4];
        out += digits[code & 15];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
            escaped(c);
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            escaped(static_cast<unsigned char>(text[++i]));  // U+0080..U+009F
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::int64_t> parseId(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string memorySize(std::uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    return scaled(bytes, 1024.0, units, 6);
}

std::string diskSize(std::uint64_t bytes) {
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    return scaled(bytes, 1000.0, units, 6);
}

std::string displayTime(std::int64_t unixMs, bool seconds) {
    std::tm tm{};
    if (!toUtc(unixMs, tm)) return "?";
    char text[40];
    std::strftime(text, sizeof text, seconds ? "%Y-%m-%d %H:%M:%S UTC" : "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    const std::size_t first = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    out += digits.substr(0, first);
    for (std::size_t i = first; i < digits.size(); i += 3) {
        out += ',';
        out += digits.substr(i, 3);
    }
    return out;
}

}  // namespace gravelin::console
