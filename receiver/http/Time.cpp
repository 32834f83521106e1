#include "receiver/http/Time.h"

#include <chrono>
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

std::optional<std::int64_t> utcDayStartMs(std::string_view date) {
    if (date.size() != 10 || date[4] != '-' || date[7] != '-') return std::nullopt;
    int parts[3] = {0, 0, 0};
    const std::size_t starts[3] = {0, 5, 8}, lengths[3] = {4, 2, 2};
    for (int i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < lengths[i]; ++j) {
            const char c = date[starts[i] + j];
            if (c < '0' || c > '9') return std::nullopt;
            parts[i] = parts[i] * 10 + (c - '0');
        }
    }
    using namespace std::chrono;
    const year_month_day day{year{parts[0]}, month{static_cast<unsigned>(parts[1])},
                             std::chrono::day{static_cast<unsigned>(parts[2])}};
    if (!day.ok() || parts[0] < 1970) return std::nullopt;
    return duration_cast<milliseconds>(sys_days{day}.time_since_epoch()).count();
}

}  // namespace gravelin::server
