// Times as the receiver writes them for machines to read: ISO 8601 in UTC,
// "2026-12-10T13:42:05Z". The command line's listings and the console's exports use it; days
// as people type them for a period ("2026-12-10", a UTC day) are read here too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gravelin::server {

// Milliseconds since 1970 (UTC) to whole seconds, "2026-12-10T13:42:05Z"; empty for a time
// the C library cannot break down.
std::string isoTime(std::int64_t unixMs);

// The start of the UTC day "YYYY-MM-DD" in milliseconds since 1970; nothing for any other
// text, or a day the calendar does not have (2026-02-30).
std::optional<std::int64_t> utcDayStartMs(std::string_view day);
inline constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

}  // namespace gravelin::server
