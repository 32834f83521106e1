#include "receiver/http/Time.h"

#include <ctime>

namespace gravelin::server {

std::string isoTime(std::int64_t unixMs) {
    const auto seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm parts{};
    if (::gmtime_r(&seconds, &parts) == nullptr) return {};
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) return {};
    return text;
}

std::optional<std::int64_t> utcDayStartMs(std::string_view day) {
    if (day.size() != 10 || day[4] != '-' || day[7] != '-') return std::nullopt;
    const auto number = [&](std::size_t at, std::size_t length) -> std::optional<int> {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) {
            if (day[i] < '0' || day[i] > '9') return std::nullopt;
            value = value * 10 + (day[i] - '0');
        }
        return value;
    };
    const auto year = number(0, 4), month = number(5, 2), dayOfMonth = number(8, 2);
    if (!year || !month || !dayOfMonth || *year < 1970 || *month < 1 || *month > 12 ||
        *dayOfMonth < 1)
        return std::nullopt;
    std::tm parts{};
    parts.tm_year = *year - 1900;
    parts.tm_mon = *month - 1;
    parts.tm_mday = *dayOfMonth;
    const std::time_t seconds = ::timegm(&parts);
    // timegm carries an overflowing day into the next month: 02-30 comes back as 03-02.
    if (seconds == static_cast<std::time_t>(-1) || parts.tm_mday != *dayOfMonth ||
        parts.tm_mon != *month - 1)
        return std::nullopt;
    return static_cast<std::int64_t>(seconds) * 1000;
}

}  // namespace gravelin::server
