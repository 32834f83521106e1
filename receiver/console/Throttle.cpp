#include "receiver/console/Throttle.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace gravelin::console {

namespace {
// A key whose last failure is this old starts afresh.
constexpr std::int64_t kForgetAfterMs = 24LL * 3600 * 1000;
}  // namespace

// The lock that the failure bringing the count to `failures` sets; 0 within the free ones.
std::int64_t Throttle::lockAfter(unsigned failures) const {
    if (failures <= free_) return 0;
    const unsigned doublings = std::min(failures - free_ - 1, 30u);
    return std::min<std::int64_t>(1000LL << doublings, maxLockMs_);
}

std::int64_t Throttle::reserve(const std::string& key, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    if (entries_.size() >= maxKeys_ && !entries_.count(key)) prune(nowMs);
    Entry& entry = entries_[key];
    if (entry.failures > 0 && entry.inFlight == 0 && nowMs - entry.lastFailureMs > kForgetAfterMs)
        entry = Entry{};
    if (entry.lockedUntilMs > nowMs) return entry.lockedUntilMs - nowMs;
    // Were every attempt in flight to fail, the last of them would lock the key: this one
    // would then wait for that lock.
    if (entry.inFlight > 0) {
        const std::int64_t wouldLock = lockAfter(entry.failures + entry.inFlight);
        if (wouldLock > 0) return wouldLock;
    }
    ++entry.inFlight;
    return 0;
}

void Throttle::failure(const std::string& key, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[key];
    if (entry.inFlight > 0) --entry.inFlight;
    ++entry.failures;
    entry.lastFailureMs = nowMs;
    const std::int64_t lockMs = lockAfter(entry.failures);
    if (lockMs > 0) entry.lockedUntilMs = std::max(entry.lockedUntilMs, nowMs + lockMs);
}

void Throttle::success(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end()) return;
    it->second.failures = 0;
    it->second.lockedUntilMs = 0;
    settle(it->second);
    if (it->second.inFlight == 0) entries_.erase(it);
}

void Throttle::cancel(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end()) return;
    settle(it->second);
    if (it->second.inFlight == 0 && it->second.failures == 0) entries_.erase(it);
}

void Throttle::settle(Entry& entry) {
    if (entry.inFlight > 0) --entry.inFlight;
}

// Called with the map full: forgets keys that no longer matter, then, if still full, the
// half with the oldest failures (a flood of new keys cannot grow memory without bound).
// Keys with attempts in flight stay: their attempts are settled later.
void Throttle::prune(std::int64_t nowMs) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        const Entry& e = it->second;
        const bool stale = e.inFlight == 0 && e.lockedUntilMs <= nowMs &&
                           (e.failures <= free_ || nowMs - e.lastFailureMs > kForgetAfterMs);
        it = stale ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() < maxKeys_) return;
    std::vector<std::int64_t> times;
    times.reserve(entries_.size());
    for (const auto& [key, entry] : entries_) times.push_back(entry.lastFailureMs);
    auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
    std::nth_element(times.begin(), middle, times.end());
    const std::int64_t cut = *middle;
    for (auto it = entries_.begin(); it != entries_.end();) {
        const bool old = it->second.inFlight == 0 && it->second.lastFailureMs <= cut;
        it = old ? entries_.erase(it) : std::next(it);
    }
}

}  // namespace gravelin::console
