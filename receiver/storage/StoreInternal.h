// What the two engines share: report compression, the text they store, the search terms,
// the migration list and the mapping of result rows to the interface's structures.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "receiver/storage/Store.h"
#include "receiver/storage/Webhooks.h"

namespace gravelin::storage::detail {

// Reports are stored zlib-compressed; their decompressed size is stored next to them so that
// reading one back allocates exactly that and refuses anything else.
std::string compressReport(std::string_view bytes);
std::string decompressReport(std::string_view compressed, std::uint64_t originalSize);

// Text columns hold valid UTF-8 without NUL bytes (PostgreSQL refuses anything else, and a
// scan must never be refused for a stray byte): malformed sequences become U+FFFD and NULs
// are dropped. Valid text is returned unchanged.
std::string cleanText(std::string_view text);

// The machine's search text: every searchable column, ASCII-lower-cased, space-joined.
std::string searchText(const ScanColumns& columns);

// A search string split at white space into lower-cased terms, each matched as a substring.
std::vector<std::string> searchTerms(std::string_view search);

// The column a machine list is sorted by (same name in both schemas).
const char* sortColumn(MachineSort sort);

// How a page of the machine list is read. A page before a key or at the end is read in
// the list's reverse order (its first row is the one nearest the key, or the last row),
// `limit + 1` rows at most so that one more row tells whether more lie beyond.
struct PageReading {
    bool reverse = false;        // read in the list's reverse order
    bool keyed = false;          // only rows past `key` in the reading order
    bool sqlDescending = false;  // the direction of ORDER BY (column, id)
    const char* keyComparison = ">";  // (column, id) <op> (value, id) for keyed reads
    std::int64_t fetch = 0;      // rows to ask for: the limit and one more
};
PageReading pageReading(const MachineQuery& query, std::uint32_t limit);
// Turns the rows read (in the reading order, up to `fetch` of them) into the page: at most
// `limit`, in the list's order, with what lies before and after.
void finishPage(MachinePage& page, const MachineQuery& query, const PageReading& reading);

// One step of the schema: the same version numbers and meaning on both engines.
struct Migration {
    int version;
    const char* description;
    const char* sqlite;    // statements run in one transaction
    const char* postgres;  // statements run in one transaction
};
int currentSchemaVersion();
// The first migration above `version`, or nothing when the schema is current.
const Migration* migrationAfter(int version);
// The message for a database whose schema is newer than this program knows.
std::string newerSchemaMessage(int found);

// A result row of either engine, read by column index.
class RowReader {
public:
    virtual ~RowReader() = default;
    virtual std::string text(int column) const = 0;
    virtual std::int64_t integer(int column) const = 0;
};

// The column lists the engines select, in the order the readers below expect.
inline constexpr const char* kColumnsSql =
    "maker, model, product, processor, cores, threads, memory_bytes, memory_modules, disks, "
    "disk_bytes, os, serial_numbers, uuid";
inline constexpr int kColumnCount = 13;
consteval bool columnsSqlIsTheTable() {
    std::string_view rest = kColumnsSql;
    for (std::size_t i = 0; i < kScanColumnFields.size(); ++i) {
        if (i > 0) {
            if (!rest.starts_with(", ")) return false;
            rest.remove_prefix(2);
        }
        if (!rest.starts_with(kScanColumnFields[i].column)) return false;
        rest.remove_prefix(kScanColumnFields[i].column.size());
    }
    return rest.empty() && kColumnCount == static_cast<int>(kScanColumnFields.size());
}
static_assert(columnsSqlIsTheTable(), "kColumnsSql lists kScanColumnFields' columns in order");
inline constexpr const char* kMachineSql =
    "id, identity_key, identity_rule, first_seen, last_seen, latest_scan_id, scan_count, "
    "maker, model, product, processor, cores, threads, memory_bytes, memory_modules, disks, "
    "disk_bytes, os, serial_numbers, uuid";
inline constexpr const char* kScanRowSql =
    "id, machine_id, received_at, remote_address, receipt, encoding, identity_key, "
    "identity_rule, os_description, program_name, program_version, errors, stored_size, "
    "maker, model, product, processor, cores, threads, memory_bytes, memory_modules, disks, "
    "disk_bytes, os, serial_numbers, uuid, conflict";
// readMachine and readScanRow read the columns from these places.
inline constexpr int kMachineColumnsAt = 7;
inline constexpr int kScanRowColumnsAt = 13;
inline constexpr int kScanRowCount = kScanRowColumnsAt + kColumnCount + 1;
consteval bool holdsColumnsAt(std::string_view sql, int at, std::string_view after) {
    for (int commas = 0; commas < at; ++commas) {
        const auto comma = sql.find(", ");
        if (comma == std::string_view::npos) return false;
        sql.remove_prefix(comma + 2);
    }
    const std::string_view columns = kColumnsSql;
    return sql.starts_with(columns) && sql.substr(columns.size()) == after;
}
static_assert(holdsColumnsAt(kMachineSql, kMachineColumnsAt, ""), "kMachineSql's columns");
static_assert(holdsColumnsAt(kScanRowSql, kScanRowColumnsAt, ", conflict"),
              "kScanRowSql's columns");

ScanColumns readColumns(const RowReader& row, int first);
MachineRow readMachine(const RowReader& row);
ScanRow readScanRow(const RowReader& row);

// A scan made ready for the database outside any lock: compressed, text cleaned.
struct PreparedScan {
    NewScan scan;                // text fields cleaned; reportBytes emptied
    std::string compressed;      // the report, compressed
    std::uint64_t reportSize = 0;
    std::string searchText;
};
PreparedScan prepareScan(const NewScan& scan);
// Columns alone made ready the same way (text cleaned, sizes bounded, the search text).
PreparedScan prepareColumns(const ScanColumns& columns);

// The statements that store a scan, with numbered placeholders ("?N" for SQLite, "$N" for
// PostgreSQL). Machine upsert parameters: 1 identity key (NULL for none: never merged),
// 2 identity rule, 3 received at, the columns from 4 (kColumnCount of them), then the
// search text (kUpsertSearchParam); it returns the machine's
// id and last_seen. The scan's columns, with the latest scan's taking the machine's columns
// only when it is not older than what the machine holds (an imported backlog does not
// replace a newer scan). Scan insert parameters: 1 machine id, 2 received at, 3 remote
// address, 4 digest, 5 receipt, 6 report, 7 report size, 8 stored size, 9 encoding,
// 10 OS description, 11 program name, 12 program version, 13 errors, 14 identity key,
// 15 identity rule, the columns from 16, then summary JSON, fingerprint and conflict (the
// ScanConflict number) from kInsertSummaryParam; it returns the scan's id. Upsert parameter
// kUpsertConflictParam is 1 for a conflicting scan: the existing machine then only counts it
// (its columns, first and last seen stay).
inline constexpr int kUpsertColumnsParam = 4;
inline constexpr int kUpsertSearchParam = kUpsertColumnsParam + kColumnCount;
inline constexpr int kUpsertConflictParam = kUpsertSearchParam + 1;
inline constexpr int kInsertColumnsParam = 16;
inline constexpr int kInsertSummaryParam = kInsertColumnsParam + kColumnCount;
inline constexpr int kInsertLastParam = kInsertSummaryParam + 2;
enum class Dialect { Sqlite, Postgres };
std::string machineUpsertSql(Dialect dialect);
std::string scanInsertSql(Dialect dialect);

// The machine with identity key parameter 1 and its latest scan's fingerprint ('' when it
// has none): id, fingerprint; no row: no such machine. PostgreSQL locks the machine's row
// until the end of the transaction, so that concurrent scans of one machine are each compared
// with the latest committed one, and a merge of the machine waits for the scan (or the scan
// for the merge, and then finds no row and follows the alias).
std::string latestFingerprintSql(Dialect dialect);
// The key a machine merged into another is known by: parameter 1 the claimed key; the row
// holds the identity key of the machine it leads to (no row: no such alias).
std::string aliasSql(Dialect dialect);
// Whether a new scan of a known machine conflicts with its latest scan's fingerprint.
bool conflictsWithLatest(const std::string& latestFingerprint, const std::string& fingerprint);

// Accepting a scan: the scan's machine and received time and its conflict mark, parameter 1
// the scan id; then the mark set to Accepted; then the machine's latest set from the scan:
// the columns from 1, then (from kAcceptRuleParam) identity rule, search text, received at,
// scan id, machine id (only when the scan is not older than the machine's last_seen).
std::string acceptReadSql(Dialect dialect);
inline constexpr const char* kAcceptMarkSql = "UPDATE scans SET conflict = 2 WHERE id = ";
inline constexpr int kAcceptRuleParam = kColumnCount + 1;
std::string acceptLatestSql(Dialect dialect);

// Retention's dry run: one row of three counts (machines, scans, audit entries) for the
// cutoffs 1 machines last seen before, 2 scans received before, 3 audit entries before
// (INT64_MIN for a cutoff not given: nothing is that old).
std::string prunableSql(Dialect dialect);

// Accounts: the columns both engines select, and the row read back in that order.
inline constexpr const char* kAccountColumnsSql =
    "id, name, password_hash, role, disabled, last_sign_in";
Account readAccount(const RowReader& row);

// A statement with its parameters, for the statements whose shape depends on a query.
using SqlValue = std::variant<std::int64_t, std::string>;
struct SqlStatement {
    std::string sql;
    std::vector<SqlValue> params;
};

// The audit log. An entry with its texts cleaned and cut to audit::kMax*. The insert takes
// 1 at, 2 actor, 3 action, 4 target, 5 address, 6 detail. The query ("?N" parameters, for a
// Transaction) selects id, at, actor, action, target, address, detail, newest first;
// readAuditEntry reads such a row.
AuditEntry boundedAuditEntry(const AuditEntry& entry);
std::string auditInsertSql(Dialect dialect);
SqlStatement auditQuery(const AuditQuery& query);
AuditEntry readAuditEntry(const RowReader& row);

// A scan's columns replaced (refreshColumns): the columns from 1, then the scan id. Then
// the machine whose latest scan it is: the columns from 1, the search text, the scan id.
std::string refreshScanSql(Dialect dialect);
std::string refreshMachineSql(Dialect dialect);

// The scans with receipt parameter 1, newest first.
std::string receiptSql(Dialect dialect);

// One transaction of either engine (or one read-only connection), for the identity changes
// written once for both (MachineChanges.cpp). Statements use "?N" parameters and "?" nowhere
// else; the PostgreSQL side turns them into "$N". Text read back from NULL is empty.
class Transaction {
public:
    virtual ~Transaction() = default;
    virtual Dialect dialect() const = 0;
    // Runs the statement, calling `row` for each result row; returns the number of rows.
    virtual std::size_t run(const std::string& sql, const std::vector<SqlValue>& params,
                            const std::function<void(const RowReader&)>& row = nullptr) = 0;
};

// The Store calls of the same names, inside the engine's transaction (the read-only ones on
// a connection of its own). The engine opens, commits and rolls back.
Merge mergeMachinesIn(Transaction& t, std::int64_t into, std::int64_t from, const AuditEntry& audit);
Split splitScanIn(Transaction& t, std::int64_t scanId, const AuditEntry& audit);
std::vector<ConflictingScan> conflictingScansIn(Transaction& t, std::uint32_t limit,
                                                std::uint64_t offset);
std::optional<std::int64_t> machineForKeyIn(Transaction& t, const std::string& key);
std::vector<std::int64_t> scanIdsIn(Transaction& t, std::int64_t afterId, std::uint32_t limit);
Move moveScanIn(Transaction& t, std::int64_t scanId, const std::string& identityKey,
                const std::string& identityRule, const AuditEntry& audit);
PlaceholderChange addPlaceholderIn(Transaction& t, const PlaceholderValue& value,
                                   const AuditEntry& audit);
bool deletePlaceholderIn(Transaction& t, const std::string& value, const AuditEntry& audit);
std::vector<PlaceholderValue> placeholdersIn(Transaction& t);
bool addNoteIn(Transaction& t, const MachineNote& note, const AuditEntry& audit);
std::vector<MachineNote> notesIn(Transaction& t, std::int64_t machineId);

// Webhooks (Webhooks.cpp). enqueueEventIn writes one delivery of `event` for every enabled
// hook subscribed to its name, in the caller's transaction (one INSERT ... SELECT: no read
// first), and says how many. Every event is enqueued this way, in the transaction that
// stores its cause; enqueueScanEventsIn does it for a scan just stored at intake
// (new-machine, new-scan, conflicting-scan).
//
// hardware-changed goes with a scan that became its machine's latest and had hardware
// changes recorded (recordChangesIn found some), in that same transaction.
std::size_t enqueueEventIn(Transaction& t, const WebhookEvent& event);
std::size_t enqueueScanEventsIn(Transaction& t, const AddResult& stored, const NewScan& scan,
                                bool newMachine, bool hardwareChanged);
std::int64_t addWebhookIn(Transaction& t, const Webhook& hook, const AuditEntry& audit);
std::vector<Webhook> webhooksIn(Transaction& t);
bool deleteWebhookIn(Transaction& t, std::int64_t id, const AuditEntry& audit);
std::vector<WebhookDelivery> webhookDeliveriesIn(Transaction& t, std::optional<std::int64_t> hookId,
                                                 std::uint32_t limit);
bool retryDeliveryIn(Transaction& t, std::int64_t id, std::int64_t nowMs, const AuditEntry& audit);
std::vector<WebhookDelivery> claimDeliveriesIn(Transaction& t, std::int64_t nowMs,
                                               std::int64_t leaseMs, std::uint32_t limit);
bool finishDeliveryIn(Transaction& t, const DeliveryAttempt& attempt);

// API tokens (ApiTokens.cpp), the Store calls of the same names.
bool addApiTokenIn(Transaction& t, const ApiToken& token, const AuditEntry& audit);
std::vector<ApiToken> apiTokensIn(Transaction& t);
std::optional<ApiToken> apiTokenWithHashIn(Transaction& t, const std::string& tokenHash);
TokenRevocation revokeApiTokenIn(Transaction& t, const std::string& name, std::int64_t atMs,
                                 const AuditEntry& audit);
void noteApiTokenUseIn(Transaction& t, std::int64_t tokenId, std::int64_t atMs,
                       const AuditEntry& audit);

// Hardware changes (HardwareChanges.cpp). recordChangesIn writes the records of a scan that
// is its machine's latest, compared with the latest before it (nothing for a scan that is not
// the latest, or is the machine's first); it replaces any the scan had and returns how many.
// rebuildMachineChangesIn makes a machine's records again from its history: each scan that
// is not conflicting compared with the one before it, in the order they were taken.
std::size_t recordChangesIn(Transaction& t, std::int64_t scanId);
ChangeRebuild rebuildMachineChangesIn(Transaction& t, std::int64_t machineId);
ChangeRebuild rebuildChangesIn(Transaction& t, std::int64_t afterMachineId, std::uint32_t machines);
std::vector<HardwareChange> changesIn(Transaction& t, const ChangeQuery& query);
std::vector<HardwareChange> scanChangesIn(Transaction& t, std::int64_t scanId);

// The survey's counts kept at intake (SurveyCounts.cpp), written once for both engines.
// Months are calendar months, UTC, named by the Unix ms of their first day.
std::int64_t monthOf(std::int64_t unixMs);
std::int64_t monthAfter(std::int64_t monthMs);

// Collects the machines' months a transaction changed, then makes their survey_members rows
// again from the scans and moves survey_counts by the difference. Call apply() once, after
// every change and before the commit: it takes the counters' rows in one fixed order (month,
// dimension, value), so that transactions of several receivers never wait on each other in
// a circle.
class SurveyKeeper {
public:
    explicit SurveyKeeper(Transaction& t) : t_(t) {}
    // The month of the machine holding `receivedAtMs` gained, lost or changed a scan.
    void scanChanged(std::int64_t machineId, std::int64_t receivedAtMs);
    // The same for a scan just stored whose survey values the caller has (NewScan's): if it
    // is the month's member, they are used rather than its summary read back and parsed.
    void scanStored(std::int64_t machineId, std::int64_t receivedAtMs, std::int64_t scanId,
                    const std::optional<report::survey::Facets>& facets);
    // Any month of the machine may have changed (it lost or gained scans of any time).
    void machineChanged(std::int64_t machineId);
    // The rows of survey_members written or deleted. `counters` false: the members alone
    // (a recount, which counts the counters from the members afterwards).
    std::uint64_t apply(bool counters = true);

private:
    Transaction& t_;
    std::vector<std::pair<std::int64_t, std::int64_t>> touched_;  // machine, month
    std::map<std::int64_t, report::survey::Facets> known_;          // scan id: its values
};
std::optional<std::vector<SurveyCount>> surveyCountsIn(Transaction& t, std::int64_t month);
// Inside the engine's transaction; PostgreSQL: the count tables locked against intake first.
SurveyRecount recountSurveyIn(Transaction& t);
// The machine list's filters: " AND id IN (...)" with parameters from `first` on.
std::string facetFilterSql(const MachineQuery& query, int first);
std::vector<std::string> facetFilterParams(const MachineQuery& query);

std::unique_ptr<Store> openSqliteStore(const std::string& dataDirectory,
                                       std::chrono::milliseconds deadline,
                                       bool readOnly = false,
                                       std::shared_ptr<WebhookDoorbell> doorbell = nullptr);
std::unique_ptr<Store> openPostgresStore(const std::string& uri, std::chrono::milliseconds deadline,
                                         std::shared_ptr<WebhookDoorbell> doorbell = nullptr);

}  // namespace gravelin::storage::detail
