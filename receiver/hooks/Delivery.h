// The webhook delivery worker of `serve`: takes due deliveries from the store's outbox
// (Store::claimDeliveries, a lease per delivery), posts each with libcurl, signed with the
// hook's secret, and records the outcome (Store::finishDelivery: delivered, retried later
// or failed). It wakes when a commit enqueued something (the store's doorbell) and polls
// besides, for what other receivers on the same database enqueued.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "receiver/storage/Store.h"

namespace gravelin::hooks {

// "sha256=" and the lower-case hex HMAC-SHA256 of `timestamp` "." `body` under `secret`: the
// X-Gravelin-Signature header.
std::string signature(const std::string& secret, const std::string& timestamp,
                      const std::string& body);

// A fresh hook secret: 32 random bytes as 64 hex digits.
std::string newSecret();

struct PostOptions {
    bool allowHttp = false;           // http: addresses too (tests, closed networks)
    std::string caFile;               // PEM certificates trusted instead of the system's
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds timeout{10000};   // the whole request
};

struct PostOutcome {
    int status = 0;                   // HTTP status; 0: no answer
    std::string error;                // why it is not delivered ("" for a 2xx)
};

// Posts one delivery's payload to its hook's address with the X-Gravelin-* headers; a
// redirect is not followed (it is an answer other than 2xx); the answer's body is read up
// to 64 KiB and dropped. `stop`, when it turns true, aborts the request.
PostOutcome post(const storage::WebhookDelivery& delivery, const PostOptions& options,
                 std::int64_t nowMs, const std::atomic<bool>* stop = nullptr);

class DeliveryWorker {
public:
    using Clock = std::function<std::int64_t()>;  // Unix ms
    struct Settings {
        PostOptions post;
        std::chrono::milliseconds poll{5000};      // looks for due deliveries at least this often
        std::chrono::milliseconds lease{60000};    // longer than a request can take
        std::uint32_t batch = 10;                  // deliveries claimed at once
    };
    DeliveryWorker(storage::Store& store, std::shared_ptr<storage::WebhookDoorbell> doorbell,
                   Settings settings, Clock clock, std::ostream& log);
    ~DeliveryWorker();
    DeliveryWorker(const DeliveryWorker&) = delete;
    DeliveryWorker& operator=(const DeliveryWorker&) = delete;

    struct Status {
        std::uint64_t delivered = 0, failedAttempts = 0, storeFailures = 0;
    };
    Status status() const;

private:
    void loop();
    // Claims and posts one batch; the number claimed.
    std::size_t round();

    storage::Store& store_;
    std::shared_ptr<storage::WebhookDoorbell> doorbell_;
    Settings settings_;
    Clock clock_;
    std::ostream& log_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    Status status_;
    std::thread thread_;
};

}  // namespace gravelin::hooks
