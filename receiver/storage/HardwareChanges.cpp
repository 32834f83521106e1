// Hardware changes, written once for both engines over a Transaction (StoreInternal.h).
//
// A scan's records are written in the transaction that makes it its machine's latest: intake
// (when the scan is not older than what the machine holds and not conflicting) and accepting
// a conflicting scan. They compare it with the newest other scan of the machine that is not
// conflicting and not newer: the latest before it. A scan stored late, older than the
// machine's latest, records nothing. Writing a scan's records first deletes any it has, so
// that writing them twice (a rebuild racing intake) leaves one set.
//
// Locks (PostgreSQL): intake holds the machine's row (latestFingerprintSql) when it records;
// rebuilding a machine locks the same row first, so the two take turns.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "reading/Summary.h"
#include "reading/SummaryJson.h"
#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage {

const char* changeKindName(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::Added: return "added";
        case ChangeKind::Removed: return "removed";
        case ChangeKind::Changed: return "changed";
        case ChangeKind::Moved: return "moved";
    }
    return "changed";
}

std::optional<ChangeKind> changeKindNamed(std::string_view name) {
    for (const ChangeKind kind : kChangeKinds)
        if (name == changeKindName(kind)) return kind;
    return std::nullopt;
}

std::string componentLabel(std::string_view component) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kLabels{{
        {"system", "System"},
        {"board", "Board"},
        {"enclosure", "Enclosure"},
        {"processor", "Processor"},
        {"memory", "Memory module"},
        {"disk", "Disk"},
        {"volume", "Volume"},
        {"slot", "Slot"},
        {"controller", "Controller"},
        {"os", "Operating system"},
        {"scanner", "Scanner"},
    }};
    for (const auto& [name, label] : kLabels)
        if (name == component) return std::string(label);
    return std::string(component);
}

namespace {

// The differ's component names, as stored.
std::string componentOf(const std::string& differName) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kNames{{
        {"System", "system"},
        {"Board", "board"},
        {"Enclosure", "enclosure"},
        {"Processor", "processor"},
        {"Memory", "memory"},
        {"Disk", "disk"},
        {"Volume", "volume"},
        {"Slot", "slot"},
        {"Controller", "controller"},
        {"Operating system", "os"},
        {"Program", "scanner"},
    }};
    for (const auto& [name, stored] : kNames)
        if (name == differName) return std::string(stored);
    std::string lower = differName;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower;
}

}  // namespace

std::vector<HardwareChange> changeRecords(const std::string& beforeSummaryJson,
                                          const std::string& afterSummaryJson) {
    const report::Summary before = report::summaryFromJsonText(beforeSummaryJson);
    const report::Summary after = report::summaryFromJsonText(afterSummaryJson);
    std::vector<HardwareChange> records;
    for (const report::Change& change : report::diff(before, after)) {
        HardwareChange record;
        record.component = componentOf(change.component);
        switch (change.kind) {
            case report::Change::Kind::Added: record.kind = ChangeKind::Added; break;
            case report::Change::Kind::Removed: record.kind = ChangeKind::Removed; break;
            case report::Change::Kind::Changed:
                record.kind = change.note == "moved" ? ChangeKind::Moved : ChangeKind::Changed;
                break;
        }
        record.key = change.key;
        record.before = change.before;
        record.after = change.after;
        for (const auto& field : change.fields)
            record.fields.push_back({field.name, field.before, field.after});
        if (record.kind != ChangeKind::Moved) record.note = change.note;
        records.push_back(std::move(record));
    }
    return records;
}

std::string fieldsJson(const std::vector<ChangeField>& fields) {
    nlohmann::json array = nlohmann::json::array();
    for (const ChangeField& f : fields)
        array.push_back({{"name", f.name}, {"before", f.before}, {"after", f.after}});
    // Stored text is valid UTF-8 already (cleanText); replace anything else rather than throw.
    return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<ChangeField> fieldsFromJson(const std::string& text) {
    std::vector<ChangeField> fields;
    const nlohmann::json array = nlohmann::json::parse(text, nullptr, false);
    if (!array.is_array()) return fields;
    for (const auto& item : array) {
        if (!item.is_object()) continue;
        const auto member = [&](const char* name) {
            const auto found = item.find(name);
            return found != item.end() && found->is_string() ? found->get<std::string>()
                                                             : std::string();
        };
        fields.push_back({member("name"), member("before"), member("after")});
    }
    return fields;
}

namespace detail {

namespace {

constexpr const char* kChangeColumns =
    "id, machine_id, scan_id, coalesce(previous_scan_id, 0), at, component, kind, key, "
    "before_line, after_line, fields, note";

HardwareChange readChange(const RowReader& row) {
    HardwareChange c;
    c.id = row.integer(0);
    c.machineId = row.integer(1);
    c.scanId = row.integer(2);
    c.previousScanId = row.integer(3);
    c.atMs = row.integer(4);
    c.component = row.text(5);
    const auto kind = row.integer(6);
    c.kind = kind >= 0 && kind <= 3 ? static_cast<ChangeKind>(kind) : ChangeKind::Changed;
    c.key = row.text(7);
    c.before = row.text(8);
    c.after = row.text(9);
    c.fields = fieldsFromJson(row.text(10));
    c.note = row.text(11);
    return c;
}

void insertRecords(Transaction& t, std::int64_t machineId, std::int64_t scanId,
                   std::int64_t previousScanId, std::int64_t atMs,
                   const std::vector<HardwareChange>& records) {
    for (const HardwareChange& r : records) {
        std::vector<ChangeField> fields = r.fields;
        for (ChangeField& f : fields) {
            f.name = cleanText(f.name);
            f.before = cleanText(f.before);
            f.after = cleanText(f.after);
        }
        t.run("INSERT INTO hardware_changes (machine_id, scan_id, previous_scan_id, at, "
              "component, kind, key, before_line, after_line, fields, note) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)",
              {machineId, scanId, previousScanId, atMs, cleanText(r.component),
               static_cast<std::int64_t>(r.kind), cleanText(r.key), cleanText(r.before),
               cleanText(r.after), fieldsJson(fields), cleanText(r.note)});
    }
}

std::string summaryOf(Transaction& t, std::int64_t scanId) {
    std::string json;
    t.run("SELECT summary_json FROM scans WHERE id = ?1", {scanId},
          [&](const RowReader& row) { json = row.text(0); });
    return json;
}

}  // namespace

std::size_t recordChangesIn(Transaction& t, std::int64_t scanId) {
    std::int64_t machineId = 0, at = 0, latest = 0;
    bool found = false;
    std::string after;
    t.run("SELECT s.machine_id, s.received_at, coalesce(m.latest_scan_id, 0), s.summary_json "
          "FROM scans s JOIN machines m ON m.id = s.machine_id WHERE s.id = ?1",
          {scanId}, [&](const RowReader& row) {
              found = true;
              machineId = row.integer(0);
              at = row.integer(1);
              latest = row.integer(2);
              after = row.text(3);
          });
    if (!found || latest != scanId) return 0;
    t.run("DELETE FROM hardware_changes WHERE scan_id = ?1", {scanId});
    std::int64_t previous = 0;
    std::string before;
    t.run("SELECT id, summary_json FROM scans WHERE machine_id = ?1 AND id <> ?2 AND "
          "conflict <> 1 AND (received_at < ?3 OR (received_at = ?3 AND id < ?2)) "
          "ORDER BY received_at DESC, id DESC LIMIT 1",
          {machineId, scanId, at}, [&](const RowReader& row) {
              previous = row.integer(0);
              before = row.text(1);
          });
    if (previous == 0) return 0;  // the machine's first scan: nothing to compare with
    const std::vector<HardwareChange> records = changeRecords(before, after);
    insertRecords(t, machineId, scanId, previous, at, records);
    return records.size();
}

ChangeRebuild rebuildMachineChangesIn(Transaction& t, std::int64_t machineId) {
    ChangeRebuild done;
    if (t.run("SELECT id FROM machines WHERE id = ?1" +
                  std::string(t.dialect() == Dialect::Postgres ? " FOR UPDATE" : ""),
              {machineId}) == 0)
        return done;
    done.machines = 1;
    done.lastMachineId = machineId;
    t.run("DELETE FROM hardware_changes WHERE machine_id = ?1", {machineId});
    std::vector<std::pair<std::int64_t, std::int64_t>> chain;  // id, received at
    t.run("SELECT id, received_at FROM scans WHERE machine_id = ?1 AND conflict <> 1 "
          "ORDER BY received_at, id",
          {machineId},
          [&](const RowReader& row) { chain.emplace_back(row.integer(0), row.integer(1)); });
    std::string before;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        std::string after = summaryOf(t, chain[i].first);
        ++done.scans;
        if (i > 0) {
            const auto records = changeRecords(before, after);
            insertRecords(t, machineId, chain[i].first, chain[i - 1].first, chain[i].second,
                          records);
            done.changes += records.size();
        }
        before = std::move(after);
    }
    return done;
}

ChangeRebuild rebuildChangesIn(Transaction& t, std::int64_t afterMachineId,
                               std::uint32_t machines) {
    std::vector<std::int64_t> ids;
    t.run("SELECT id FROM machines WHERE id > ?1 ORDER BY id LIMIT ?2",
          {afterMachineId, static_cast<std::int64_t>(std::max<std::uint32_t>(machines, 1))},
          [&](const RowReader& row) { ids.push_back(row.integer(0)); });
    ChangeRebuild total;
    for (const std::int64_t id : ids) {
        const ChangeRebuild one = rebuildMachineChangesIn(t, id);
        total.machines += one.machines;
        total.scans += one.scans;
        total.changes += one.changes;
        total.lastMachineId = id;
    }
    return total;
}

std::vector<HardwareChange> changesIn(Transaction& t, const ChangeQuery& query) {
    std::string sql = std::string("SELECT ") + kChangeColumns + " FROM hardware_changes WHERE at >= ?1 AND at < ?2";
    std::vector<SqlValue> params{query.sinceMs, query.untilMs};
    const auto next = [&] { return "?" + std::to_string(params.size() + 1); };
    if (query.machineId) {
        sql += " AND machine_id = " + next();
        params.emplace_back(*query.machineId);
    }
    if (!query.component.empty()) {
        sql += " AND component = " + next();
        params.emplace_back(query.component);
    }
    if (query.kind) {
        sql += " AND kind = " + next();
        params.emplace_back(static_cast<std::int64_t>(*query.kind));
    }
    if (query.after) {
        const std::string at = next();
        params.emplace_back(query.after->first);
        const std::string id = next();
        params.emplace_back(query.after->second);
        sql += " AND (at < " + at + " OR (at = " + at + " AND id < " + id + "))";
    }
    sql += " ORDER BY at DESC, id DESC LIMIT " + next();
    params.emplace_back(static_cast<std::int64_t>(std::min<std::uint32_t>(query.limit, 10000)));
    std::vector<HardwareChange> out;
    t.run(sql, params, [&](const RowReader& row) { out.push_back(readChange(row)); });
    return out;
}

std::vector<HardwareChange> scanChangesIn(Transaction& t, std::int64_t scanId) {
    std::vector<HardwareChange> out;
    t.run(std::string("SELECT ") + kChangeColumns +
              " FROM hardware_changes WHERE scan_id = ?1 ORDER BY id",
          {scanId}, [&](const RowReader& row) { out.push_back(readChange(row)); });
    return out;
}

}  // namespace detail
}  // namespace gravelin::storage
