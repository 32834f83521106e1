// A store in memory for the console's handler tests: the same contract as the real engines
// in the simplest form (no persistence), so that the handler's tests run without a database.
// The same tests also run against SQLite and PostgreSQL (ConsoleTesting.h).
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>
#include <variant>

#include "reading/Fingerprint.h"
#include "reading/SummaryJson.h"
#include "reading/SurveyFacets.h"
#include "receiver/storage/Store.h"
#include "receiver/storage/StoreInternal.h"

namespace gravelin::testing {

class MemoryStore : public storage::Store {
public:
    storage::AddResult addScan(const storage::NewScan& scan) override {
        std::lock_guard lock(mutex_);
        for (const auto& [id, stored] : scans_) {
            if (stored.digest == scan.sealedDigest) {
                return {id, stored.record.row.machineId, stored.record.row.receipt, true};
            }
        }
        // The key leads to its machine, or through the alias a merge left.
        std::string key = scan.identityKey;
        if (!key.empty() && !machineWithKey(key)) {
            const auto alias = aliases_.find(key);
            if (alias != aliases_.end() && machines_.count(alias->second))
                key = machines_[alias->second].identityKey;
        }
        std::int64_t machineId = key.empty() ? 0 : machineWithKey(key);
        const bool newMachine = machineId == 0;
        bool conflicting = false;
        if (machineId != 0 && !scan.fingerprint.empty()) {
            const auto latest = scans_.find(machines_[machineId].latestScanId);
            if (latest != scans_.end())
                conflicting = identity::fingerprintsConflict(latest->second.fingerprint, scan.fingerprint);
        }
        if (machineId == 0) {
            machineId = ++lastMachineId_;
            storage::MachineRow machine;
            machine.id = machineId;
            machine.identityKey = key;
            machine.identityRule = scan.identityRule;
            machine.firstSeenMs = scan.receivedAtMs;
            machines_[machineId] = machine;
        }
        const auto scanId = ++lastScanId_;
        Stored stored;
        stored.digest = scan.sealedDigest;
        stored.fingerprint = scan.fingerprint;
        auto& row = stored.record.row;
        row.id = scanId;
        row.machineId = machineId;
        row.receivedAtMs = scan.receivedAtMs;
        row.remoteAddress = scan.remoteAddress;
        row.receipt = scan.receipt;
        row.encoding = scan.encoding;
        row.identityKey = scan.identityKey;
        row.identityRule = scan.identityRule;
        row.osDescription = scan.osDescription;
        row.programName = scan.programName;
        row.programVersion = scan.programVersion;
        row.errors = scan.errors;
        row.columns = scan.columns;
        row.storedBytes = scan.reportBytes.size();
        row.conflict = conflicting ? storage::ScanConflict::Conflicting : storage::ScanConflict::None;
        stored.record.reportBytes = scan.reportBytes;
        stored.record.summaryJson = scan.summaryJson;
        scans_[scanId] = stored;
        auto& machine = machines_[machineId];
        ++machine.scanCount;
        {
            const storage::EventMachine who{machineId, scan.columns.maker, scan.columns.model,
                                            scan.columns.product};
            const storage::EventScan what{scanId, scan.receipt, scan.receivedAtMs};
            const auto enqueue = [&](std::string_view name) {
                const std::string id = storage::newEventId();
                enqueueLocked({id, std::string(name), scan.receivedAtMs,
                               storage::webhookPayload(id, name, scan.receivedAtMs, who, what)});
            };
            if (newMachine) enqueue(storage::kEventNewMachine);
            enqueue(storage::kEventNewScan);
            if (conflicting) enqueue(storage::kEventConflictingScan);
        }
        if (conflicting) return {scanId, machineId, scan.receipt, false, true};
        if (scan.receivedAtMs >= machine.lastSeenMs) {
            machine.lastSeenMs = scan.receivedAtMs;
            machine.latestScanId = scanId;
            machine.latest = scan.columns;
            machine.identityRule = scan.identityRule;
            record(scanId);
        }
        machine.firstSeenMs = std::min(machine.firstSeenMs, scan.receivedAtMs);
        return {scanId, machineId, scan.receipt, false};
    }

    std::vector<storage::AddResult> addScans(const std::vector<storage::NewScan>& scans) override {
        std::vector<storage::AddResult> results;
        for (const auto& scan : scans) results.push_back(addScan(scan));
        return results;
    }

    std::vector<storage::ScanRow> scans(std::optional<std::int64_t> machineId, std::uint32_t limit,
                                        std::uint64_t offset) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::ScanRow> rows;
        for (auto it = scans_.rbegin(); it != scans_.rend(); ++it) {
            if (!machineId || it->second.record.row.machineId == *machineId) {
                rows.push_back(it->second.record.row);
            }
        }
        if (offset >= rows.size()) return {};
        rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(offset));
        if (rows.size() > limit) rows.resize(limit);
        return rows;
    }

    std::optional<storage::ScanRecord> scan(std::int64_t scanId) override {
        std::lock_guard lock(mutex_);
        const auto it = scans_.find(scanId);
        if (it == scans_.end()) return std::nullopt;
        return it->second.record;
    }

    std::vector<storage::ScanRow> scansWithReceipt(const std::string& receipt) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::ScanRow> rows;
        for (auto it = scans_.rbegin(); it != scans_.rend(); ++it) {
            if (it->second.record.row.receipt == receipt) rows.push_back(it->second.record.row);
        }
        return rows;
    }

    std::optional<storage::MachineRow> machine(std::int64_t machineId) override {
        std::lock_guard lock(mutex_);
        const auto it = machines_.find(machineId);
        if (it == machines_.end()) return std::nullopt;
        return it->second;
    }

    storage::MachinePage machines(const storage::MachineQuery& query) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::MachineRow> rows;
        // Every term a substring of some text column, as the engines match.
        std::vector<std::string> terms;
        {
            std::istringstream words(lower(query.search));
            for (std::string word; words >> word;) terms.push_back(word);
        }
        for (const auto& [id, m] : machines_) {
            std::string haystack;
            for (const auto& field : storage::kScanColumnFields) {
                if (const auto* member = std::get_if<std::string storage::ScanColumns::*>(&field.member))
                    haystack += lower(m.latest.**member) + "\n";
            }
            const bool all = std::all_of(terms.begin(), terms.end(), [&](const std::string& term) {
                return haystack.find(term) != std::string::npos;
            });
            if (query.lastSeenBeforeMs != 0 && m.lastSeenMs >= query.lastSeenBeforeMs) continue;
            if (!query.facets.empty()) {
                const auto values = currentFacets(id);
                const bool match = values && std::all_of(query.facets.begin(), query.facets.end(), [&](const auto& f) {
                    return lower(report::survey::facet(*values, f.first)) == lower(f.second);
                });
                if (!match) continue;
            }
            if (all) rows.push_back(m);
        }
        // The engines' order: the sort value (texts byte by byte), then the id.
        const auto before = [&](const storage::MachineKey& a, const storage::MachineKey& b) {
            const auto ka = std::tie(a.value, a.id);
            const auto kb = std::tie(b.value, b.id);
            return query.descending ? kb < ka : ka < kb;
        };
        std::sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
            return before(storage::keyOf(a, query.sort), storage::keyOf(b, query.sort));
        });
        storage::MachinePage page;
        page.total = rows.size();
        using storage::PageFrom;
        std::size_t first = 0, last = rows.size();  // the rows the page may take: [first, last)
        if (query.from == PageFrom::Start) first = std::min<std::size_t>(query.offset, rows.size());
        if (query.from == PageFrom::After || query.from == PageFrom::Before) {
            const auto at = std::partition_point(rows.begin(), rows.end(), [&](const auto& m) {
                const auto key = storage::keyOf(m, query.sort);
                return before(key, query.key) || (key.value == query.key.value && key.id == query.key.id);
            });
            const auto cut = static_cast<std::size_t>(at - rows.begin());
            if (query.from == PageFrom::After) {
                first = cut;
            } else {
                // Before the key: the rows strictly before it.
                last = static_cast<std::size_t>(
                    std::partition_point(rows.begin(), rows.end(),
                                         [&](const auto& m) { return before(storage::keyOf(m, query.sort), query.key); }) -
                    rows.begin());
            }
        }
        const bool fromEnd = query.from == PageFrom::Before || query.from == PageFrom::End;
        if (fromEnd) first = last - std::min<std::size_t>(last, query.limit);
        else last = std::min<std::size_t>(last, first + query.limit);
        for (std::size_t i = first; i < last; ++i) page.machines.push_back(rows[i]);
        page.moreBefore = first > 0;
        page.moreAfter = last < rows.size();
        return page;
    }

    storage::Acceptance acceptScan(std::int64_t scanId) override {
        std::lock_guard lock(mutex_);
        const auto it = scans_.find(scanId);
        if (it == scans_.end()) return storage::Acceptance::NoSuchScan;
        auto& row = it->second.record.row;
        if (row.conflict != storage::ScanConflict::Conflicting) return storage::Acceptance::NothingToAccept;
        row.conflict = storage::ScanConflict::Accepted;
        auto& machine = machines_[row.machineId];
        if (row.receivedAtMs < machine.lastSeenMs) return storage::Acceptance::Accepted;
        machine.lastSeenMs = row.receivedAtMs;
        machine.latestScanId = row.id;
        machine.latest = row.columns;
        machine.identityRule = row.identityRule;
        record(row.id);
        return storage::Acceptance::AcceptedAsLatest;
    }

    std::optional<storage::Removed> deleteMachine(std::int64_t machineId,
                                                  const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        if (!machines_.contains(machineId)) return std::nullopt;
        storage::Removed removed;
        removed.scans = static_cast<std::uint64_t>(std::erase_if(
            scans_, [&](const auto& s) { return s.second.record.row.machineId == machineId; }));
        removed.machines = 1;
        machines_.erase(machineId);
        dropOrphanChanges();
        audit_.push_back(audit);
        audit_.back().id = static_cast<std::int64_t>(audit_.size());
        audit_.back().detail = "machines=1 scans=" + std::to_string(removed.scans);
        return removed;
    }
    storage::Removed pruneMachines(std::int64_t lastSeenBeforeMs, std::uint32_t limit) override {
        std::lock_guard lock(mutex_);
        storage::Removed removed;
        for (auto it = machines_.begin(); it != machines_.end() && removed.machines < limit;) {
            if (it->second.lastSeenMs >= lastSeenBeforeMs) {
                ++it;
                continue;
            }
            const std::int64_t id = it->first;
            removed.scans += static_cast<std::uint64_t>(std::erase_if(
                scans_, [&](const auto& s) { return s.second.record.row.machineId == id; }));
            ++removed.machines;
            it = machines_.erase(it);
        }
        dropOrphanChanges();
        return removed;
    }
    std::uint64_t pruneScans(std::int64_t receivedBeforeMs, std::uint32_t limit) override {
        std::lock_guard lock(mutex_);
        std::uint64_t removed = 0;
        for (auto it = scans_.begin(); it != scans_.end() && removed < limit;) {
            const auto& row = it->second.record.row;
            auto& machine = machines_[row.machineId];
            if (row.receivedAtMs >= receivedBeforeMs || machine.latestScanId == row.id) {
                ++it;
                continue;
            }
            --machine.scanCount;
            ++removed;
            it = scans_.erase(it);
        }
        dropOrphanChanges();
        return removed;
    }
    storage::Removed prunable(const storage::PruneCutoffs& cutoffs) override {
        std::lock_guard lock(mutex_);
        const auto machinesBefore = cutoffs.machinesBeforeMs.value_or(INT64_MIN);
        const auto scansBefore = cutoffs.scansBeforeMs.value_or(INT64_MIN);
        storage::Removed counts;
        for (const auto& [id, m] : machines_) counts.machines += m.lastSeenMs < machinesBefore;
        for (const auto& [id, s] : scans_) {
            const auto& m = machines_.at(s.record.row.machineId);
            counts.scans += m.lastSeenMs < machinesBefore ||
                            (s.record.row.receivedAtMs < scansBefore && m.latestScanId != id);
        }
        for (const auto& e : audit_) counts.auditEntries += e.atMs < cutoffs.auditBeforeMs.value_or(INT64_MIN);
        return counts;
    }
    void scrub() override {}

    storage::Merge mergeMachines(std::int64_t into, std::int64_t from,
                                 const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        storage::Merge merge;
        if (into == from) {
            merge.result = storage::MergeResult::SameMachine;
            return merge;
        }
        if (!machines_.count(into) || !machines_.count(from)) return merge;
        for (auto& [id, stored] : scans_) {
            if (stored.record.row.machineId != from) continue;
            stored.record.row.machineId = into;
            ++merge.scansMoved;
        }
        for (auto& note : notes_)
            if (note.machineId == from) note.machineId = into;
        for (auto& [key, machine] : aliases_)
            if (machine == from) machine = into;
        const std::string fromKey = machines_[from].identityKey;
        machines_.erase(from);
        if (!fromKey.empty()) {
            if (machines_[into].identityKey.empty())
                machines_[into].identityKey = fromKey;
            else
                aliases_[fromKey] = into;
        }
        remake(into);
        rebuild(into);
        dropOrphanChanges();
        appendLocked(audit);
        merge.result = storage::MergeResult::Merged;
        return merge;
    }
    storage::Split splitScan(std::int64_t scanId, const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        storage::Split split;
        const auto it = scans_.find(scanId);
        if (it == scans_.end()) return split;
        auto& row = it->second.record.row;
        const std::int64_t old = row.machineId;
        if (countOf(old) <= 1) {
            split.result = storage::SplitResult::AloneAlready;
            return split;
        }
        split.machineId = ++lastMachineId_;
        machines_[split.machineId].id = split.machineId;
        row.machineId = split.machineId;
        row.conflict = storage::ScanConflict::None;
        remake(split.machineId);
        remake(old);
        rebuild(row.machineId);
        rebuild(old);
        dropOrphanChanges();
        appendLocked(audit);
        split.result = storage::SplitResult::Split;
        return split;
    }
    std::vector<storage::ConflictingScan> conflictingScans(std::uint32_t limit,
                                                           std::uint64_t offset) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::ConflictingScan> out;
        std::vector<const Stored*> found;
        for (const auto& [id, stored] : scans_)
            if (stored.record.row.conflict == storage::ScanConflict::Conflicting)
                found.push_back(&stored);
        std::sort(found.begin(), found.end(), [](const Stored* a, const Stored* b) {
            return std::make_pair(a->record.row.receivedAtMs, a->record.row.id) >
                   std::make_pair(b->record.row.receivedAtMs, b->record.row.id);
        });
        for (std::size_t i = offset; i < found.size() && out.size() < limit; ++i) {
            const auto latest = scans_.find(machines_[found[i]->record.row.machineId].latestScanId);
            out.push_back({found[i]->record.row, found[i]->fingerprint,
                           latest == scans_.end() ? std::string() : latest->second.fingerprint});
        }
        return out;
    }
    std::optional<std::int64_t> machineForKey(const std::string& key) override {
        std::lock_guard lock(mutex_);
        if (key.empty()) return std::nullopt;
        if (const auto id = machineWithKey(key)) return id;
        const auto alias = aliases_.find(key);
        if (alias != aliases_.end()) return alias->second;
        return std::nullopt;
    }
    std::vector<std::int64_t> scanIds(std::int64_t afterId, std::uint32_t limit) override {
        std::lock_guard lock(mutex_);
        std::vector<std::int64_t> ids;
        for (auto it = scans_.upper_bound(afterId); it != scans_.end() && ids.size() < limit; ++it)
            ids.push_back(it->first);
        return ids;
    }
    storage::Move moveScan(std::int64_t scanId, const std::string& identityKey,
                           const std::string& identityRule,
                           const storage::AuditEntry& audit) override {
        std::optional<std::int64_t> target = machineForKey(identityKey);
        std::lock_guard lock(mutex_);
        storage::Move move;
        const auto it = scans_.find(scanId);
        if (it == scans_.end()) return move;
        auto& row = it->second.record.row;
        move.found = true;
        move.fromMachine = move.toMachine = row.machineId;
        row.identityKey = identityKey;
        row.identityRule = identityRule;
        if (target == row.machineId) return move;
        if (!target && identityKey.empty() && countOf(row.machineId) == 1 &&
            machines_[row.machineId].identityKey.empty())
            return move;
        if (!target) {
            target = ++lastMachineId_;
            machines_[*target].id = *target;
            machines_[*target].identityKey = identityKey;
        }
        const std::int64_t from = row.machineId;
        row.machineId = *target;
        move.toMachine = *target;
        if (countOf(from) == 0)
            for (auto& note : notes_)
                if (note.machineId == from) note.machineId = *target;
        remake(*target);
        remake(from);
        rebuild(*target);
        rebuild(from);
        dropOrphanChanges();
        appendLocked(audit);
        move.moved = true;
        return move;
    }
    std::vector<storage::HardwareChange> changes(const storage::ChangeQuery& query) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::HardwareChange> out;
        for (const auto& c : changes_) {
            if (c.atMs < query.sinceMs || c.atMs >= query.untilMs) continue;
            if (query.machineId && c.machineId != *query.machineId) continue;
            if (!query.component.empty() && c.component != query.component) continue;
            if (query.kind && c.kind != *query.kind) continue;
            if (query.after && std::make_pair(c.atMs, c.id) >= *query.after) continue;
            out.push_back(c);
        }
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
            return std::make_pair(a.atMs, a.id) > std::make_pair(b.atMs, b.id);
        });
        if (out.size() > query.limit) out.resize(query.limit);
        return out;
    }
    std::vector<storage::HardwareChange> scanChanges(std::int64_t scanId) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::HardwareChange> out;
        for (const auto& c : changes_)
            if (c.scanId == scanId) out.push_back(c);
        return out;
    }
    storage::ChangeRebuild rebuildChanges(std::int64_t afterMachineId, std::uint32_t count) override {
        std::lock_guard lock(mutex_);
        storage::ChangeRebuild done;
        for (auto it = machines_.upper_bound(afterMachineId);
             it != machines_.end() && done.machines < std::max<std::uint32_t>(count, 1); ++it) {
            const auto one = rebuild(it->first);
            ++done.machines;
            done.scans += one.scans;
            done.changes += one.changes;
            done.lastMachineId = it->first;
        }
        return done;
    }
    storage::PlaceholderChange addPlaceholder(const storage::PlaceholderValue& value,
                                              const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        for (const auto& p : placeholders_)
            if (p.value == value.value) return storage::PlaceholderChange::AlreadyThere;
        if (placeholders_.size() >= storage::kMaxPlaceholders) return storage::PlaceholderChange::Full;
        placeholders_.push_back(value);
        appendLocked(audit);
        return storage::PlaceholderChange::Added;
    }
    bool deletePlaceholder(const std::string& value, const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        const auto it = std::find_if(placeholders_.begin(), placeholders_.end(),
                                     [&](const auto& p) { return p.value == value; });
        if (it == placeholders_.end()) return false;
        placeholders_.erase(it);
        appendLocked(audit);
        return true;
    }
    std::vector<storage::PlaceholderValue> placeholders() override {
        std::lock_guard lock(mutex_);
        return placeholders_;
    }
    bool addApiToken(const storage::ApiToken& token, const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        for (const auto& t : tokens_)
            if (t.name == token.name || t.tokenHash == token.tokenHash) return false;
        storage::ApiToken stored = token;
        stored.id = static_cast<std::int64_t>(tokens_.size()) + 1;
        stored.lastUsedMs = stored.revokedAtMs = 0;
        tokens_.push_back(stored);
        appendLocked(audit);
        return true;
    }
    std::vector<storage::ApiToken> apiTokens() override {
        std::lock_guard lock(mutex_);
        auto out = tokens_;
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
        return out;
    }
    std::optional<storage::ApiToken> apiTokenWithHash(const std::string& tokenHash) override {
        std::lock_guard lock(mutex_);
        for (const auto& t : tokens_)
            if (t.tokenHash == tokenHash) return t;
        return std::nullopt;
    }
    storage::TokenRevocation revokeApiToken(const std::string& name, std::int64_t atMs,
                                            const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        for (auto& t : tokens_) {
            if (t.name != name) continue;
            if (t.revokedAtMs != 0) return storage::TokenRevocation::AlreadyRevoked;
            t.revokedAtMs = atMs;
            appendLocked(audit);
            return storage::TokenRevocation::Revoked;
        }
        return storage::TokenRevocation::NoSuchToken;
    }
    void noteApiTokenUse(std::int64_t tokenId, std::int64_t atMs,
                         const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        for (auto& t : tokens_)
            if (t.id == tokenId) t.lastUsedMs = std::max(t.lastUsedMs, atMs);
        appendLocked(audit);
    }
    bool addNote(const storage::MachineNote& note, const storage::AuditEntry& audit) override {
        if (const std::string problem = storage::noteProblem(note.text, note.link); !problem.empty())
            throw std::invalid_argument(problem);
        std::lock_guard lock(mutex_);
        if (!machines_.count(note.machineId)) return false;
        notes_.push_back(note);
        notes_.back().id = static_cast<std::int64_t>(notes_.size());
        appendLocked(audit);
        return true;
    }
    std::vector<storage::MachineNote> notes(std::int64_t machineId) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::MachineNote> out;
        for (const auto& note : notes_)
            if (note.machineId == machineId) out.push_back(note);
        return out;
    }

    void putAccount(const std::string& name, const std::string& passwordHash,
                    storage::Role role) override {
        std::lock_guard lock(mutex_);
        auto& account = accounts_[name];
        if (account.id == 0) {
            account.id = ++lastAccountId_;
            account.role = role;
        }
        account.name = name;
        // A new password ends the account's sessions, as the real engines do.
        if (account.passwordHash != passwordHash) endSessions(account.id);
        account.passwordHash = passwordHash;
    }
    std::optional<storage::Account> account(const std::string& name) override {
        std::lock_guard lock(mutex_);
        const auto it = accounts_.find(name);
        if (it == accounts_.end()) return std::nullopt;
        return it->second;
    }
    std::vector<storage::Account> accounts() override {
        std::lock_guard lock(mutex_);
        std::vector<storage::Account> out;
        for (const auto& [name, account] : accounts_) out.push_back(account);
        return out;
    }
    bool setAccountRole(const std::string& name, storage::Role role) override {
        std::lock_guard lock(mutex_);
        const auto it = accounts_.find(name);
        if (it == accounts_.end()) return false;
        it->second.role = role;
        return true;
    }
    bool setAccountDisabled(const std::string& name, bool disabled) override {
        std::lock_guard lock(mutex_);
        const auto it = accounts_.find(name);
        if (it == accounts_.end()) return false;
        it->second.disabled = disabled;
        if (disabled) endSessions(it->second.id);
        return true;
    }
    bool deleteAccount(const std::string& name) override {
        std::lock_guard lock(mutex_);
        const auto it = accounts_.find(name);
        if (it == accounts_.end()) return false;
        endSessions(it->second.id);
        accounts_.erase(it);
        return true;
    }
    void noteSignIn(std::int64_t accountId, std::int64_t atMs) override {
        std::lock_guard lock(mutex_);
        for (auto& [name, account] : accounts_)
            if (account.id == accountId) account.lastSignInMs = atMs;
    }
    void putSession(const storage::Session& session) override {
        std::lock_guard lock(mutex_);
        sessions_[session.tokenHash] = session;
    }
    std::optional<storage::Session> session(const std::string& tokenHash) override {
        std::lock_guard lock(mutex_);
        const auto it = sessions_.find(tokenHash);
        if (it == sessions_.end()) return std::nullopt;
        storage::Session found = it->second;
        for (const auto& [name, account] : accounts_) {
            if (account.id != found.accountId) continue;
            if (account.disabled) return std::nullopt;
            found.accountName = name;
            found.role = account.role;
        }
        return found;
    }

    std::int64_t addWebhook(const storage::Webhook& hook, const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        storage::Webhook stored = hook;
        stored.id = ++lastHookId_;
        hooks_.push_back(stored);
        storage::AuditEntry entry = audit;
        entry.target = "webhook " + std::to_string(stored.id);
        appendLocked(entry);
        return stored.id;
    }
    std::vector<storage::Webhook> webhooks() override {
        std::lock_guard lock(mutex_);
        return hooks_;
    }
    bool deleteWebhook(std::int64_t id, const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        const auto gone = std::remove_if(hooks_.begin(), hooks_.end(),
                                         [&](const auto& h) { return h.id == id; });
        if (gone == hooks_.end()) return false;
        hooks_.erase(gone, hooks_.end());
        std::erase_if(deliveries_, [&](const auto& d) { return d.hookId == id; });
        appendLocked(audit);
        return true;
    }
    std::vector<storage::WebhookDelivery> webhookDeliveries(std::optional<std::int64_t> hookId,
                                                            std::uint32_t limit) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::WebhookDelivery> out;
        for (auto it = deliveries_.rbegin(); it != deliveries_.rend() && out.size() < limit; ++it)
            if (!hookId || it->hookId == *hookId) out.push_back(*it);
        return out;
    }
    bool retryDelivery(std::int64_t id, std::int64_t nowMs, const storage::AuditEntry& audit) override {
        std::lock_guard lock(mutex_);
        for (auto& d : deliveries_) {
            if (d.id != id || d.state != storage::DeliveryState::Failed) continue;
            d.state = storage::DeliveryState::Pending;
            d.attempts = 0;
            d.nextAttemptAtMs = nowMs;
            windowStart_[id] = nowMs;
            appendLocked(audit);
            return true;
        }
        return false;
    }
    std::vector<storage::WebhookDelivery> claimDeliveries(std::int64_t nowMs, std::int64_t leaseMs,
                                                          std::uint32_t limit) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::WebhookDelivery> out;
        for (auto& d : deliveries_) {
            if (out.size() >= limit) break;
            if (d.state != storage::DeliveryState::Pending || d.nextAttemptAtMs > nowMs ||
                d.leaseUntilMs > nowMs)
                continue;
            d.leaseUntilMs = nowMs + leaseMs;
            ++d.attempts;
            storage::WebhookDelivery claimed = d;
            for (const auto& h : hooks_)
                if (h.id == d.hookId) {
                    claimed.url = h.url;
                    claimed.secret = h.secret;
                }
            out.push_back(claimed);
        }
        return out;
    }
    bool finishDelivery(const storage::DeliveryAttempt& attempt) override {
        std::lock_guard lock(mutex_);
        for (auto& d : deliveries_) {
            if (d.id != attempt.deliveryId || d.state != storage::DeliveryState::Pending ||
                d.leaseUntilMs != attempt.leaseUntilMs)
                continue;
            d.leaseUntilMs = 0;
            d.lastStatus = attempt.status;
            d.lastError = attempt.error;
            if (attempt.delivered()) {
                d.state = storage::DeliveryState::Delivered;
                d.deliveredAtMs = attempt.atMs;
            } else if (const auto next =
                           storage::nextAttemptAt(windowStart_[d.id], d.attempts, attempt.atMs)) {
                d.nextAttemptAtMs = *next;
            } else {
                d.state = storage::DeliveryState::Failed;
            }
            return true;
        }
        return false;
    }
    std::size_t enqueueEvent(const storage::WebhookEvent& event) override {
        std::lock_guard lock(mutex_);
        return enqueueLocked(event);
    }

    void appendAudit(const storage::AuditEntry& entry) override {
        std::lock_guard lock(mutex_);
        appendLocked(entry);
    }
    std::vector<storage::AuditEntry> auditEntries(const storage::AuditQuery& query) override {
        std::lock_guard lock(mutex_);
        std::vector<storage::AuditEntry> out;
        for (auto it = audit_.rbegin(); it != audit_.rend() && out.size() < query.limit; ++it) {
            if (it->atMs < query.sinceMs || it->atMs >= query.untilMs) continue;
            if (!query.actor.empty() && it->actor != query.actor) continue;
            if (!query.action.empty() && it->action != query.action) continue;
            if (query.beforeId > 0 && it->id >= query.beforeId) continue;
            out.push_back(*it);
        }
        return out;
    }
    std::uint64_t pruneAudit(std::int64_t beforeMs, std::uint32_t limit) override {
        std::lock_guard lock(mutex_);
        std::uint32_t removed = 0;
        return static_cast<std::uint64_t>(std::erase_if(audit_, [&](const storage::AuditEntry& e) {
            return e.atMs < beforeMs && removed++ < limit;
        }));
    }
    bool putSummary(std::int64_t scanId, const std::string& summaryJson) override {
        std::lock_guard lock(mutex_);
        const auto it = scans_.find(scanId);
        if (it == scans_.end()) return false;
        it->second.record.summaryJson = summaryJson;
        return true;
    }

    bool refreshColumns(std::int64_t scanId, const storage::ScanColumns& columns) override {
        std::lock_guard lock(mutex_);
        const auto it = scans_.find(scanId);
        if (it == scans_.end()) return false;
        it->second.record.row.columns = columns;
        auto& machine = machines_[it->second.record.row.machineId];
        if (machine.latestScanId == scanId) machine.latest = columns;
        return true;
    }

    void dropSession(const std::string& tokenHash) override {
        std::lock_guard lock(mutex_);
        sessions_.erase(tokenHash);
    }

    std::string consoleKey(const std::string& candidate) override {
        std::lock_guard lock(mutex_);
        if (consoleKey_.empty()) consoleKey_ = candidate;
        return consoleKey_;
    }
    // Counted from the scans at each call: nothing is kept that could disagree.
    std::optional<std::vector<storage::SurveyCount>> surveyCounts(std::int64_t monthStartMs) override {
        std::lock_guard lock(mutex_);
        const std::int64_t month = storage::detail::monthOf(monthStartMs);
        std::map<std::pair<std::size_t, std::string>, std::uint64_t> counts;
        for (const auto& [key, scan] : members()) {
            if (key.second != month) continue;
            const auto values = facetsOf(*scan);
            for (std::size_t d = 0; d < report::survey::kDimensionCount; ++d) ++counts[{d, values[d]}];
        }
        std::vector<storage::SurveyCount> out;
        for (const auto& [key, n] : counts)
            out.push_back({static_cast<report::survey::Dimension>(key.first), key.second, n});
        return out;
    }
    storage::SurveyRecount recountSurvey() override { return {}; }
    void probe() override {}
    std::string describe() const override { return "memory"; }

private:
    void endSessions(std::int64_t accountId) {
        std::erase_if(sessions_, [&](const auto& s) { return s.second.accountId == accountId; });
    }
    void appendLocked(const storage::AuditEntry& entry) {
        audit_.push_back(entry);
        audit_.back().id = static_cast<std::int64_t>(audit_.size());
    }
    std::int64_t machineWithKey(const std::string& key) const {
        for (const auto& [id, machine] : machines_)
            if (machine.identityKey == key) return id;
        return 0;
    }
    std::size_t countOf(std::int64_t machineId) const {
        std::size_t n = 0;
        for (const auto& [id, stored] : scans_) n += stored.record.row.machineId == machineId;
        return n;
    }
    // The machine's fields made again from its scans, as the engines do; deleted when empty.
    void remake(std::int64_t machineId) {
        const storage::ScanRow* latest = nullptr;
        std::vector<const storage::ScanRow*> rows;
        for (const auto& [id, stored] : scans_)
            if (stored.record.row.machineId == machineId) rows.push_back(&stored.record.row);
        if (rows.empty()) {
            machines_.erase(machineId);
            return;
        }
        const auto rank = [](const storage::ScanRow* r) {
            return std::make_tuple(r->conflict != storage::ScanConflict::Conflicting,
                                   r->receivedAtMs, r->id);
        };
        bool anySettled = false;
        for (const auto* r : rows) {
            if (!latest || rank(r) > rank(latest)) latest = r;
            anySettled = anySettled || r->conflict != storage::ScanConflict::Conflicting;
        }
        auto& m = machines_[machineId];
        m.scanCount = rows.size();
        m.latestScanId = latest->id;
        m.latest = latest->columns;
        m.identityRule = latest->identityRule;
        m.firstSeenMs = INT64_MAX;
        m.lastSeenMs = 0;
        for (const auto* r : rows) {
            if (anySettled && r->conflict == storage::ScanConflict::Conflicting) continue;
            m.firstSeenMs = std::min(m.firstSeenMs, r->receivedAtMs);
            m.lastSeenMs = std::max(m.lastSeenMs, r->receivedAtMs);
        }
    }
    static std::string lower(std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }
    std::size_t enqueueLocked(const storage::WebhookEvent& event) {
        std::size_t queued = 0;
        for (const auto& h : hooks_) {
            if (!h.enabled || std::find(h.events.begin(), h.events.end(), event.name) == h.events.end())
                continue;
            storage::WebhookDelivery d;
            d.id = ++lastDeliveryId_;
            d.hookId = h.id;
            d.eventId = event.id;
            d.event = event.name;
            d.payload = event.payload;
            d.createdAtMs = d.nextAttemptAtMs = windowStart_[d.id] = event.atMs;
            deliveries_.push_back(d);
            ++queued;
        }
        return queued;
    }
    struct Stored {
        std::string digest, fingerprint;
        storage::ScanRecord record;
    };
    // The records of a scan that is its machine's latest, against the latest before it.
    void record(std::int64_t scanId) {
        const auto& row = scans_.at(scanId).record.row;
        const Stored* previous = nullptr;
        for (const auto& [id, stored] : scans_) {
            const auto& r = stored.record.row;
            if (id == scanId || r.machineId != row.machineId ||
                r.conflict == storage::ScanConflict::Conflicting)
                continue;
            if (std::make_pair(r.receivedAtMs, r.id) > std::make_pair(row.receivedAtMs, row.id))
                continue;
            if (!previous || std::make_pair(r.receivedAtMs, r.id) >
                                 std::make_pair(previous->record.row.receivedAtMs,
                                                previous->record.row.id))
                previous = &stored;
        }
        std::erase_if(changes_, [&](const auto& c) { return c.scanId == scanId; });
        if (previous) append(*previous, scans_.at(scanId));
    }
    std::size_t append(const Stored& before, const Stored& after) {
        auto records =
            storage::changeRecords(before.record.summaryJson, after.record.summaryJson);
        for (auto& c : records) {
            c.id = ++lastChangeId_;
            c.machineId = after.record.row.machineId;
            c.scanId = after.record.row.id;
            c.previousScanId = before.record.row.id;
            c.atMs = after.record.row.receivedAtMs;
            changes_.push_back(c);
        }
        return records.size();
    }
    storage::ChangeRebuild rebuild(std::int64_t machineId) {
        storage::ChangeRebuild done;
        std::erase_if(changes_, [&](const auto& c) { return c.machineId == machineId; });
        std::vector<const Stored*> chain;
        for (const auto& [id, stored] : scans_)
            if (stored.record.row.machineId == machineId &&
                stored.record.row.conflict != storage::ScanConflict::Conflicting)
                chain.push_back(&stored);
        std::sort(chain.begin(), chain.end(), [](const Stored* a, const Stored* b) {
            return std::make_pair(a->record.row.receivedAtMs, a->record.row.id) <
                   std::make_pair(b->record.row.receivedAtMs, b->record.row.id);
        });
        for (std::size_t i = 0; i < chain.size(); ++i) {
            ++done.scans;
            if (i > 0) done.changes += append(*chain[i - 1], *chain[i]);
        }
        std::sort(changes_.begin(), changes_.end(),
                  [](const auto& a, const auto& b) { return a.id < b.id; });
        return done;
    }
    // Records go with their machine and their scan; the scan compared with is forgotten.
    void dropOrphanChanges() {
        std::erase_if(changes_, [&](const auto& c) {
            return !machines_.contains(c.machineId) || !scans_.contains(c.scanId);
        });
        for (auto& c : changes_)
            if (!scans_.contains(c.previousScanId)) c.previousScanId = 0;
    }
    // Each machine's latest scan of each month that is not conflicting.
    std::map<std::pair<std::int64_t, std::int64_t>, const Stored*> members() const {
        std::map<std::pair<std::int64_t, std::int64_t>, const Stored*> latest;
        for (const auto& [id, stored] : scans_) {
            const auto& row = stored.record.row;
            if (row.conflict == storage::ScanConflict::Conflicting) continue;
            auto& chosen = latest[{row.machineId, storage::detail::monthOf(row.receivedAtMs)}];
            if (!chosen || std::tie(row.receivedAtMs, row.id) >
                               std::tie(chosen->record.row.receivedAtMs, chosen->record.row.id))
                chosen = &stored;
        }
        return latest;
    }
    static report::survey::Facets facetsOf(const Stored& scan) {
        return report::survey::facetsOf(report::summaryFromJsonText(scan.record.summaryJson));
    }
    // The values of the machine's latest counted scan of its newest month.
    std::optional<report::survey::Facets> currentFacets(std::int64_t machineId) const {
        const Stored* newest = nullptr;
        for (const auto& [key, scan] : members())
            if (key.first == machineId) newest = scan;  // months ascend
        if (!newest) return std::nullopt;
        return facetsOf(*newest);
    }
    std::mutex mutex_;
    std::string consoleKey_;
    std::map<std::int64_t, Stored> scans_;
    std::map<std::int64_t, storage::MachineRow> machines_;
    std::map<std::string, storage::Account> accounts_;
    std::map<std::string, storage::Session> sessions_;
    std::int64_t lastAccountId_ = 0, lastMachineId_ = 0, lastScanId_ = 0;
    std::map<std::string, std::int64_t> aliases_;
    std::vector<storage::PlaceholderValue> placeholders_;
    std::vector<storage::ApiToken> tokens_;
    std::vector<storage::MachineNote> notes_;
    std::vector<storage::AuditEntry> audit_;
    std::vector<storage::Webhook> hooks_;
    std::vector<storage::WebhookDelivery> deliveries_;
    std::map<std::int64_t, std::int64_t> windowStart_;
    std::int64_t lastHookId_ = 0, lastDeliveryId_ = 0;
    std::vector<storage::HardwareChange> changes_;  // in id order
    std::int64_t lastChangeId_ = 0;
};

}  // namespace gravelin::testing
