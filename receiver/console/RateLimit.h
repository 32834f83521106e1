// Requests counted per key (an API token) in memory, as a token bucket: each key holds up to
// `burst` requests and earns `perMinute` a minute back; a request finding the bucket empty is
// refused with the time until the next one is earned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace gravelin::console {

class RateLimit {
public:
    RateLimit(unsigned perMinute, unsigned burst, std::size_t maxKeys = 100000)
        : perMinute_(perMinute == 0 ? 1 : perMinute),
          burst_(burst == 0 ? 1 : burst),
          maxKeys_(maxKeys) {}

    // Takes one request from the key's bucket and returns 0, or returns the milliseconds
    // until the bucket holds one again (and takes nothing).
    std::int64_t take(const std::string& key, std::int64_t nowMs);

private:
    struct Bucket {
        double requests = 0;
        std::int64_t atMs = 0;
    };
    // What the bucket holds at nowMs.
    double level(const Bucket& bucket, std::int64_t nowMs) const;

    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    unsigned perMinute_, burst_;
    std::size_t maxKeys_;
};

}  // namespace gravelin::console
