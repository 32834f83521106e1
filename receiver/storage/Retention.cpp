#include "receiver/storage/Retention.h"

namespace gravelin::storage {

namespace {

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

std::optional<std::int64_t> before(std::optional<std::uint32_t> days, std::int64_t nowMs) {
    if (!days) return std::nullopt;
    return nowMs - static_cast<std::int64_t>(*days) * kDayMs;
}

}  // namespace

PruneCutoffs cutoffsAt(const RetentionPolicy& policy, std::int64_t nowMs) {
    return {before(policy.scanDays, nowMs), before(policy.machineDays, nowMs),
            before(policy.auditDays, nowMs)};
}

Removed pruneAll(Store& store, const PruneCutoffs& cutoffs, const std::string& actor,
                 std::int64_t nowMs) {
    Removed removed;
    // Machines first: their scans then count once, as theirs.
    if (cutoffs.machinesBeforeMs) {
        for (Removed step; (step = store.pruneMachines(*cutoffs.machinesBeforeMs, kRetentionStep)).any();) {
            removed.machines += step.machines;
            removed.scans += step.scans;
        }
    }
    if (cutoffs.scansBeforeMs) {
        for (std::uint64_t n; (n = store.pruneScans(*cutoffs.scansBeforeMs, kRetentionStep)) > 0;)
            removed.scans += n;
    }
    if (cutoffs.auditBeforeMs) {
        for (std::uint64_t n; (n = store.pruneAudit(*cutoffs.auditBeforeMs, kRetentionStep)) > 0;)
            removed.auditEntries += n;
    }
    if (removed.machines + removed.scans > 0) store.scrub();
    if (removed.any()) {
        AuditEntry entry;
        entry.atMs = nowMs;
        entry.actor = actor;
        entry.action = std::string(audit::kPruned);
        entry.detail = detailOf(removed);
        store.appendAudit(entry);
    }
    return removed;
}

RetentionWorker::RetentionWorker(Store& store, RetentionPolicy policy, Clock clock,
                                 std::chrono::milliseconds interval, std::ostream& log)
    : store_(store), policy_(policy), clock_(std::move(clock)), interval_(interval), log_(log) {
    thread_ = std::thread([this] { loop(); });
}

RetentionWorker::~RetentionWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

RetentionWorker::Status RetentionWorker::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void RetentionWorker::loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const std::int64_t now = clock_();
        Removed removed;
        bool failed = false;
        try {
            removed = pruneAll(store_, cutoffsAt(policy_, now), std::string(audit::kReceiver), now);
        } catch (const std::exception& e) {
            failed = true;
            log_ << "gravelin-receiver: retention: " << e.what() << std::endl;
        }
        lock.lock();
        ++status_.runs;
        status_.failures += failed;
        status_.lastRunMs = clock_();
        status_.last = removed;
        status_.total.machines += removed.machines;
        status_.total.scans += removed.scans;
        status_.total.auditEntries += removed.auditEntries;
        wake_.notify_all();
        wake_.wait_for(lock, interval_, [this] { return stopping_; });
    }
}

}  // namespace gravelin::storage
