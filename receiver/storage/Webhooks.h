// Webhooks: the addresses other systems (help desks, CMDBs) register to hear of new machines
// and scans, and the outbox of deliveries to them. Events are written to the outbox in the
// transaction that stores their cause, so that none is lost or invented by a crash; a worker
// of `serve` (receiver/hooks) posts them, retrying with backoff. docs/webhooks.md describes
// what a subscriber receives.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin::storage {

// The events a hook may subscribe to.
inline constexpr std::string_view kEventNewMachine = "new-machine";
inline constexpr std::string_view kEventNewScan = "new-scan";
inline constexpr std::string_view kEventHardwareChanged = "hardware-changed";
inline constexpr std::string_view kEventConflictingScan = "conflicting-scan";
inline constexpr std::array<std::string_view, 4> kWebhookEvents{
    kEventNewMachine, kEventNewScan, kEventHardwareChanged, kEventConflictingScan};

inline constexpr std::size_t kMaxWebhookUrlBytes = 2000;
inline constexpr std::size_t kMaxWebhookSecretBytes = 512;

struct Webhook {
    std::int64_t id = 0;
    std::string url;
    std::vector<std::string> events;   // each one of kWebhookEvents, no repeats
    std::string secret;                // the HMAC key; shown once when made
    std::string createdBy;
    std::int64_t createdAtMs = 0;
    bool enabled = true;
};

enum class DeliveryState { Pending, Delivered, Failed };
// "pending", "delivered", "failed".
const char* deliveryStateName(DeliveryState state);

struct WebhookDelivery {
    std::int64_t id = 0, hookId = 0;
    std::string eventId, event, payload;   // payload: the JSON body posted
    std::int64_t createdAtMs = 0;
    std::uint32_t attempts = 0;
    std::int64_t nextAttemptAtMs = 0;
    DeliveryState state = DeliveryState::Pending;
    int lastStatus = 0;                    // the last HTTP status; 0: none (no answer)
    std::string lastError;                 // why the last attempt failed, when it did
    std::int64_t deliveredAtMs = 0;
    // Set by claimDeliveries only: where to post and with what key, and the lease taken.
    std::string url, secret;
    std::int64_t leaseUntilMs = 0;
};

// What one attempt to post a claimed delivery came to.
struct DeliveryAttempt {
    std::int64_t deliveryId = 0;
    std::int64_t leaseUntilMs = 0;         // the claim's: a lapsed lease changes nothing
    std::int64_t atMs = 0;                 // when the attempt ended
    int status = 0;                        // HTTP status; 0: no answer
    std::string error;
    bool delivered() const { return status >= 200 && status < 300; }
};

// One event to enqueue, for every enabled hook subscribed to its name.
struct WebhookEvent {
    std::string id;        // unique (a random token); the same in every hook's delivery
    std::string name;      // one of kWebhookEvents
    std::int64_t atMs = 0;
    std::string payload;   // the JSON body, built by webhookPayload
};

// The body posted for an event: {"id", "event", "at", "machine": {...}, "scan": {...}},
// times in ISO 8601 UTC; no report body.
struct EventMachine {
    std::int64_t id = 0;
    std::string maker, model, product;
};
struct EventScan {
    std::int64_t id = 0;
    std::string receipt;
    std::int64_t receivedAtMs = 0;
};
std::string webhookPayload(const std::string& eventId, std::string_view event,
                           std::int64_t atMs, const EventMachine& machine,
                           const EventScan& scan);
// A fresh event id: 32 random hex digits.
std::string newEventId();

// Retries: the first after 10 s, each next one twice as late, at most an hour apart, while
// the delivery is younger than a day (counted from when it was made, or last retried by
// hand). Returns when the next attempt is due after `attempts` failed ones ending at
// `nowMs`, or nothing: give up (the delivery becomes failed).
inline constexpr std::int64_t kFirstRetryMs = 10'000;
inline constexpr std::int64_t kLongestRetryMs = 3'600'000;
inline constexpr std::int64_t kGiveUpAfterMs = 24LL * 3'600'000;
std::optional<std::int64_t> nextAttemptAt(std::int64_t windowStartMs, std::uint32_t attempts,
                                          std::int64_t nowMs);

// Why a hook cannot be stored ("" when it can): an address that is not http(s), too long,
// holds blanks or control characters, or is http: without `allowHttp`; no events, an unknown
// or repeated one.
std::string webhookProblem(std::string_view url, const std::vector<std::string>& events,
                           bool allowHttp);
// "new-machine,new-scan" split at commas, blanks dropped.
std::vector<std::string> eventList(std::string_view text);

// Rung by a store after it committed deliveries, so that the delivery worker posts them at
// once rather than at its next poll.
class WebhookDoorbell {
public:
    void ring() {
        {
            std::lock_guard lock(mutex_);
            ++rings_;
        }
        rung_.notify_all();
    }
    // Waits until rung after `seen` (the count last returned) or `timeout` passed, or `stop`
    // is true; returns the count of rings so far.
    template <typename Duration, typename Stop>
    std::uint64_t wait(std::uint64_t seen, Duration timeout, Stop stop) {
        std::unique_lock lock(mutex_);
        rung_.wait_for(lock, timeout, [&] { return rings_ != seen || stop(); });
        return rings_;
    }
    // For a stop flag set under another lock: wakes every waiter to look at it.
    void wakeAll() {
        std::lock_guard lock(mutex_);
        rung_.notify_all();
    }
    std::uint64_t rings() const {
        std::lock_guard lock(mutex_);
        return rings_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable rung_;
    std::uint64_t rings_ = 0;
};

}  // namespace gravelin::storage
