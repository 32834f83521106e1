// The audit log's entries: who did what to which data, when and from where. The receiver and
// the command line only ever append to it (the schema refuses updates); entries leave it only
// by its own retention.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace gravelin::storage {

// What an entry records. Stored as these names, so that the log stays readable with any tool.
namespace audit {
inline constexpr std::string_view kSignIn = "sign-in";
inline constexpr std::string_view kSignInFailed = "sign-in-failed";
inline constexpr std::string_view kSignInThrottled = "sign-in-throttled";
inline constexpr std::string_view kSignOut = "sign-out";
inline constexpr std::string_view kMachineViewed = "machine-viewed";
inline constexpr std::string_view kExport = "export";
inline constexpr std::string_view kScanAccepted = "scan-accepted";
inline constexpr std::string_view kMachineDeleted = "machine-deleted";
inline constexpr std::string_view kPruned = "pruned";
inline constexpr std::string_view kMachinesMerged = "machines-merged";
inline constexpr std::string_view kScanSplit = "scan-split";
inline constexpr std::string_view kScanMoved = "scan-moved";  // reidentified
inline constexpr std::string_view kPlaceholderAdded = "placeholder-added";
inline constexpr std::string_view kPlaceholderDeleted = "placeholder-deleted";
inline constexpr std::string_view kNoteAdded = "note-added";
inline constexpr std::string_view kUserAdded = "user-added";
inline constexpr std::string_view kUserPassword = "user-password-changed";
inline constexpr std::string_view kUserRole = "user-role-changed";
inline constexpr std::string_view kUserDisabled = "user-disabled";
inline constexpr std::string_view kUserEnabled = "user-enabled";
inline constexpr std::string_view kUserDeleted = "user-deleted";
inline constexpr std::string_view kWebhookAdded = "webhook-added";
inline constexpr std::string_view kWebhookDeleted = "webhook-deleted";
inline constexpr std::string_view kDeliveryRetried = "webhook-delivery-retried";
inline constexpr std::string_view kTokenAdded = "token-added";
inline constexpr std::string_view kTokenRevoked = "token-revoked";
// Requests made with an API token: one entry per token per minute at most.
inline constexpr std::string_view kApiUsed = "api-used";

// Every action, in the order the console's filter offers them.
inline constexpr std::array<std::string_view, 27> kActions{
    kSignIn,         kSignInFailed,     kSignInThrottled,    kSignOut,     kMachineViewed,
    kExport,         kScanAccepted,     kMachineDeleted,     kPruned,      kMachinesMerged,
    kScanSplit,      kScanMoved,        kPlaceholderAdded,   kPlaceholderDeleted,
    kNoteAdded,      kUserAdded,        kUserPassword,       kUserRole,    kUserDisabled,
    kUserEnabled,    kUserDeleted,      kTokenAdded,         kTokenRevoked,
    kApiUsed,        kWebhookAdded,     kWebhookDeleted,     kDeliveryRetried,
};

// Who acted, when it was not a signed-in person: the command line (followed by the
// operating-system user, "cli:root") and the receiver's own background work.
inline constexpr std::string_view kCommandLine = "cli";
inline constexpr std::string_view kReceiver = "receiver";

// The longest text each field keeps: anything longer is cut there, so that a hostile sign-in
// name or address cannot make the log grow without bound.
inline constexpr std::size_t kMaxActor = 200, kMaxTarget = 500, kMaxAddress = 100,
                             kMaxDetail = 2000;
}  // namespace audit

struct AuditEntry {
    std::int64_t id = 0;        // given by the store; increases with each entry
    std::int64_t atMs = 0;      // Unix time, milliseconds
    std::string actor;          // an account name, "cli:<user>", "token:<name>" or "receiver"
    std::string action;         // one of audit::kActions
    std::string target;         // what was acted on: "machine 12", "user ann", an export
    std::string address;        // the client's address, when it came over the network
    std::string detail;         // counts, a new role; never the data that was deleted
};

struct AuditQuery {
    std::int64_t sinceMs = 0;                                        // at >= since
    std::int64_t untilMs = std::numeric_limits<std::int64_t>::max(); // at < until
    std::string actor;          // empty: anyone
    std::string action;         // empty: every action
    std::int64_t beforeId = 0;  // the next page: entries older than this id; 0: the newest
    std::uint32_t limit = 100;
};

}  // namespace gravelin::storage
