// Small pieces of HTTP the console needs on top of server::Request: form and query decoding,
// cookies, and the figures shown on pages (sizes, times).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "receiver/http/Time.h"

namespace gravelin::console {

using Fields = std::vector<std::pair<std::string, std::string>>;

// application/x-www-form-urlencoded (also a query string): '+' is a blank, %XX a byte.
// At most maxFields fields; a malformed escape is kept as it is.
Fields parseForm(std::string_view text, std::size_t maxFields = 64);
// The first field of that name, empty when absent.
std::string field(const Fields& fields, std::string_view name);
// Percent-encodes everything but unreserved characters.
std::string urlEncode(std::string_view text);

// The value of a cookie in a Cookie header, nullopt when absent.
std::optional<std::string> cookie(std::string_view cookieHeader, std::string_view name);

// The address a request counts against: the peer, or, when the peer is the trusted reverse
// proxy, the last entry of its X-Forwarded-For header (the one the proxy itself added), as
// the public site reads it.
std::string clientAddress(std::string_view peer, std::string_view forwardedFor,
                          std::string_view trustedProxy);

// Text with its control characters made visible: C0 controls other than TAB, LF and CR, DEL,
// and the C1 controls U+0080 to U+009F (what Windows-1252 bytes 0x81, 0x8D, 0x8F, 0x90 and
// 0x9D become) are written "\x81". Everything else, malformed UTF-8 included, is kept.
std::string visibleControls(std::string_view text);

// A decimal number of at most 18 digits, nothing else.
std::optional<std::int64_t> parseId(std::string_view text);

// "16 GiB", "512 MiB" (binary, for memory); "1.0 TB", "500 GB" (decimal, as disks are sold).
std::string memorySize(std::uint64_t bytes);
std::string diskSize(std::uint64_t bytes);
// "2026-12-10 13:42 UTC" ("2026-12-10 13:42:05 UTC" with seconds); ISO 8601 for exports
// (receiver/http/Time.h): "2026-12-10T13:42:05Z".
std::string displayTime(std::int64_t unixMs, bool seconds = false);
using server::isoTime;
// 100000 -> "100,000".
std::string grouped(std::uint64_t n);

}  // namespace gravelin::console
