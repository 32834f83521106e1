// Retention: how long the receiver keeps scans, machines and the audit log, and the worker
// that removes what is older, a bounded step at a time, in the background of `serve` (and
// at once for `gravelin-receiver prune`). Every run that removed something is one audit
// entry with the counts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "receiver/storage/Store.h"

namespace gravelin::storage {

// Rows one retention transaction removes at most. Each step holds SQLite's writer (the group
// commit waits for it) or PostgreSQL's row locks for as long as it runs; with secure_delete a
// scan costs its compressed report's pages overwritten: 100 scans of 20 KB took about 30 ms
// here (docs/data-protection.md), about what one group commit of posts takes under load.
inline constexpr std::uint32_t kRetentionStep = 100;

// Days to keep each kind; nothing: kept for ever.
struct RetentionPolicy {
    std::optional<std::uint32_t> scanDays, machineDays, auditDays;
    bool any() const { return scanDays || machineDays || auditDays; }
};

PruneCutoffs cutoffsAt(const RetentionPolicy& policy, std::int64_t nowMs);

// Removes everything past the cutoffs, step by step, then scrubs (Store::scrub) when
// something went; appends one audit entry (action "pruned", the counts as its detail) by
// `actor` at `nowMs` when anything was removed. Throws StorageUnavailable as the store does;
// what was removed before stays removed.
Removed pruneAll(Store& store, const PruneCutoffs& cutoffs, const std::string& actor,
                 std::int64_t nowMs);

// Runs pruneAll with the policy's cutoffs at start and then every `interval`, on a thread of
// its own, as the "receiver"; a failed run is logged and tried again at the next interval.
class RetentionWorker {
public:
    using Clock = std::function<std::int64_t()>;  // Unix ms
    RetentionWorker(Store& store, RetentionPolicy policy, Clock clock,
                    std::chrono::milliseconds interval, std::ostream& log);
    ~RetentionWorker();
    RetentionWorker(const RetentionWorker&) = delete;
    RetentionWorker& operator=(const RetentionWorker&) = delete;

    struct Status {
        std::uint64_t runs = 0, failures = 0;
        std::int64_t lastRunMs = 0;      // when the last run ended (0: none yet)
        Removed last, total;             // removed by the last run, and since start
    };
    Status status() const;

private:
    void loop();

    Store& store_;
    RetentionPolicy policy_;
    Clock clock_;
    std::chrono::milliseconds interval_;
    std::ostream& log_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    Status status_;
    std::thread thread_;
};

}  // namespace gravelin::storage
