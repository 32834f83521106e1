// Failed sign-ins, counted in memory per key (an account name or an address). After `free`
// failures in a row, each further failure locks the key out for 1 s, 2 s, 4 s, ... up to
// maxLockMs; attempts while locked are refused without looking at the password.
//
// An attempt is reserved before its password is checked and settled after (failure, success
// or cancel). Attempts still being checked count as failures to come, so parallel guesses
// get no more checks than the same guesses one after another.
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

    // Reserves one attempt for the key and returns 0, or returns the milliseconds the key is
    // locked out for (counting the attempts in flight as failed) and reserves nothing.
    std::int64_t reserve(const std::string& key, std::int64_t nowMs);
    // Settle a reserved attempt: its password was wrong, right, or never checked.
    void failure(const std::string& key, std::int64_t nowMs);
    void success(const std::string& key);
    void cancel(const std::string& key);

private:
    struct Entry {
        unsigned failures = 0;
        unsigned inFlight = 0;
        std::int64_t lockedUntilMs = 0;
        std::int64_t lastFailureMs = 0;
    };
    std::int64_t lockAfter(unsigned failures) const;
    void settle(Entry& entry);
    void prune(std::int64_t nowMs);

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    unsigned free_;
    std::int64_t maxLockMs_;
    std::size_t maxKeys_;
};

}  // namespace gravelin::console
