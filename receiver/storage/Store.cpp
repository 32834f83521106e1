#include "receiver/storage/Store.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <type_traits>
#include <variant>

#include "reading/Fingerprint.h"
#include "receiver/storage/StoreInternal.h"
#include "shared/Text.h"
#include "shared/Utf8.h"

namespace gravelin::storage {
namespace detail {

namespace {

// zlib level 1: a report of XML compresses to about a tenth at this level already, at three
// to four times the speed of the default level; the receiver compresses every report it
// takes, so this is where its CPU goes (measured in bench/storage_list.cpp).
constexpr int kCompressionLevel = 1;

// Nothing the receiver accepts comes near this; a larger recorded size is a damaged row.
constexpr std::uint64_t kLargestReport = std::uint64_t{1} << 30;

// A deflate state kept by a thread and reset for each report. Setting one up (compress2
// does, every call) allocates about 256 KiB and clears a quarter of it, which took several
// times as long as compressing a 10 KB report; a reset state gives the same bytes.
class Deflater {
public:
    Deflater() {
        if (const int rc = deflateInit(&stream_, kCompressionLevel); rc != Z_OK)
            throw StorageUnavailable("cannot compress the report (zlib " + std::to_string(rc) + ")");
    }
    ~Deflater() { deflateEnd(&stream_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    std::string compress(std::string_view bytes) {
        deflateReset(&stream_);
        std::string out(deflateBound(&stream_, static_cast<uLong>(bytes.size())), '\0');
        // The casts hold: a report is at most kLargestReport, its bound well under 4 GiB.
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        stream_.avail_in = static_cast<uInt>(bytes.size());
        stream_.next_out = reinterpret_cast<Bytef*>(out.data());
        stream_.avail_out = static_cast<uInt>(out.size());
        const int rc = deflate(&stream_, Z_FINISH);
        if (rc != Z_STREAM_END)
            throw StorageUnavailable("cannot compress the report (zlib " + std::to_string(rc) + ")");
        out.resize(stream_.total_out);
        return out;
    }

private:
    z_stream stream_{};
};

}  // namespace

std::string compressReport(std::string_view bytes) {
    if (bytes.size() > kLargestReport) throw StorageUnavailable("report too large to store");
    thread_local Deflater deflater;
    return deflater.compress(bytes);
}

std::string decompressReport(std::string_view compressed, std::uint64_t originalSize) {
    if (originalSize > kLargestReport)
        throw StorageUnavailable("stored report has an implausible size");
    std::string out(static_cast<std::size_t>(originalSize), '\0');
    uLongf length = static_cast<uLongf>(originalSize);
    // uncompress needs a non-null destination even for an empty report.
    Bytef empty = 0;
    Bytef* destination = out.empty() ? &empty : reinterpret_cast<Bytef*>(out.data());
    const int rc = uncompress(destination, &length,
                              reinterpret_cast<const Bytef*>(compressed.data()),
                              static_cast<uLong>(compressed.size()));
    if (rc != Z_OK || length != originalSize)
        throw StorageUnavailable("stored report is damaged (zlib " + std::to_string(rc) + ")");
    return out;
}

std::string cleanText(std::string_view text) {
    bool clean = true;
    for (std::size_t pos = 0; pos < text.size() && clean;) {
        if (text[pos] == '\0' || decodeUtf8(text, pos) == kInvalidCodePoint) clean = false;
    }
    if (clean) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t cp = decodeUtf8(text, pos);
        if (cp == 0) continue;
        appendUtf8(out, cp == kInvalidCodePoint ? U'\uFFFD' : cp);
    }
    return out;
}

std::string searchText(const ScanColumns& c) {
    std::string out;
    for (const auto& field : kScanColumnFields) {
        const auto* member = std::get_if<std::string ScanColumns::*>(&field.member);
        if (member == nullptr || (c.**member).empty()) continue;
        if (!out.empty()) out += ' ';
        out += c.**member;
    }
    std::transform(out.begin(), out.end(), out.begin(), asciiLower);
    return out;
}

std::vector<std::string> searchTerms(std::string_view search) {
    std::vector<std::string> terms;
    std::string term;
    const auto flush = [&] {
        if (!term.empty()) terms.push_back(cleanText(term));
        term.clear();
    };
    for (char c : search) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            flush();
        } else {
            term += asciiLower(c);
        }
    }
    flush();
    // Bound the work one query can ask for.
    if (terms.size() > 8) terms.resize(8);
    for (auto& t : terms)
        if (t.size() > 200) t.resize(200);
    return terms;
}

const char* sortColumn(MachineSort sort) {
    switch (sort) {
    case MachineSort::LastSeen: return "last_seen";
    case MachineSort::Maker: return "maker";
    case MachineSort::Model: return "model";
    case MachineSort::Processor: return "processor";
    case MachineSort::Cores: return "cores";
    case MachineSort::Memory: return "memory_bytes";
    case MachineSort::Disks: return "disk_bytes";
    case MachineSort::Os: return "os";
    case MachineSort::Scans: return "scan_count";
    }
    return "last_seen";
}

PageReading pageReading(const MachineQuery& query, std::uint32_t limit) {
    PageReading reading;
    reading.reverse = query.from == PageFrom::Before || query.from == PageFrom::End;
    reading.keyed = query.from == PageFrom::After || query.from == PageFrom::Before;
    reading.sqlDescending = query.descending != reading.reverse;
    reading.keyComparison = reading.sqlDescending ? "<" : ">";
    reading.fetch = std::int64_t{limit} + 1;
    return reading;
}

void finishPage(MachinePage& page, const MachineQuery& query, const PageReading& reading) {
    const std::size_t limit = static_cast<std::size_t>(reading.fetch - 1);
    const bool beyond = page.machines.size() > limit;
    if (beyond) page.machines.resize(limit);
    if (reading.reverse) std::reverse(page.machines.begin(), page.machines.end());
    switch (query.from) {
    case PageFrom::Start:
        page.moreBefore = query.offset > 0;
        page.moreAfter = beyond;
        break;
    case PageFrom::After:
        page.moreBefore = true;
        page.moreAfter = beyond;
        break;
    case PageFrom::Before:
        page.moreBefore = beyond;
        page.moreAfter = true;
        break;
    case PageFrom::End:
        page.moreBefore = beyond;
        page.moreAfter = false;
        break;
    }
}

ScanColumns readColumns(const RowReader& row, int first) {
    ScanColumns c;
    int column = first;
    for (const auto& field : kScanColumnFields) {
        std::visit(
            [&](auto member) {
                using Value = std::remove_reference_t<decltype(c.*member)>;
                if constexpr (std::is_same_v<Value, std::string>) {
                    c.*member = row.text(column);
                } else {
                    c.*member = static_cast<Value>(row.integer(column));
                }
            },
            field.member);
        ++column;
    }
    return c;
}

MachineRow readMachine(const RowReader& row) {
    MachineRow m;
    m.id = row.integer(0);
    m.identityKey = row.text(1);
    m.identityRule = row.text(2);
    m.firstSeenMs = row.integer(3);
    m.lastSeenMs = row.integer(4);
    m.latestScanId = row.integer(5);
    m.scanCount = static_cast<std::uint64_t>(row.integer(6));
    m.latest = readColumns(row, kMachineColumnsAt);
    return m;
}

ScanRow readScanRow(const RowReader& row) {
    ScanRow s;
    s.id = row.integer(0);
    s.machineId = row.integer(1);
    s.receivedAtMs = row.integer(2);
    s.remoteAddress = row.text(3);
    s.receipt = row.text(4);
    s.encoding = row.text(5);
    s.identityKey = row.text(6);
    s.identityRule = row.text(7);
    s.osDescription = row.text(8);
    s.programName = row.text(9);
    s.programVersion = row.text(10);
    s.errors = row.text(11);
    s.storedBytes = static_cast<std::uint64_t>(row.integer(12));
    s.columns = readColumns(row, kScanRowColumnsAt);
    const std::int64_t conflict = row.integer(kScanRowColumnsAt + kColumnCount);
    s.conflict = conflict == 1   ? ScanConflict::Conflicting
                 : conflict == 2 ? ScanConflict::Accepted
                                 : ScanConflict::None;
    return s;
}

PreparedScan prepareScan(const NewScan& scan) {
    PreparedScan p;
    p.compressed = compressReport(scan.reportBytes);
    p.reportSize = scan.reportBytes.size();
    NewScan& s = p.scan;
    s.receivedAtMs = scan.receivedAtMs;
    s.remoteAddress = cleanText(scan.remoteAddress);
    s.sealedDigest = cleanText(scan.sealedDigest);
    s.receipt = cleanText(scan.receipt);
    s.encoding = cleanText(scan.encoding);
    s.osDescription = cleanText(scan.osDescription);
    s.programName = cleanText(scan.programName);
    s.programVersion = cleanText(scan.programVersion);
    s.errors = cleanText(scan.errors);
    s.identityKey = cleanText(scan.identityKey);
    s.identityRule = cleanText(scan.identityRule);
    s.summaryJson = cleanText(scan.summaryJson);
    // The values describe the JSON given; cleaned into other text, it is read back instead.
    if (s.summaryJson == scan.summaryJson) s.surveyFacets = scan.surveyFacets;
    s.fingerprint = cleanText(scan.fingerprint);
    const PreparedScan columns = prepareColumns(scan.columns);
    s.columns = columns.scan.columns;
    p.searchText = columns.searchText;
    if (s.sealedDigest.empty()) throw StorageUnavailable("scan without a digest");
    return p;
}

PreparedScan prepareColumns(const ScanColumns& columns) {
    PreparedScan p;
    ScanColumns& c = p.scan.columns;
    c = columns;
    for (const auto& field : kScanColumnFields)
        if (const auto* member = std::get_if<std::string ScanColumns::*>(&field.member))
            c.**member = cleanText(c.**member);
    // Both databases hold signed 64-bit integers.
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    c.memoryBytes = std::min(c.memoryBytes, kMax);
    c.diskBytes = std::min(c.diskBytes, kMax);
    p.searchText = searchText(c);
    return p;
}

namespace {

std::string placeholder(Dialect dialect, int n) {
    return (dialect == Dialect::Sqlite ? "?" : "$") + std::to_string(n);
}


}  // namespace

std::string machineUpsertSql(Dialect dialect) {
    const auto p = [&](int n) { return placeholder(dialect, n); };
    // SQLite: numbered past the highest number ever given (machine_id_high), never a
    // deleted machine's.
    const bool sqlite = dialect == Dialect::Sqlite;
    std::string sql = std::string("INSERT INTO machines (") + (sqlite ? "id, " : "") +
                      "identity_key, identity_rule, first_seen, last_seen, scan_count, ";
    sql += kColumnsSql;
    sql += ", search_text) VALUES (";
    if (sqlite) sql += "(SELECT high + 1 FROM machine_id_high), ";
    sql += p(1) + ", " + p(2) + ", " + p(3) + ", " + p(3) + ", 1";
    for (int i = kUpsertColumnsParam; i <= kUpsertSearchParam; ++i) sql += ", " + p(i);
    sql += ")";
    {
        const bool pg = dialect == Dialect::Postgres;
        // A conflicting scan changes nothing of the machine but its count.
        const std::string conflicting = p(kUpsertConflictParam);
        const std::string kept = "CASE WHEN " + conflicting + " = 1 THEN machines.";
        const std::string newer =
            "CASE WHEN " + conflicting + " = 0 AND excluded.last_seen >= machines.last_seen THEN ";
        sql += " ON CONFLICT (identity_key) DO UPDATE SET ";
        sql += "first_seen = " + kept + "first_seen ELSE " + (pg ? "LEAST" : "min") +
               "(machines.first_seen, excluded.first_seen) END, ";
        sql += "last_seen = " + kept + "last_seen ELSE " + (pg ? "GREATEST" : "max") +
               "(machines.last_seen, excluded.last_seen) END, ";
        sql += "scan_count = machines.scan_count + 1";
        std::vector<std::string> copied;
        for (const auto& field : kScanColumnFields) copied.emplace_back(field.column);
        copied.emplace_back("identity_rule");
        copied.emplace_back("search_text");
        for (const std::string& c : copied)
            sql += ", " + c + " = " + newer + "excluded." + c + " ELSE machines." + c + " END";
    }
    sql += " RETURNING id, last_seen, scan_count";
    return sql;
}

std::string scanInsertSql(Dialect dialect) {
    const auto p = [&](int n) { return placeholder(dialect, n); };
    std::string sql =
        "INSERT INTO scans (machine_id, received_at, remote_address, sealed_digest, receipt, "
        "report, report_size, stored_size, encoding, os_description, program_name, "
        "program_version, errors, identity_key, identity_rule, ";
    sql += kColumnsSql;
    sql += ", summary_json, fingerprint, conflict) VALUES (";
    for (int i = 1; i <= kInsertLastParam; ++i) sql += (i > 1 ? ", " : "") + p(i);
    sql += ")";
    if (dialect == Dialect::Postgres) sql += " ON CONFLICT (sealed_digest) DO NOTHING";
    sql += " RETURNING id";
    return sql;
}

std::string latestFingerprintSql(Dialect dialect) {
    std::string sql = "SELECT m.id, coalesce(s.fingerprint, '') FROM machines m "
                      "LEFT JOIN scans s ON s.id = m.latest_scan_id WHERE m.identity_key = " +
                      placeholder(dialect, 1);
    if (dialect == Dialect::Postgres) sql += " FOR UPDATE OF m";
    return sql;
}

std::string aliasSql(Dialect dialect) {
    return "SELECT m.identity_key FROM machine_aliases a JOIN machines m ON m.id = a.machine_id "
           "WHERE a.identity_key = " +
           placeholder(dialect, 1) + " AND m.identity_key IS NOT NULL";
}

bool conflictsWithLatest(const std::string& latestFingerprint, const std::string& fingerprint) {
    return identity::fingerprintsConflict(latestFingerprint, fingerprint);
}

std::string acceptReadSql(Dialect dialect) {
    std::string sql = std::string("SELECT ") + kScanRowSql + " FROM scans WHERE id = " +
                      placeholder(dialect, 1);
    if (dialect == Dialect::Postgres) sql += " FOR UPDATE";
    return sql;
}

std::string acceptLatestSql(Dialect dialect) {
    const auto p = [&](int n) { return placeholder(dialect, n); };
    const bool pg = dialect == Dialect::Postgres;
    std::string sql = "UPDATE machines SET ";
    int n = 0;
    for (const auto& field : kScanColumnFields)
        sql += std::string(field.column) + " = " + p(++n) + ", ";
    const int rule = kAcceptRuleParam;
    sql += "identity_rule = " + p(rule) + ", search_text = " + p(rule + 1) + ", ";
    sql += std::string("first_seen = ") + (pg ? "LEAST" : "min") + "(first_seen, " + p(rule + 2) +
           "), ";
    sql += "last_seen = " + p(rule + 2) + ", latest_scan_id = " + p(rule + 3);
    sql += " WHERE id = " + p(rule + 4) + " AND last_seen <= " + p(rule + 2) + " RETURNING id";
    return sql;
}

std::string prunableSql(Dialect dialect) {
    const auto p = [&](int n) { return placeholder(dialect, n); };
    return "SELECT (SELECT count(*) FROM machines WHERE last_seen < " + p(1) +
           "), (SELECT count(*) FROM scans s JOIN machines m ON m.id = s.machine_id WHERE "
           "m.last_seen < " + p(1) + " OR (s.received_at < " + p(2) +
           " AND s.id <> coalesce(m.latest_scan_id, 0))), (SELECT count(*) FROM audit WHERE at < " +
           p(3) + ")";
}

Account readAccount(const RowReader& row) {
    Account account;
    account.id = row.integer(0);
    account.name = row.text(1);
    account.passwordHash = row.text(2);
    // A role this version does not know grants nothing beyond reading.
    account.role = roleNamed(row.text(3)).value_or(Role::Viewer);
    account.disabled = row.integer(4) != 0;
    account.lastSignInMs = row.integer(5);
    return account;
}

namespace {

std::string cut(std::string_view text, std::size_t max) {
    // Cutting inside a multi-byte character leaves a malformed tail, which cleanText turns
    // into U+FFFD.
    return cleanText(text.substr(0, std::min(text.size(), max)));
}

std::string columnsSetSql(Dialect dialect) {
    std::string sql;
    int n = 0;
    for (const auto& field : kScanColumnFields) {
        if (n > 0) sql += ", ";
        ++n;
        sql += std::string(field.column) + " = " + placeholder(dialect, n);
    }
    return sql;
}

}  // namespace

AuditEntry boundedAuditEntry(const AuditEntry& entry) {
    AuditEntry out;
    out.atMs = entry.atMs;
    out.actor = cut(entry.actor, audit::kMaxActor);
    out.action = cut(entry.action, 64);
    out.target = cut(entry.target, audit::kMaxTarget);
    out.address = cut(entry.address, audit::kMaxAddress);
    out.detail = cut(entry.detail, audit::kMaxDetail);
    return out;
}

std::string auditInsertSql(Dialect dialect) {
    return dialect == Dialect::Postgres
               ? "INSERT INTO audit (at, actor, action, target, address, detail) "
                 "VALUES ($1, $2, $3, $4, $5, $6)"
               : "INSERT INTO audit (at, actor, action, target, address, detail) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
}

SqlStatement auditQuery(const AuditQuery& query) {
    SqlStatement s;
    const auto p = [&](SqlValue value) {
        s.params.push_back(std::move(value));
        return "?" + std::to_string(s.params.size());
    };
    s.sql = "SELECT id, at, actor, action, target, address, detail FROM audit WHERE at >= " +
            p(query.sinceMs) + " AND at < " + p(query.untilMs);
    if (!query.actor.empty()) s.sql += " AND actor = " + p(cleanText(query.actor));
    if (!query.action.empty()) s.sql += " AND action = " + p(cleanText(query.action));
    if (query.beforeId > 0) s.sql += " AND id < " + p(query.beforeId);
    s.sql += " ORDER BY id DESC LIMIT " + p(static_cast<std::int64_t>(std::min<std::uint32_t>(
                                            query.limit, 10000)));
    return s;
}

AuditEntry readAuditEntry(const RowReader& row) {
    return AuditEntry{row.integer(0), row.integer(1), row.text(2), row.text(3),
                      row.text(4),    row.text(5),    row.text(6)};
}

std::string refreshScanSql(Dialect dialect) {
    return "UPDATE scans SET " + columnsSetSql(dialect) +
           " WHERE id = " + placeholder(dialect, kColumnCount + 1) + " RETURNING id";
}

std::string refreshMachineSql(Dialect dialect) {
    return "UPDATE machines SET " + columnsSetSql(dialect) +
           ", search_text = " + placeholder(dialect, kColumnCount + 1) +
           " WHERE latest_scan_id = " + placeholder(dialect, kColumnCount + 2);
}

std::string receiptSql(Dialect dialect) {
    return std::string("SELECT ") + kScanRowSql +
           " FROM scans WHERE receipt = " + placeholder(dialect, 1) +
           " ORDER BY received_at DESC, id DESC";
}

std::string newerSchemaMessage(int found) {
    return "the database's schema is at version " + std::to_string(found) +
           ", newer than this program knows (" + std::to_string(currentSchemaVersion()) +
           "): run a newer gravelin-receiver";
}

}  // namespace detail

bool sortsByText(MachineSort sort) {
    switch (sort) {
    case MachineSort::Maker:
    case MachineSort::Model:
    case MachineSort::Processor:
    case MachineSort::Os: return true;
    case MachineSort::LastSeen:
    case MachineSort::Cores:
    case MachineSort::Memory:
    case MachineSort::Disks:  // by their total size
    case MachineSort::Scans: return false;
    }
    return false;
}

MachineSortValue sortValueOf(const MachineRow& machine, MachineSort sort) {
    const ScanColumns& c = machine.latest;
    const auto number = [](std::uint64_t n) {
        return static_cast<std::int64_t>(std::min<std::uint64_t>(n, std::numeric_limits<std::int64_t>::max()));
    };
    switch (sort) {
    case MachineSort::LastSeen: return machine.lastSeenMs;
    case MachineSort::Maker: return c.maker;
    case MachineSort::Model: return c.model;
    case MachineSort::Processor: return c.processor;
    case MachineSort::Cores: return std::int64_t{c.cores};
    case MachineSort::Memory: return number(c.memoryBytes);
    case MachineSort::Disks: return number(c.diskBytes);
    case MachineSort::Os: return c.os;
    case MachineSort::Scans: return number(machine.scanCount);
    }
    return machine.lastSeenMs;
}

MachineKey keyOf(const MachineRow& machine, MachineSort sort) {
    return {sortValueOf(machine, sort), machine.id};
}


std::string detailOf(const Removed& removed) {
    std::string detail;
    const auto add = [&](const char* name, std::uint64_t n) {
        if (n == 0 && name != std::string_view("scans")) return;
        if (!detail.empty()) detail += ' ';
        detail += std::string(name) + "=" + std::to_string(n);
    };
    add("machines", removed.machines);
    add("scans", removed.scans);
    add("audit", removed.auditEntries);
    return detail;
}

const char* roleName(Role role) {
    return role == Role::Admin ? "admin" : "viewer";
}

std::optional<Role> roleNamed(std::string_view name) {
    if (name == "admin") return Role::Admin;
    if (name == "viewer") return Role::Viewer;
    return std::nullopt;
}

std::optional<std::string> receiptOf(std::string_view text) {
    std::string digits;
    for (const char c : text) {
        if (c == '-') continue;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (blank) {
            // Blanks only around it, not inside.
            if (!digits.empty()) digits += ' ';
            continue;
        }
        if (!hex) return std::nullopt;
        digits += asciiUpper(c);
    }
    while (!digits.empty() && digits.back() == ' ') digits.pop_back();
    if (digits.size() != 12 || digits.find(' ') != std::string::npos) return std::nullopt;
    return digits.substr(0, 4) + "-" + digits.substr(4, 4) + "-" + digits.substr(8, 4);
}

MachineSearch parseMachineSearch(std::string_view search) {
    MachineSearch out;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t at = 0;
    while (at < search.size()) {
        while (at < search.size() && blank(search[at])) ++at;
        if (at == search.size()) break;
        // A name of letters and underscores, then a colon: a filter. Anything else is a word
        // of the text search, up to the next blank.
        std::size_t end = at;
        while (end < search.size() &&
               ((search[end] >= 'a' && search[end] <= 'z') ||
                (search[end] >= 'A' && search[end] <= 'Z') || search[end] == '_'))
            ++end;
        if (end == at || end == search.size() || search[end] != ':') {
            while (end < search.size() && !blank(search[end])) ++end;
            if (!out.text.empty()) out.text += ' ';
            out.text += search.substr(at, end - at);
            at = end;
            continue;
        }
        std::string name(search.substr(at, end - at));
        for (char& c : name) c = asciiLower(c);
        std::string value;
        at = end + 1;
        if (at < search.size() && search[at] == '"') {
            // Quoted: a backslash takes the next character as it is (\" and \\).
            bool closed = false;
            for (++at; at < search.size(); ++at) {
                if (search[at] == '"') {
                    closed = true;
                    ++at;
                    break;
                }
                if (search[at] == '\\' && at + 1 < search.size()) ++at;
                value += search[at];
            }
            if (!closed) {
                out.problem = "the value of " + name + ": has no closing quote";
                return out;
            }
        } else {
            end = at;
            while (end < search.size() && !blank(search[end])) ++end;
            value = search.substr(at, end - at);
            at = end;
        }
        const auto dimension = report::survey::dimensionNamed(name);
        if (!dimension) {
            std::string names;
            for (const std::string_view known : report::survey::kDimensionNames)
                names += (names.empty() ? "" : ", ") + std::string(known);
            out.problem = "no survey dimension is called \"" + name + "\" (filters are " + names +
                          ", as in memory_type:DDR5)";
            return out;
        }
        if (value.empty()) {
            out.problem = name + ": needs a value (" + name + ":\"two words\" when it has blanks)";
            return out;
        }
        out.facets.emplace_back(*dimension, std::move(value));
    }
    return out;
}

std::unique_ptr<Store> openStore(const StoreLocation& location,
                                 std::shared_ptr<WebhookDoorbell> doorbell) {
    const std::string& uri = location.databaseUri;
    if (!uri.empty()) {
        if (!location.dataDirectory.empty())
            throw StorageError("give either a data directory or a database URI, not both");
        if (uri.rfind("postgresql://", 0) != 0 && uri.rfind("postgres://", 0) != 0)
            throw StorageError("database URI must start with postgresql:// or postgres://");
        return detail::openPostgresStore(uri, location.deadline, std::move(doorbell));
    }
    if (location.dataDirectory.empty()) throw StorageError("no data directory given");
    return detail::openSqliteStore(location.dataDirectory, location.deadline, location.readOnly,
                                   std::move(doorbell));
}

}  // namespace gravelin::storage
