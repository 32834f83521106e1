#include "console/Throttle.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace gravelin::console {

namespace {
// A key whose last failure is this old starts afresh.
constexpr std::int64_t kForgetAfterMs = 24LL * 3600 * 1000;
}  // namespace

std::int64_t Throttle::lockedForMs(const std::string& key, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end()) return 0;
    return std::max<std::int64_t>(0, it->second.lockedUntilMs - nowMs);
}

void Throttle::failure(const std::string& key, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    if (entries_.size() >= maxKeys_ && !entries_.count(key)) prune(nowMs);
    Entry& entry = entries_[key];
    if (entry.failures > 0 && nowMs - entry.lastFailureMs > kForgetAfterMs) entry = Entry{};
    ++entry.failures;
    entry.lastFailureMs = nowMs;
    if (entry.failures > free_) {
        const unsigned doublings = std::min(entry.failures - free_ - 1, 30u);
        const std::int64_t lockMs = std::min<std::int64_t>(1000LL << doublings, maxLockMs_);
        entry.lockedUntilMs = nowMs + lockMs;
    }
}

void Throttle::success(const std::string& key) {
    std::lock_guard lock(mutex_);
    entries_.erase(key);
}

// Called with the map full: forgets keys that no longer matter, then, if still full, the
// half with the oldest failures (a flood of new keys cannot grow memory without bound).
void Throttle::prune(std::int64_t nowMs) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        const bool stale =
            it->second.lockedUntilMs <= nowMs &&
            (it->second.failures <= free_ || nowMs - it->second.lastFailureMs > kForgetAfterMs);
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
        it = it->second.lastFailureMs <= cut ? entries_.erase(it) : std::next(it);
    }
}

}  // namespace gravelin::console
