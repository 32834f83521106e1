// Times as the receiver writes them for machines to read: ISO 8601 in UTC,
// "2026-12-10T13:42:05Z". The command line's listings and the console's exports use it.
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
// milliseconds at its start, 00:00 UTC; nothing for anything else.
std::optional<std::int64_t> dayStartMs(std::string_view date);

}  // namespace gravelin::server
