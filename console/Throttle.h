// Failed sign-ins, counted in memory per key (an account name or an address). After `free`
// failures in a row, each further failure locks the key out for 1 s, 2 s, 4 s, ... up to
// maxLockMs; attempts while locked are refused without looking at the password.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace gravelin::console {

class Throttle {
public:
    Throttle(unsigned freeFailures, std::int64_t maxLockMs, std::size_t maxKeys = 100000)
        : free_(freeFailures), maxLockMs_(maxLockMs), maxKeys_(maxKeys) {}

    // Milliseconds the key is still locked out for; 0 when it may try.
    std::int64_t lockedForMs(const std::string& key, std::int64_t nowMs);
    void failure(const std::string& key, std::int64_t nowMs);
    void success(const std::string& key);

private:
    struct Entry {
        unsigned failures = 0;
        std::int64_t lockedUntilMs = 0;
        std::int64_t lastFailureMs = 0;
    };
    void prune(std::int64_t nowMs);

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    unsigned free_;
    std::int64_t maxLockMs_;
    std::size_t maxKeys_;
};

}  // namespace gravelin::console
