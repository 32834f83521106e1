#include "receiver/hooks/Delivery.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

#include <mutex>

namespace gravelin::hooks {

namespace {

constexpr std::size_t kLargestAnswer = 64 * 1024;

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Answer {
    std::size_t bytes = 0;
};

// The answer's body is not used: counted, dropped, and cut off past kLargestAnswer.
std::size_t dropBody(char*, std::size_t size, std::size_t count, void* user) {
    auto* answer = static_cast<Answer*>(user);
    answer->bytes += size * count;
    return answer->bytes > kLargestAnswer ? 0 : size * count;
}

int checkStop(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* stop = static_cast<const std::atomic<bool>*>(user);
    return stop && stop->load() ? 1 : 0;
}

bool startsWithNoCase(const std::string& text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::string signature(const std::string& secret, const std::string& timestamp,
                      const std::string& body) {
    const std::string message = timestamp + "." + body;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "sha256=";
    for (unsigned int i = 0; i < length; ++i) {
        out += kHex[mac[i] >> 4];
        out += kHex[mac[i] & 0xF];
    }
    return out;
}

std::string newSecret() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes for a secret");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

PostOutcome post(const storage::WebhookDelivery& delivery, const PostOptions& options,
                 std::int64_t nowMs, const std::atomic<bool>* stop) {
    PostOutcome outcome;
    const bool https = startsWithNoCase(delivery.url, "https://");
    if (!https && !(options.allowHttp && startsWithNoCase(delivery.url, "http://"))) {
        outcome.error = https || startsWithNoCase(delivery.url, "http://")
                            ? "http: addresses are not posted to (serve --allow-http-webhooks)"
                            : "not an http(s) address";
        return outcome;
    }
    initialiseCurl();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        outcome.error = "cannot start a request";
        return outcome;
    }
    const std::string timestamp = std::to_string(nowMs / 1000);
    const std::string headerLines[] = {
        "Content-Type: application/json",
        "User-Agent: gravelin-receiver",
        "X-Gravelin-Event: " + delivery.event,
        "X-Gravelin-Delivery: " + std::to_string(delivery.id),
        "X-Gravelin-Timestamp: " + timestamp,
        "X-Gravelin-Signature: " + signature(delivery.secret, timestamp, delivery.payload),
        "Expect:",  // no 100-continue round trip
    };
    curl_slist* headers = nullptr;
    for (const std::string& line : headerLines) headers = curl_slist_append(headers, line.c_str());
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);

    Answer answer;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, delivery.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, options.allowHttp ? "http,https" : "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, delivery.payload.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(delivery.payload.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeout.count()));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options.caFile.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &dropBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    if (stop) {
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &checkStop);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, stop);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    }
    const CURLcode code = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    outcome.status = static_cast<int>(status);
    // An answer cut off past its limit still answered: its status stands.
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && status > 0)) {
        outcome.error = curl_easy_strerror(code);
        if (code != CURLE_WRITE_ERROR) outcome.status = 0;
    } else if (status < 200 || status >= 300) {
        outcome.error = "HTTP " + std::to_string(status);
    }
    return outcome;
}

DeliveryWorker::DeliveryWorker(storage::Store& store,
                               std::shared_ptr<storage::WebhookDoorbell> doorbell,
                               Settings settings, Clock clock, std::ostream& log)
    : store_(store), doorbell_(std::move(doorbell)), settings_(std::move(settings)),
      clock_(std::move(clock)), log_(log) {
    if (!doorbell_) doorbell_ = std::make_shared<storage::WebhookDoorbell>();
    initialiseCurl();
    thread_ = std::thread([this] { loop(); });
}

DeliveryWorker::~DeliveryWorker() {
    stopping_ = true;
    doorbell_->wakeAll();
    thread_.join();
}

DeliveryWorker::Status DeliveryWorker::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::size_t DeliveryWorker::round() {
    const auto claimed = store_.claimDeliveries(clock_(), settings_.lease.count(), settings_.batch);
    for (const storage::WebhookDelivery& d : claimed) {
        if (stopping_) break;  // the lease lapses; another round (or receiver) posts it
        const PostOutcome outcome = post(d, settings_.post, clock_(), &stopping_);
        if (stopping_ && outcome.status == 0) break;
        storage::DeliveryAttempt attempt{d.id, d.leaseUntilMs, clock_(), outcome.status, outcome.error};
        const bool recorded = store_.finishDelivery(attempt);
        std::lock_guard lock(mutex_);
        if (attempt.delivered()) {
            ++status_.delivered;
        } else {
            ++status_.failedAttempts;
            log_ << "gravelin-receiver: webhook delivery " << d.id << " (" << d.event
                 << ") to hook " << d.hookId << ": " << outcome.error << std::endl;
        }
        if (!recorded)
            log_ << "gravelin-receiver: webhook delivery " << d.id
                 << ": its lease lapsed before the outcome was recorded" << std::endl;
    }
    return claimed.size();
}

void DeliveryWorker::loop() {
    std::uint64_t seen = doorbell_->rings();
    while (!stopping_) {
        std::size_t claimed = 0;
        try {
            claimed = round();
        } catch (const std::exception& e) {
            {
                std::lock_guard lock(mutex_);
                ++status_.storeFailures;
            }
            log_ << "gravelin-receiver: webhooks: " << e.what() << std::endl;
        }
        // A full batch: more may be due at once.
        if (claimed == settings_.batch && !stopping_) continue;
        seen = doorbell_->wait(seen, settings_.poll, [this] { return stopping_.load(); });
    }
}

}  // namespace gravelin::hooks
