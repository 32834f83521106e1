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

// "2026-12-10" (a date of the proleptic Gregorian calendar, years 1970 to 9999) to the
// milliseconds at its start, 00:00 UTC; nothing for anything else (2026-02-30 included).
std::optional<std::int64_t> utcDayStartMs(std::string_view date);
inline constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

}  // namespace gravelin::server
