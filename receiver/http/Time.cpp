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

}  // namespace gravelin::server
