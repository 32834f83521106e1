// Storage failures made visible: a store that records every StorageUnavailable its calls
// throw (the intake's 503s, the console's) in a FailureLog before passing it on. The log
// writes one line per failure kind, at most one per kind per interval (a minute), the next
// one saying how many it left out, and keeps the counts per kind for /status.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "receiver/storage/Store.h"

namespace gravelin::storage {

class FailureLog {
public:
    using Clock = std::chrono::steady_clock;
    // Lines go to `out` ("gravelin-receiver: storage failure (<kind>): <message>").
    explicit FailureLog(std::ostream& out, std::chrono::seconds interval = std::chrono::minutes(1),
                        std::function<Clock::time_point()> clock = {});

    void record(const StorageUnavailable& failure);
    // Failures so far by kind name (every kind that happened at least once).
    [[nodiscard]] std::map<std::string, std::uint64_t> counts() const;

private:
    struct PerKind {
        std::uint64_t count = 0;
        std::uint64_t suppressed = 0;
        Clock::time_point lastLine{};
        bool logged = false;
    };
    std::ostream& out_;
    std::chrono::seconds interval_;
    std::function<Clock::time_point()> clock_;
    mutable std::mutex mutex_;
    std::map<FailureKind, PerKind> kinds_;
};

// The store, with every StorageUnavailable recorded in `log` (which must outlive it).
std::unique_ptr<Store> withFailureLog(std::unique_ptr<Store> store, FailureLog& log);

}  // namespace gravelin::storage
