// Where scans, machines and console accounts live. Used from many threads at once:
// implementations serialise what they must. One interface, two engines: SQLite (the
// embedded default, one file in a data directory) and PostgreSQL (several receivers sharing
// one server). One contract test suite runs against both.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "reading/SurveyFacets.h"
#include "receiver/storage/Audit.h"
#include "receiver/storage/Webhooks.h"
#include "receiver/storage/HardwareChanges.h"

namespace gravelin::storage {

// What went wrong when the database could not answer, for the log and the counts at /status.
enum class FailureKind {
    Unreachable,   // PostgreSQL down, refusing connections, or the connection broke
    Timeout,       // no answer within the storage deadline (a stalled server, a held lock)
    DiskFull,      // no space left for the database
    Damaged,       // a damaged file, table or index
    Descriptors,   // the process is out of file descriptors (or the system is)
    Busy,          // SQLite: another process held the lock for the whole busy timeout
    Other,
};
// "unreachable", "timeout", "disk_full", "damaged", "out_of_descriptors", "busy", "other".
const char* failureKindName(FailureKind kind);

// The database cannot be reached or refused the write: the report is not acknowledged (503).
class StorageUnavailable : public std::runtime_error {
public:
    explicit StorageUnavailable(const std::string& message, FailureKind kind = FailureKind::Other)
        : std::runtime_error(message), kind_(kind) {}
    FailureKind kind() const { return kind_; }

private:
    FailureKind kind_;
};
// The database cannot be opened or migrated at all (bad path, bad URI, newer schema).
class StorageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The searchable columns of one scan, taken from the report's summary.
struct ScanColumns {
    std::string maker, model;
    std::string product;                // the product version where it names the product
                                        // ("ThinkPad T430" of model "2347A49"), else empty
    std::string processor;              // processor models, "; "-joined
    std::uint32_t cores = 0, threads = 0;
    std::uint64_t memoryBytes = 0;
    std::uint32_t memoryModules = 0;
    std::string disks;                  // "model (size)", "; "-joined
    std::uint64_t diskBytes = 0;
    std::string os;
    std::string serialNumbers;          // every serial in the report, " "-joined, for search
    std::string uuid;
};

// One field of ScanColumns: its column in both engines, its key in JSON and where it lives.
// Binding, reading rows back, cleaning, the search text and the JSON of the commands all walk
// this table, so a new column is one row here (and a migration).
struct ScanColumnField {
    std::string_view column;
    std::string_view json;
    std::variant<std::string ScanColumns::*, std::uint32_t ScanColumns::*,
                 std::uint64_t ScanColumns::*>
        member;
};
inline constexpr std::array<ScanColumnField, 13> kScanColumnFields{{
    {"maker", "maker", &ScanColumns::maker},
    {"model", "model", &ScanColumns::model},
    {"product", "product", &ScanColumns::product},
    {"processor", "processor", &ScanColumns::processor},
    {"cores", "cores", &ScanColumns::cores},
    {"threads", "threads", &ScanColumns::threads},
    {"memory_bytes", "memoryBytes", &ScanColumns::memoryBytes},
    {"memory_modules", "memoryModules", &ScanColumns::memoryModules},
    {"disks", "disks", &ScanColumns::disks},
    {"disk_bytes", "diskBytes", &ScanColumns::diskBytes},
    {"os", "os", &ScanColumns::os},
    {"serial_numbers", "serialNumbers", &ScanColumns::serialNumbers},
    {"uuid", "uuid", &ScanColumns::uuid},
}};

// A receipt as scans keep it ("1B3F-ADE0-098A": twelve upper-case hex digits in groups of
// four), from what someone typed or quoted: either case, with or without the dashes, blanks
// around. Nothing when the text is not receipt-shaped.
std::optional<std::string> receiptOf(std::string_view text);

struct NewScan {
    std::int64_t receivedAtMs = 0;      // Unix time, milliseconds
    std::string remoteAddress;
    std::string sealedDigest;           // unique: the same sealed text is stored once
    std::string receipt;                // derived from the digest, quoted to support
    std::string reportBytes;            // as the machine sent them; the store compresses
    std::string encoding;               // "utf-8" or "windows-1252"
    std::string osDescription, programName, programVersion, errors;
    std::string identityKey;            // empty: a machine of its own
    std::string identityRule;
    ScanColumns columns;
    std::string summaryJson;            // the whole summary, for the console
    // The survey's values of that summary (report::survey::facetsOf), when the caller has the
    // summary itself (intake does): the survey's counts then need not read the JSON back.
    std::optional<report::survey::Facets> surveyFacets;
    // The hardware fingerprint (reading/Fingerprint.h, stored form); empty: unknown. A scan
    // whose hardware mostly differs from its machine's latest scan is stored as conflicting.
    std::string fingerprint;
};

struct AddResult {
    std::int64_t scanId = 0;
    std::int64_t machineId = 0;
    std::string receipt;
    bool duplicate = false;             // the digest was already stored: nothing new written
    bool conflicting = false;           // stored, but its hardware is not the machine's
};

// A scan whose hardware mostly differs from its machine's latest scan claims an identity it
// may not have (identity is a claim, not a proof): it is kept in the machine's history but
// takes nothing of the machine (latest columns, last seen) until someone accepts it.
enum class ScanConflict { None = 0, Conflicting = 1, Accepted = 2 };

struct ScanRow {
    std::int64_t id = 0, machineId = 0, receivedAtMs = 0;
    std::string remoteAddress, receipt, encoding, identityKey, identityRule;
    std::string osDescription, programName, programVersion, errors;
    ScanColumns columns;
    std::uint64_t storedBytes = 0;      // compressed report size
    ScanConflict conflict = ScanConflict::None;
};

enum class Acceptance {
    NoSuchScan,
    NothingToAccept,   // the scan is not conflicting (never was, or accepted already)
    Accepted,          // no longer conflicting; an older scan than the machine's latest
    AcceptedAsLatest,  // no longer conflicting, and now the machine's latest scan
};

enum class MergeResult { Merged, NoSuchMachine, SameMachine };
struct Merge {
    MergeResult result = MergeResult::NoSuchMachine;
    std::uint64_t scansMoved = 0;
};

enum class SplitResult {
    Split,
    NoSuchScan,
    AloneAlready,  // the scan is its machine's only one: nothing to take it out of
};
struct Split {
    SplitResult result = SplitResult::NoSuchScan;
    std::int64_t machineId = 0;  // the new machine
};

struct Move {
    bool found = false;          // false: no such scan
    bool moved = false;
    std::int64_t fromMachine = 0, toMachine = 0;
};

// A conflicting scan and what it was compared with: the fingerprints (reading/Fingerprint.h,
// stored form) of the scan and of its machine's latest scan.
struct ConflictingScan {
    ScanRow row;
    std::string fingerprint, machineFingerprint;
};

inline constexpr std::size_t kMaxPlaceholders = 500;
inline constexpr std::size_t kMaxPlaceholderBytes = 100;
struct PlaceholderValue {
    std::string value;
    std::string addedBy;
    std::int64_t addedAtMs = 0;
};
enum class PlaceholderChange { Added, AlreadyThere, Full };

inline constexpr std::size_t kMaxNoteBytes = 4000;
inline constexpr std::size_t kMaxNoteLinkBytes = 500;
struct MachineNote {
    std::int64_t id = 0, machineId = 0, atMs = 0;
    std::string author, text;
    std::string link;  // an https: address, or empty
};
// Why a note cannot be stored ("" when it can): empty or too long text, a link that is not
// an https: address or is too long.
std::string noteProblem(std::string_view text, std::string_view link);

struct ScanRecord {
    ScanRow row;
    std::string reportBytes;            // decompressed, as the machine sent them
    std::string summaryJson;
};

struct MachineRow {
    std::int64_t id = 0;
    std::string identityKey, identityRule;
    std::int64_t firstSeenMs = 0, lastSeenMs = 0;
    std::int64_t latestScanId = 0;
    std::uint64_t scanCount = 0;
    ScanColumns latest;                 // columns of the latest scan
};

enum class MachineSort { LastSeen, Maker, Model, Processor, Cores, Memory, Disks, Os, Scans };

// What a machine is ordered by in the list: a number, or a text compared byte by byte
// (both engines compare the list's texts so). Ties are broken by the machine's id.
using MachineSortValue = std::variant<std::int64_t, std::string>;
MachineSortValue sortValueOf(const MachineRow& machine, MachineSort sort);
// Whether the sort orders by a text (else by a number).
bool sortsByText(MachineSort sort);

// A place in the list: the sort value and id of one row. A row's place stays the same
// whatever is added or deleted around it, so pages read from a place neither repeat nor
// skip a row when machines come and go between them.
struct MachineKey {
    MachineSortValue value = std::int64_t{0};
    std::int64_t id = 0;
};
MachineKey keyOf(const MachineRow& machine, MachineSort sort);

// Where a page of the list starts: at the list's start (after `offset` rows), right after
// a key, right before a key (the `limit` rows that precede it), or at the end (the last
// `limit` rows). Reading from a key costs the same wherever the key is.
enum class PageFrom { Start, After, Before, End };

struct MachineQuery {
    std::string search;                 // matched in every column, serials and UUID included
    MachineSort sort = MachineSort::LastSeen;
    bool descending = true;
    std::uint32_t limit = 50;
    std::uint64_t offset = 0;           // with PageFrom::Start only
    PageFrom from = PageFrom::Start;
    MachineKey key = {};                // with PageFrom::After and PageFrom::Before
    // Only machines last seen before this time (Unix ms): those not seen since; 0: every one.
    std::int64_t lastSeenBeforeMs = 0;
    // Only machines whose current survey values (those of their latest counted scan, see
    // surveyCounts) are these, ASCII letters in any case: every pair must hold.
    std::vector<std::pair<report::survey::Dimension, std::string>> facets{};
};

// A machine search as people type it: "dimension:value" words filter by survey value
// (memory_type:DDR5, maker:"Dell Inc." with a value in double quotes when it holds blanks,
// a backslash before a quote or a backslash inside them);
// the other words are the text search. `problem` says what is wrong with a filter (an
// unknown dimension, a value missing or a quote left open), empty when nothing is.
struct MachineSearch {
    std::string text;
    std::vector<std::pair<report::survey::Dimension, std::string>> facets;
    std::string problem;
};
MachineSearch parseMachineSearch(std::string_view search);

struct MachinePage {
    std::vector<MachineRow> machines;   // always in the list's order, whichever way read
    std::uint64_t total = 0;            // machines matching the search
    // Whether rows come before the page's first and after its last (as far as a page read
    // from a place can tell: a page read after a key has rows before it).
    bool moreBefore = false, moreAfter = false;
};

// What a deletion or a retention run removed (or, in a dry run, would remove). The scans
// include those of the machines removed.
struct Removed {
    std::uint64_t machines = 0, scans = 0, auditEntries = 0;
    bool any() const { return machines + scans + auditEntries > 0; }
};
// "machines=1 scans=3": the detail of a deletion's audit entry; counts only, never the data.
std::string detailOf(const Removed& removed);

// What retention keeps, as cutoffs in Unix ms (nothing: that kind is kept whatever its age).
struct PruneCutoffs {
    std::optional<std::int64_t> scansBeforeMs;     // older scans go, but never a machine's latest
    std::optional<std::int64_t> machinesBeforeMs;  // machines last seen before, with their scans
    std::optional<std::int64_t> auditBeforeMs;     // audit entries
};

// The survey's counts of one calendar month (UTC): how many machines have each value of each
// dimension, each machine by its latest scan of the month that is not conflicting. The
// machines of every dimension add up to the month's machines.
struct SurveyCount {
    report::survey::Dimension dimension{};
    std::string value;
    std::uint64_t machines = 0;
};
// What a recount found: the rows of the kept counts that differed from the stored scans (and
// were put right).
struct SurveyRecount {
    std::uint64_t membersDiffering = 0;  // machines' months with another scan or other values
    std::uint64_t countsDiffering = 0;   // (month, dimension, value) counts
    bool agreed() const { return membersDiffering + countsDiffering == 0; }
};

// What a console account may do. A viewer reads machines, scans, exports and the survey; an
// admin also changes and deletes data, manages what identifies a machine and reads the audit
// log. Accounts made before roles existed are admins (they could do everything).
enum class Role { Viewer, Admin };
// "viewer", "admin".
const char* roleName(Role role);
std::optional<Role> roleNamed(std::string_view name);

struct Account {
    std::int64_t id = 0;
    std::string name;
    std::string passwordHash;           // an encoded Argon2id hash, never the password
    Role role = Role::Viewer;
    bool disabled = false;              // may not sign in; has no sessions
    std::int64_t lastSignInMs = 0;      // 0: never signed in
};

struct Session {
    std::string tokenHash;              // hash of the cookie value; the value is never stored
    std::int64_t accountId = 0;
    std::int64_t expiresAtMs = 0;
    std::string formToken;              // the session's anti-forgery token
    std::string accountName;            // read back with the session; not written
    Role role = Role::Viewer;           // read back with the session; not written
};

// A token a program presents to the console's API (Authorization: Bearer). Only the
// token's SHA-256 is stored: tokens are 32 random bytes, so a fast hash loses nothing to
// guessing, and a slow password hash would cost every API request a fraction of a second.
inline constexpr std::size_t kMaxTokenNameBytes = 100;
struct ApiToken {
    std::int64_t id = 0;
    std::string name;                   // unique, kept after revocation
    std::string tokenHash;              // SHA-256 of the token, lower-case hex
    Role role = Role::Viewer;
    std::string createdBy;              // an account name or "cli:<user>"
    std::int64_t createdAtMs = 0;
    std::int64_t expiresAtMs = 0;       // 0: never expires
    std::int64_t lastUsedMs = 0;        // 0: never used (written at most once a minute)
    std::int64_t revokedAtMs = 0;       // 0: in force
};
enum class TokenRevocation { Revoked, AlreadyRevoked, NoSuchToken };

class Store {
public:
    virtual ~Store() = default;

    // Stores a scan and its machine in one transaction, durably committed on return.
    // Throws StorageUnavailable when it cannot.
    virtual AddResult addScan(const NewScan& scan) = 0;
    // Many scans at once (an import of a backlog): the same as addScan for each, committed
    // in as few transactions as the engine can. Every result returned is committed; when it
    // throws, some of the scans may be stored already (adding them again is harmless: the
    // digest recognises them).
    virtual std::vector<AddResult> addScans(const std::vector<NewScan>& scans) {
        std::vector<AddResult> results;
        for (const NewScan& scan : scans) results.push_back(addScan(scan));
        return results;
    }

    virtual std::vector<ScanRow> scans(std::optional<std::int64_t> machineId,
                                       std::uint32_t limit = 1000, std::uint64_t offset = 0) = 0;
    virtual std::optional<ScanRecord> scan(std::int64_t scanId) = 0;
    // The scans given this receipt (as receiptOf writes it), newest first. Receipts come
    // from a digest's first digits: two scans may share one, however unlikely.
    virtual std::vector<ScanRow> scansWithReceipt(const std::string& receipt) = 0;
    virtual std::optional<MachineRow> machine(std::int64_t machineId) = 0;
    virtual MachinePage machines(const MachineQuery& query) = 0;

    // Replaces the stored summary of a scan (the summary JSON the console reads), when its
    // report is summarised again; false when there is no such scan.
    virtual bool putSummary(std::int64_t scanId, const std::string& summaryJson) = 0;
    // Replaces the stored columns of a scan, taken again from its summary (a column added
    // after the scan was stored); when the scan is its machine's latest, the machine's
    // columns and search text too. False when there is no such scan.
    virtual bool refreshColumns(std::int64_t scanId, const ScanColumns& columns) = 0;

    // Takes a conflicting scan as its machine's: the mark becomes Accepted, and when no
    // scan of the machine is newer, its columns become the machine's latest.
    virtual Acceptance acceptScan(std::int64_t scanId) = 0;

    // Deletes the machine with every scan of it, and appends `audit` in the same transaction
    // with its detail set to the counts ("scans=N"); nothing when there is no such machine.
    // Then scrub() runs: the deleted bytes are not left in the database's files where the
    // engine can see to it (docs/data-protection.md says how far that goes).
    virtual std::optional<Removed> deleteMachine(std::int64_t machineId,
                                                 const AuditEntry& audit) = 0;
    // Retention, a bounded step at a time: each call is one short transaction of at most
    // `limit` rows, so that it never holds up intake for long; call again until it removes
    // nothing. pruneMachines removes the scans of machines last seen before the cutoff, then
    // those machines once they have none; pruneScans removes scans received before the
    // cutoff that are not their machine's latest. Machines keep a right scan count. Several
    // receivers may prune one database at once: each row is removed and counted once.
    virtual Removed pruneMachines(std::int64_t lastSeenBeforeMs, std::uint32_t limit) = 0;
    virtual std::uint64_t pruneScans(std::int64_t receivedBeforeMs, std::uint32_t limit) = 0;
    // What a retention run with these cutoffs would remove now (a dry run: nothing changes).
    virtual Removed prunable(const PruneCutoffs& cutoffs) = 0;
    // After deleting: SQLite merges the search index (which keeps deleted terms until its
    // segments merge) and copies the log into the database and truncates it (deleted pages
    // are overwritten with zeros as they are freed); PostgreSQL vacuums the machines and scans
    // (the index entries and dead rows go). Takes a while on a large database.
    virtual void scrub() = 0;

    // What an admin changes about which machine a scan is. Each call writes `audit` in the
    // transaction that makes the change: the log holds the entry exactly when it happened.
    //
    // mergeMachines moves every scan, note and alias of `from` into `into` and deletes
    // `from`; scans that claim `from`'s identity key are stored as `into`'s from then on (an
    // alias, read at intake in the same transaction). `into`'s latest columns, first and
    // last seen and scan count are made again from its scans.
    virtual Merge mergeMachines(std::int64_t into, std::int64_t from, const AuditEntry& audit) = 0;
    // splitScan takes a scan out of its machine into a new machine of its own that has no
    // identity key (the key stays with the machine that keeps the rest of the history; a
    // later scan claiming it goes there, and is shown as conflicting when its hardware is
    // not that machine's). The scan is no longer conflicting; its former machine's latest
    // is made again.
    virtual Split splitScan(std::int64_t scanId, const AuditEntry& audit) = 0;
    // The conflicting scans of every machine, newest first, with the fingerprints compared.
    virtual std::vector<ConflictingScan> conflictingScans(std::uint32_t limit,
                                                          std::uint64_t offset = 0) = 0;
    // Where a scan claiming `key` is stored today: the machine with that key or the one it
    // was merged into; nothing when no machine has it (a new machine would be made).
    virtual std::optional<std::int64_t> machineForKey(const std::string& key) = 0;
    // Scan ids above `afterId`, ascending: a walk over every scan that new scans do not upset.
    virtual std::vector<std::int64_t> scanIds(std::int64_t afterId, std::uint32_t limit) = 0;
    // Stores the scan under a new identity key (today's rules gave it another): it moves to
    // the machine that key leads to, a new machine when none has it or when the key is empty.
    // Both machines are made again from their scans; one left without scans is deleted (its
    // notes go with the scan). `audit` is written only when the scan moved.
    virtual Move moveScan(std::int64_t scanId, const std::string& identityKey,
                          const std::string& identityRule, const AuditEntry& audit) = 0;

    // What changed in machines' hardware, recorded as each scan became its machine's latest
    // (HardwareChanges.h): a page of the feed, newest first; the records of one scan; and
    // the records made again from the stored history for up to `machines` machines with ids
    // above `afterMachineId`, in one transaction (a scan stored meanwhile is recorded once).
    // Records go with their machine and with the scan they were seen at; merging, splitting
    // and moving scans make the records of the machines involved again.
    virtual std::vector<HardwareChange> changes(const ChangeQuery& query) = 0;
    virtual std::vector<HardwareChange> scanChanges(std::int64_t scanId) = 0;
    virtual ChangeRebuild rebuildChanges(std::int64_t afterMachineId, std::uint32_t machines) = 0;

    // Values an admin declared as identifying nothing, beyond the built-in ones (at most
    // kMaxPlaceholders, each at most kMaxPlaceholderBytes: the caller checks the value).
    virtual PlaceholderChange addPlaceholder(const PlaceholderValue& value,
                                             const AuditEntry& audit) = 0;
    virtual bool deletePlaceholder(const std::string& value, const AuditEntry& audit) = 0;
    // Oldest first.
    virtual std::vector<PlaceholderValue> placeholders() = 0;

    // Notes on a machine, oldest first; they go with the machine when it is merged or deleted.
    // addNote is false when there is no such machine (noteProblem checks the text first).
    virtual bool addNote(const MachineNote& note, const AuditEntry& audit) = 0;
    virtual std::vector<MachineNote> notes(std::int64_t machineId) = 0;

    // Console accounts and sessions. putAccount creates the account with `role`, or replaces
    // an existing account's hash (its role and state stay); a new hash ends every session of
    // the account.
    virtual void putAccount(const std::string& name, const std::string& passwordHash,
                            Role role) = 0;
    virtual std::optional<Account> account(const std::string& name) = 0;
    // Every account, by name.
    virtual std::vector<Account> accounts() = 0;
    // Each returns false when there is no such account. Disabling an account and deleting it
    // end its sessions at once, on every receiver sharing the database.
    virtual bool setAccountRole(const std::string& name, Role role) = 0;
    virtual bool setAccountDisabled(const std::string& name, bool disabled) = 0;
    virtual bool deleteAccount(const std::string& name) = 0;
    virtual void noteSignIn(std::int64_t accountId, std::int64_t atMs) = 0;
    virtual void putSession(const Session& session) = 0;
    // Expired sessions, and sessions of a disabled account, are not returned.
    virtual std::optional<Session> session(const std::string& tokenHash) = 0;
    virtual void dropSession(const std::string& tokenHash) = 0;
    // The key of the console's session cookies, kept in the database so that every receiver
    // on it accepts the same sessions, across restarts: `candidate` becomes the key when none
    // is stored yet; the stored key is returned. (PostgreSQL: only the receiver's role can
    // read it.) Every store must answer it (a wrapper forwards it): a default that handed the
    // candidate back would sign everyone out at each restart without a word.
    virtual std::string consoleKey(const std::string& candidate) = 0;

    // API tokens. addApiToken stores a new token with `audit` in one transaction; false
    // when the name is taken (a revoked token keeps its name). apiTokens answers by name;
    // apiTokenWithHash finds a token whatever its state (the caller checks expiry and
    // revocation, so that it can say which). noteApiTokenUse sets the last use and appends
    // `audit` in one transaction.
    virtual bool addApiToken(const ApiToken& token, const AuditEntry& audit) = 0;
    virtual std::vector<ApiToken> apiTokens() = 0;
    virtual std::optional<ApiToken> apiTokenWithHash(const std::string& tokenHash) = 0;
    virtual TokenRevocation revokeApiToken(const std::string& name, std::int64_t atMs,
                                           const AuditEntry& audit) = 0;
    virtual void noteApiTokenUse(std::int64_t tokenId, std::int64_t atMs,
                                 const AuditEntry& audit) = 0;

    // The audit log. appendAudit stores the entry with a new id (the entry's id is ignored;
    // its texts are cut to audit::kMax*). auditEntries answers newest first; pruneAudit
    // deletes the entries older than `beforeMs` and says how many.
    virtual void appendAudit(const AuditEntry& entry) = 0;
    virtual std::vector<AuditEntry> auditEntries(const AuditQuery& query) = 0;
    // At most `limit` entries at once (retention calls it again until none is left).
    virtual std::uint64_t pruneAudit(
        std::int64_t beforeMs,
        std::uint32_t limit = std::numeric_limits<std::uint32_t>::max()) = 0;

    // Webhooks (Webhooks.h). addWebhook stores a hook (the caller checks it with
    // webhookProblem) and `audit` with the hook's id as its target, and returns the id;
    // deleteWebhook removes it with its deliveries (false: no such hook). Deliveries newest
    // first, of one hook or all. retryDelivery puts a failed delivery back to pending, due
    // at `nowMs`, with a day of retries again (false: no such failed delivery).
    virtual std::int64_t addWebhook(const Webhook& hook, const AuditEntry& audit) = 0;
    virtual std::vector<Webhook> webhooks() = 0;
    virtual bool deleteWebhook(std::int64_t id, const AuditEntry& audit) = 0;
    virtual std::vector<WebhookDelivery> webhookDeliveries(std::optional<std::int64_t> hookId,
                                                           std::uint32_t limit = 100) = 0;
    virtual bool retryDelivery(std::int64_t id, std::int64_t nowMs, const AuditEntry& audit) = 0;
    // The delivery worker's side: claimDeliveries takes at most `limit` pending deliveries
    // due at `nowMs` that no one holds, leasing each until nowMs + leaseMs and counting the
    // attempt, in a short transaction of its own; with several receivers on one database each
    // is claimed by one. finishDelivery records the attempt's outcome (delivered, or the next
    // attempt by the backoff, or failed past a day) when the lease is still the one taken;
    // false when it is not (it lapsed and someone else claimed the delivery).
    virtual std::vector<WebhookDelivery> claimDeliveries(std::int64_t nowMs, std::int64_t leaseMs,
                                                         std::uint32_t limit) = 0;
    virtual bool finishDelivery(const DeliveryAttempt& attempt) = 0;
    // Enqueues an event for its subscribers in a transaction of its own (intake enqueues in
    // the scan's transaction instead); returns the deliveries made.
    virtual std::size_t enqueueEvent(const WebhookEvent& event) = 0;
    // The survey's counts of the month starting at `monthStartMs` (the first day's Unix ms,
    // UTC), kept in the same transaction as every change of a machine's scans; nothing when
    // the database was upgraded with scans in it and has not been counted since
    // (recountSurvey counts it).
    virtual std::optional<std::vector<SurveyCount>> surveyCounts(std::int64_t monthStartMs) = 0;
    // Counts every month again from the stored scans, in one transaction (intake waits for
    // it), and says how far the kept counts were off.
    virtual SurveyRecount recountSurvey() = 0;

    // Throws StorageUnavailable when the database cannot be reached right now (a health
    // check: a round trip to the server, or a read of the SQLite file).
    virtual void probe() {}
    // "SQLite <file>" or "PostgreSQL <database> on <host>", without credentials, for logs.
    virtual std::string describe() const { return "store"; }
};

// Where the store lives: a data directory (SQLite) or a PostgreSQL connection URI.
struct StoreLocation {
    std::string dataDirectory;  // SQLite: <dir>/receiver.sqlite3, created when missing
    std::string databaseUri;    // "postgresql://..." or "postgres://..."
    // How long one call may take before it fails with StorageUnavailable (Timeout):
    // PostgreSQL connecting and every statement (on the client, whatever the server does,
    // and as the server's statement_timeout); SQLite's busy timeout. Opening and migrating
    // are not bounded by it.
    std::chrono::milliseconds deadline{5000};
    // For reading only (the listings): an existing SQLite database is opened read-only, so
    // it may sit on a read-only mount, and is never migrated; a schema older or newer than
    // the program's is refused with a message saying so. A missing one is created as
    // without the flag. PostgreSQL opens as usual.
    bool readOnly = false;
};

// Opens the store and brings its schema to the current version (versioned migrations, the
// same for both engines). Throws StorageError when it cannot. `doorbell` is rung after each
// commit that enqueued webhook deliveries (nothing: no one listens).
std::unique_ptr<Store> openStore(const StoreLocation& location,
                                 std::shared_ptr<WebhookDoorbell> doorbell = nullptr);

}  // namespace gravelin::storage
