// What an admin changes about machines (merging two, splitting a scan off, moving a scan under
// a new identity key), the placeholders an admin adds and the notes on machines, written once
// for both engines over a Transaction (StoreInternal.h). The engine opens and commits.
//
// Locks (PostgreSQL; SQLite has one writer at a time): every change locks the machine rows it
// touches with FOR UPDATE, in id order when there are two. Intake locks the row of the machine
// a scan claims the same way before it stores the scan, and reads the aliases only when no
// machine holds the key: a scan of a machine being merged away waits for the merge, then finds
// the machine gone and follows the alias the merge committed.
//
// The hardware changes of the machines a change touches are made again from their scans
// (HardwareChanges.cpp): a merged history is one chain, a split one two.
#include <algorithm>

#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage {

std::string noteProblem(std::string_view text, std::string_view link) {
    const bool blank = std::all_of(text.begin(), text.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    });
    if (blank) return "a note needs some text";
    if (text.size() > kMaxNoteBytes)
        return "a note is at most " + std::to_string(kMaxNoteBytes) + " bytes";
    if (link.empty()) return {};
    if (link.size() > kMaxNoteLinkBytes)
        return "a ticket link is at most " + std::to_string(kMaxNoteLinkBytes) + " bytes";
    // Only https: the link is shown as one, and javascript:, data: or plain http: must
    // never be.
    constexpr std::string_view kScheme = "https://";
    std::string lower(link.substr(0, std::min(link.size(), kScheme.size())));
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower != kScheme || link.size() == kScheme.size())
        return "a ticket link must be an https:// address";
    for (const char c : link) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\')
            return "a ticket link may not hold spaces, quotes, angle brackets or control "
                   "characters";
    }
    return {};
}

namespace detail {

namespace {

std::string forUpdate(const Transaction& t) {
    return t.dialect() == Dialect::Postgres ? " FOR UPDATE" : "";
}

// kScanRowSql with every column taken from the table aliased as `table`.
std::string scanRowColumnsOf(const std::string& table) {
    std::string out;
    std::string_view rest = kScanRowSql;
    while (!rest.empty()) {
        const auto comma = rest.find(", ");
        if (!out.empty()) out += ", ";
        out += table + "." + std::string(rest.substr(0, comma));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 2);
    }
    return out;
}

std::vector<SqlValue> columnValues(const ScanColumns& c) {
    std::vector<SqlValue> values;
    for (const auto& field : kScanColumnFields) {
        std::visit(
            [&](auto member) {
                if constexpr (std::is_same_v<std::remove_cvref_t<decltype(c.*member)>,
                                             std::string>)
                    values.emplace_back(c.*member);
                else
                    values.emplace_back(static_cast<std::int64_t>(c.*member));
            },
            field.member);
    }
    return values;
}

std::int64_t integerOf(Transaction& t, const std::string& sql, const std::vector<SqlValue>& params) {
    std::int64_t value = 0;
    t.run(sql, params, [&](const RowReader& row) { value = row.integer(0); });
    return value;
}

void appendAuditIn(Transaction& t, const AuditEntry& entry) {
    const AuditEntry e = boundedAuditEntry(entry);
    t.run(auditInsertSql(Dialect::Sqlite),
          {e.atMs, e.actor, e.action, e.target, e.address, e.detail});
}

std::optional<ScanRow> scanRowIn(Transaction& t, std::int64_t scanId, bool lock) {
    std::optional<ScanRow> found;
    t.run(std::string("SELECT ") + kScanRowSql + " FROM scans WHERE id = ?1" +
              (lock ? forUpdate(t) : ""),
          {scanId}, [&](const RowReader& row) { found = readScanRow(row); });
    return found;
}

// Makes the machine's derived fields again from its scans: the latest is the newest scan that
// is not conflicting (the newest of all when every one is), first and last seen span the
// scans that are not conflicting. A machine without scans is deleted; false then.
bool remakeMachine(Transaction& t, std::int64_t machineId) {
    std::optional<ScanRow> latest;
    t.run(std::string("SELECT ") + kScanRowSql +
              " FROM scans WHERE machine_id = ?1 ORDER BY CASE WHEN conflict = 1 THEN 1 ELSE 0 "
              "END, received_at DESC, id DESC LIMIT 1",
          {machineId}, [&](const RowReader& row) { latest = readScanRow(row); });
    if (!latest) {
        t.run("DELETE FROM machines WHERE id = ?1", {machineId});
        return false;
    }
    std::int64_t count = 0, first = 0, last = 0;
    t.run("SELECT count(*), coalesce(min(CASE WHEN conflict <> 1 THEN received_at END), "
          "min(received_at)), coalesce(max(CASE WHEN conflict <> 1 THEN received_at END), "
          "max(received_at)) FROM scans WHERE machine_id = ?1",
          {machineId}, [&](const RowReader& row) {
              count = row.integer(0);
              first = row.integer(1);
              last = row.integer(2);
          });
    std::string sql = "UPDATE machines SET ";
    int n = 0;
    for (const auto& field : kScanColumnFields)
        sql += std::string(field.column) + " = ?" + std::to_string(++n) + ", ";
    const auto p = [](int k) { return "?" + std::to_string(kColumnCount + k); };
    sql += "identity_rule = " + p(1) + ", search_text = " + p(2) + ", first_seen = " + p(3) +
           ", last_seen = " + p(4) + ", latest_scan_id = " + p(5) + ", scan_count = " + p(6) +
           " WHERE id = " + p(7);
    std::vector<SqlValue> params = columnValues(latest->columns);
    params.emplace_back(latest->identityRule);
    params.emplace_back(searchText(latest->columns));
    params.emplace_back(first);
    params.emplace_back(last);
    params.emplace_back(latest->id);
    params.emplace_back(count);
    params.emplace_back(machineId);
    t.run(sql, params);
    return true;
}

// A new machine holding only `row` (not yet moved to it); `key` empty: none.
std::int64_t newMachineFor(Transaction& t, const ScanRow& row, const std::string& key) {
    // SQLite: numbered past the highest number ever given, as at intake (machineUpsertSql).
    const bool sqlite = t.dialect() == Dialect::Sqlite;
    std::string sql = std::string("INSERT INTO machines (") + (sqlite ? "id, " : "") +
                      "identity_key, identity_rule, first_seen, last_seen, latest_scan_id, scan_count, ";
    sql += kColumnsSql;
    sql += ", search_text) VALUES (";
    if (sqlite) sql += "(SELECT high + 1 FROM machine_id_high), ";
    // 1 rule, 2 received at, 3 scan id, then the columns, the search text and the key.
    sql += key.empty() ? "NULL" : "?" + std::to_string(kColumnCount + 5);
    sql += ", ?1, ?2, ?2, ?3, 1";
    for (int i = 4; i <= kColumnCount + 4; ++i) sql += ", ?" + std::to_string(i);
    sql += ") RETURNING id";
    std::vector<SqlValue> params = {row.identityRule, row.receivedAtMs, row.id};
    for (SqlValue& v : columnValues(row.columns)) params.push_back(std::move(v));
    params.emplace_back(searchText(row.columns));
    if (!key.empty()) params.emplace_back(key);
    std::int64_t id = 0;
    t.run(sql, params, [&](const RowReader& r) { id = r.integer(0); });
    if (id == 0) throw StorageUnavailable("a new machine was not stored");
    return id;
}

// The machine a scan claiming `key` belongs to, its row locked: the machine with the key, or
// the one an alias of the key leads to.
std::optional<std::int64_t> lockedMachineForKey(Transaction& t, const std::string& key) {
    std::string current = key;
    for (int hop = 0; hop < 4 && !current.empty(); ++hop) {
        std::optional<std::int64_t> id;
        t.run("SELECT id FROM machines WHERE identity_key = ?1" + forUpdate(t), {current},
              [&](const RowReader& row) { id = row.integer(0); });
        if (id) return id;
        std::string next;
        t.run(aliasSql(Dialect::Sqlite), {current}, [&](const RowReader& row) { next = row.text(0); });
        current = next;
    }
    return std::nullopt;
}

}  // namespace

Merge mergeMachinesIn(Transaction& t, std::int64_t into, std::int64_t from, const AuditEntry& audit) {
    Merge merge;
    if (into == from) {
        merge.result = MergeResult::SameMachine;
        return merge;
    }
    std::string intoKey, fromKey;
    int found = 0;
    t.run("SELECT id, identity_key FROM machines WHERE id = ?1 OR id = ?2 ORDER BY id" +
              forUpdate(t),
          {into, from}, [&](const RowReader& row) {
              ++found;
              (row.integer(0) == into ? intoKey : fromKey) = row.text(1);
          });
    if (found != 2) return merge;
    merge.scansMoved = static_cast<std::uint64_t>(
        integerOf(t, "SELECT count(*) FROM scans WHERE machine_id = ?1", {from}));
    t.run("UPDATE scans SET machine_id = ?1 WHERE machine_id = ?2", {into, from});
    t.run("UPDATE machine_notes SET machine_id = ?1 WHERE machine_id = ?2", {into, from});
    t.run("UPDATE machine_aliases SET machine_id = ?1 WHERE machine_id = ?2", {into, from});
    t.run("DELETE FROM machines WHERE id = ?1", {from});
    SurveyKeeper survey(t);
    survey.machineChanged(from);
    survey.machineChanged(into);
    survey.apply();
    if (!fromKey.empty()) {
        // A machine without a key takes the other's: nothing else could lead scans to it.
        if (intoKey.empty())
            t.run("UPDATE machines SET identity_key = ?1 WHERE id = ?2", {fromKey, into});
        else
            t.run("INSERT INTO machine_aliases (identity_key, machine_id, merged_at) "
                  "VALUES (?1, ?2, ?3)",
                  {fromKey, into, audit.atMs});
    }
    remakeMachine(t, into);
    rebuildMachineChangesIn(t, into);
    appendAuditIn(t, audit);
    merge.result = MergeResult::Merged;
    return merge;
}

Split splitScanIn(Transaction& t, std::int64_t scanId, const AuditEntry& audit) {
    Split split;
    const std::optional<ScanRow> row = scanRowIn(t, scanId, true);
    if (!row) return split;
    t.run("SELECT id FROM machines WHERE id = ?1" + forUpdate(t), {row->machineId});
    if (integerOf(t, "SELECT count(*) FROM scans WHERE machine_id = ?1", {row->machineId}) <= 1) {
        split.result = SplitResult::AloneAlready;
        return split;
    }
    split.machineId = newMachineFor(t, *row, {});
    t.run("UPDATE scans SET machine_id = ?1, conflict = 0 WHERE id = ?2", {split.machineId, scanId});
    SurveyKeeper survey(t);
    survey.scanChanged(row->machineId, row->receivedAtMs);
    survey.scanChanged(split.machineId, row->receivedAtMs);
    survey.apply();
    remakeMachine(t, row->machineId);
    rebuildMachineChangesIn(t, split.machineId);
    rebuildMachineChangesIn(t, row->machineId);
    appendAuditIn(t, audit);
    split.result = SplitResult::Split;
    return split;
}

std::vector<ConflictingScan> conflictingScansIn(Transaction& t, std::uint32_t limit,
                                                std::uint64_t offset) {
    std::vector<ConflictingScan> out;
    t.run("SELECT " + scanRowColumnsOf("s") +
              ", s.fingerprint, coalesce(l.fingerprint, '') FROM scans s JOIN machines m ON "
              "m.id = s.machine_id LEFT JOIN scans l ON l.id = m.latest_scan_id "
              "WHERE s.conflict = 1 ORDER BY s.received_at DESC, s.id DESC LIMIT ?1 OFFSET ?2",
          {static_cast<std::int64_t>(std::min<std::uint32_t>(limit, 10000)),
           static_cast<std::int64_t>(std::min<std::uint64_t>(offset, INT64_MAX))},
          [&](const RowReader& row) {
              out.push_back({readScanRow(row), row.text(kScanRowCount),
                             row.text(kScanRowCount + 1)});
          });
    return out;
}

std::optional<std::int64_t> machineForKeyIn(Transaction& t, const std::string& key) {
    if (key.empty()) return std::nullopt;
    return lockedMachineForKey(t, cleanText(key));
}

std::vector<std::int64_t> scanIdsIn(Transaction& t, std::int64_t afterId, std::uint32_t limit) {
    std::vector<std::int64_t> ids;
    t.run("SELECT id FROM scans WHERE id > ?1 ORDER BY id LIMIT ?2",
          {afterId, static_cast<std::int64_t>(limit)},
          [&](const RowReader& row) { ids.push_back(row.integer(0)); });
    return ids;
}

Move moveScanIn(Transaction& t, std::int64_t scanId, const std::string& identityKey,
                const std::string& identityRule, const AuditEntry& audit) {
    Move move;
    const std::string key = cleanText(identityKey);
    std::optional<ScanRow> row = scanRowIn(t, scanId, true);
    if (!row) return move;
    move.found = true;
    move.fromMachine = move.toMachine = row->machineId;
    // The source first, then the target: a target with a higher id than the source waits
    // for nothing the source's holder waits for (intake locks one machine at a time).
    t.run("SELECT id FROM machines WHERE id = ?1" + forUpdate(t), {row->machineId});
    row->identityKey = key;
    row->identityRule = cleanText(identityRule);
    t.run("UPDATE scans SET identity_key = ?1, identity_rule = ?2 WHERE id = ?3",
          {key, row->identityRule, scanId});
    std::optional<std::int64_t> target;
    if (!key.empty()) target = lockedMachineForKey(t, key);
    if (target == row->machineId) return move;
    const std::int64_t alone =
        integerOf(t, "SELECT count(*) FROM scans WHERE machine_id = ?1", {row->machineId});
    // A scan without a key alone on a machine without one is where that rule puts it.
    if (!target && key.empty() && alone == 1) {
        std::string machineKey = "?";
        t.run("SELECT identity_key FROM machines WHERE id = ?1", {row->machineId},
              [&](const RowReader& r) { machineKey = r.text(0); });
        if (machineKey.empty()) return move;
    }
    move.toMachine = target ? *target : newMachineFor(t, *row, key);
    t.run("UPDATE scans SET machine_id = ?1 WHERE id = ?2", {move.toMachine, scanId});
    // A machine left without scans is deleted: what was written about it, and the keys of
    // machines merged into it, go where its last scan went.
    for (const char* table : {"machine_notes", "machine_aliases"})
        t.run(std::string("UPDATE ") + table +
                  " SET machine_id = ?1 WHERE machine_id = ?2 AND NOT EXISTS "
                  "(SELECT 1 FROM scans WHERE machine_id = ?2)",
              {move.toMachine, row->machineId});
    SurveyKeeper survey(t);
    survey.scanChanged(row->machineId, row->receivedAtMs);
    survey.scanChanged(move.toMachine, row->receivedAtMs);
    survey.apply();
    remakeMachine(t, move.toMachine);
    remakeMachine(t, row->machineId);
    rebuildMachineChangesIn(t, move.toMachine);
    rebuildMachineChangesIn(t, row->machineId);
    appendAuditIn(t, audit);
    move.moved = true;
    return move;
}

PlaceholderChange addPlaceholderIn(Transaction& t, const PlaceholderValue& value,
                                   const AuditEntry& audit) {
    // Two receivers adding at once: one counts after the other has added.
    if (t.dialect() == Dialect::Postgres)
        t.run("LOCK TABLE placeholders IN SHARE ROW EXCLUSIVE MODE", {});
    const std::string v = cleanText(value.value.substr(0, kMaxPlaceholderBytes));
    if (integerOf(t, "SELECT count(*) FROM placeholders WHERE value = ?1", {v}) > 0)
        return PlaceholderChange::AlreadyThere;
    if (static_cast<std::size_t>(integerOf(t, "SELECT count(*) FROM placeholders", {})) >=
        kMaxPlaceholders)
        return PlaceholderChange::Full;
    t.run("INSERT INTO placeholders (value, added_by, added_at) VALUES (?1, ?2, ?3)",
          {v, cleanText(value.addedBy), value.addedAtMs});
    appendAuditIn(t, audit);
    return PlaceholderChange::Added;
}

bool deletePlaceholderIn(Transaction& t, const std::string& value, const AuditEntry& audit) {
    if (t.run("DELETE FROM placeholders WHERE value = ?1 RETURNING value", {cleanText(value)}) == 0)
        return false;
    appendAuditIn(t, audit);
    return true;
}

std::vector<PlaceholderValue> placeholdersIn(Transaction& t) {
    std::vector<PlaceholderValue> out;
    t.run("SELECT value, added_by, added_at FROM placeholders ORDER BY added_at, value", {},
          [&](const RowReader& row) {
              out.push_back({row.text(0), row.text(1), row.integer(2)});
          });
    return out;
}

bool addNoteIn(Transaction& t, const MachineNote& note, const AuditEntry& audit) {
    if (const std::string problem = noteProblem(note.text, note.link); !problem.empty())
        throw std::invalid_argument(problem);
    // The machine's row locked: a merge or deletion running now waits, or has finished.
    if (t.run("SELECT id FROM machines WHERE id = ?1" +
                  std::string(t.dialect() == Dialect::Postgres ? " FOR SHARE" : ""),
              {note.machineId}) == 0)
        return false;
    t.run("INSERT INTO machine_notes (machine_id, at, author, text, link) "
          "VALUES (?1, ?2, ?3, ?4, ?5)",
          {note.machineId, note.atMs, cleanText(note.author), cleanText(note.text),
           cleanText(note.link)});
    appendAuditIn(t, audit);
    return true;
}

std::vector<MachineNote> notesIn(Transaction& t, std::int64_t machineId) {
    std::vector<MachineNote> out;
    t.run("SELECT id, machine_id, at, author, text, link FROM machine_notes "
          "WHERE machine_id = ?1 ORDER BY id",
          {machineId}, [&](const RowReader& row) {
              out.push_back({row.integer(0), row.integer(1), row.integer(2), row.text(3),
                             row.text(4), row.text(5)});
          });
    return out;
}

}  // namespace detail
}  // namespace gravelin::storage
