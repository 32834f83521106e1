// A token bucket per key, kept in memory.
#include "receiver/console/RateLimit.h"

#include <algorithm>
#include <cmath>

namespace gravelin::console {

double RateLimit::level(const Bucket& bucket, std::int64_t nowMs) const {
    // A clock that went back earns nothing; it never takes requests away either.
    const auto elapsed = static_cast<double>(std::max<std::int64_t>(0, nowMs - bucket.atMs));
    return std::min<double>(burst_, bucket.requests + elapsed * perMinute_ / 60000.0);
}

std::int64_t RateLimit::take(const std::string& key, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        // Full buckets are the same as none: drop them before the map grows past its bound.
        if (buckets_.size() >= maxKeys_) {
            std::erase_if(buckets_,
                          [&](const auto& entry) { return level(entry.second, nowMs) >= burst_; });
            if (buckets_.size() >= maxKeys_) buckets_.clear();
        }
        it = buckets_.emplace(key, Bucket{static_cast<double>(burst_), nowMs}).first;
    }
    Bucket& bucket = it->second;
    bucket.requests = level(bucket, nowMs);
    bucket.atMs = std::max(bucket.atMs, nowMs);
    if (bucket.requests >= 1.0) {
        bucket.requests -= 1.0;
        return 0;
    }
    const double missing = 1.0 - bucket.requests;
    return std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::ceil(missing * 60000.0 / perMinute_)));
}

}  // namespace gravelin::console
