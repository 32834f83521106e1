// The public site: the waiting image and the form post that delivers a sealed report, and
// the pipeline behind the post (checks, identity, summary, store) that imports share.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "reading/Identity.h"
#include "reading/Intake.h"
#include "reading/Summary.h"
#include "receiver/http/Http.h"
#include "receiver/storage/Store.h"
#include "shared/Vocabulary.h"

namespace gravelin::server {

inline constexpr std::string_view kImagePath = vocabulary::kWaitingImagePath;
inline constexpr std::string_view kPostPath = vocabulary::kResultPath;

// Why posts were answered as they were, by name ("stored", "duplicate", "not_hex",
// "wrong_content_type", "storage_unavailable", ...), and where the time went. Thread-safe.
class IntakeCounters {
public:
    void count(const std::string& name);
    [[nodiscard]] std::map<std::string, std::uint64_t> snapshot() const;

    // Microseconds summed per stage, for the load benchmark's account.
    std::atomic<std::uint64_t> checkMicros{0};    // hex, unsealing, decoding, bounded parse
    std::atomic<std::uint64_t> analyseMicros{0};  // identity, summary, columns, summary JSON
    std::atomic<std::uint64_t> storeMicros{0};    // addScan until durably committed

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t> counts_;
};

// What happened to one sealed text.
struct Outcome {
    int status = 200;        // 200 stored (or stored before), 4xx refused, 503 not stored
    std::string reason;      // one line, for the client, when status != 200
    std::string counter;     // the counter it was counted under
    std::string receipt;     // when status == 200
    bool duplicate = false;
    std::string maker, model;
};

// A sealed text after the checks: refused, or a scan ready for the store.
struct Checked {
    std::optional<Outcome> refused;
    storage::NewScan scan;  // its identity is given in store(), with the admins' placeholders
    identity::IdentityValues identityValues;
    std::string maker, model;
};

class Intake {
public:
    Intake(storage::Store& store, report::IntakeLimits limits, IntakeCounters& counters)
        : store_(store), limits_(limits), counters_(counters) {}

    // Checks, identifies, summarises and stores; 200 only once the store has committed.
    Outcome submit(std::string_view sealedHex, const std::string& remoteAddress) const;
    // The two halves of submit: check never touches the store (a refusal is answered without
    // waiting for it); store commits what check let through.
    Checked check(std::string_view sealedHex, const std::string& remoteAddress) const;
    Outcome store(Checked checked) const;
    // Counts a refusal that happened before the sealed text was reached (the form).
    Outcome refuse(int status, std::string counter, std::string reason) const;

    [[nodiscard]] const report::IntakeLimits& limits() const { return limits_; }

    // The placeholders admins added are read from the store at most this often: a change
    // made on any receiver sharing the database applies to scans stored this long after it.
    static constexpr std::chrono::seconds kPlaceholderRefresh{5};
    // The list as this intake applies it now (read again when older than the refresh time;
    // the last list read when the store cannot answer).
    std::shared_ptr<const report::AddedPlaceholders> placeholders() const;

private:
    storage::Store& store_;
    report::IntakeLimits limits_;
    IntakeCounters& counters_;
    mutable std::mutex placeholdersMutex_;
    mutable std::shared_ptr<const report::AddedPlaceholders> placeholders_;
    mutable std::chrono::steady_clock::time_point placeholdersRead_{};
};

// SHA-256 by OpenSSL (the processor's SHA instructions where it has them): the digest of the
// sealed texts the site and imports take.
std::array<unsigned char, 32> sha256(std::string_view bytes);

// The receipt quoted to support: taken from the sealed text's digest, so a resubmitted
// report gets the receipt it got the first time. "XXXX-XXXX-XXXX" (upper-case hex).
std::string receiptFor(std::string_view sealedDigest);

// The searchable columns of a scan from its summary.
storage::ScanColumns columnsOf(const report::Summary& summary);

// The value of the one form field (the result field) of an application/x-www-form-urlencoded
// body; empty with `error` set when the body holds anything else.
std::string scanResultField(std::string_view body, std::string& error);

struct SiteOptions {
    // Behind a reverse proxy: requests from this address take the client address from the
    // last X-Forwarded-For entry.
    std::string trustedProxy;
};

// The public listener's router: the two addresses, nothing else. Everything but storing a
// report that passed its checks is answered at once (on the network thread).
Router makeSite(const Intake& intake, SiteOptions options = {});

// The waiting image (a JPEG built into the program).
std::string_view loadingImage();

}  // namespace gravelin::server
