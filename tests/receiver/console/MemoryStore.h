// A store in memory for the console's handler tests: the same contract as the real engines
// in the simplest form (no persistence), so that the handler's tests run without a database.
// The same tests also run against SQLite and PostgreSQL (ConsoleTesting.h).
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <sstream>
#include <variant>

#include "reading/Fingerprint.h"
#include "receiver/storage/Store.h"

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
        std::int64_t machineId = 0;
        if (!scan.identityKey.empty()) {
            for (const auto& [id, machine] : machines_) {
                if (machine.identityKey == scan.identityKey) machineId = id;
            }
        }
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
            machine.identityKey = scan.identityKey;
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
        if (conflicting) return {scanId, machineId, scan.receipt, false, true};
        if (scan.receivedAtMs >= machine.lastSeenMs) {
            machine.lastSeenMs = scan.receivedAtMs;
            machine.latestScanId = scanId;
            machine.latest = scan.columns;
            machine.identityRule = scan.identityRule;
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
            if (all) rows.push_back(m);
        }
        const auto key = [&](const storage::MachineRow& m) {
            using S = storage::MachineSort;
            switch (query.sort) {
                case S::Maker: return lower(m.latest.maker);
                case S::Model: return lower(m.latest.model);
                case S::Processor: return lower(m.latest.processor);
                case S::Disks: return lower(m.latest.disks);
                case S::Os: return lower(m.latest.os);
                default: return std::string();
            }
        };
        const auto number = [&](const storage::MachineRow& m) -> std::int64_t {
            using S = storage::MachineSort;
            switch (query.sort) {
                case S::Cores: return m.latest.cores;
                case S::Memory: return static_cast<std::int64_t>(m.latest.memoryBytes);
                case S::Scans: return static_cast<std::int64_t>(m.scanCount);
                case S::LastSeen: return m.lastSeenMs;
                default: return 0;
            }
        };
        std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
            const auto ka = std::make_tuple(key(a), number(a), a.id);
            const auto kb = std::make_tuple(key(b), number(b), b.id);
            return query.descending ? kb < ka : ka < kb;
        });
        storage::MachinePage page;
        page.total = rows.size();
        for (std::uint64_t i = query.offset; i < rows.size() && page.machines.size() < query.limit; ++i) {
            page.machines.push_back(rows[i]);
        }
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

    void appendAudit(const storage::AuditEntry& entry) override {
        std::lock_guard lock(mutex_);
        audit_.push_back(entry);
        audit_.back().id = static_cast<std::int64_t>(audit_.size());
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
    void probe() override {}
    std::string describe() const override { return "memory"; }

private:
    void endSessions(std::int64_t accountId) {
        std::erase_if(sessions_, [&](const auto& s) { return s.second.accountId == accountId; });
    }
    static std::string lower(std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }
    struct Stored {
        std::string digest, fingerprint;
        storage::ScanRecord record;
    };
    std::mutex mutex_;
    std::string consoleKey_;
    std::map<std::int64_t, Stored> scans_;
    std::map<std::int64_t, storage::MachineRow> machines_;
    std::map<std::string, storage::Account> accounts_;
    std::map<std::string, storage::Session> sessions_;
    std::int64_t lastAccountId_ = 0, lastMachineId_ = 0, lastScanId_ = 0;
    std::vector<storage::AuditEntry> audit_;
};

}  // namespace gravelin::testing
