#include "receiver/storage/FailureLog.h"

#include <string_view>
#include <utility>

namespace gravelin::storage {

const char* failureKindName(FailureKind kind) {
    switch (kind) {
    case FailureKind::Unreachable: return "unreachable";
    case FailureKind::Timeout: return "timeout";
    case FailureKind::DiskFull: return "disk_full";
    case FailureKind::Damaged: return "damaged";
    case FailureKind::Descriptors: return "out_of_descriptors";
    case FailureKind::Busy: return "busy";
    case FailureKind::Other: return "other";
    }
    return "other";
}

namespace {

// Library messages may span lines (libpq's do): a log line stays one line.
std::string oneLine(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) continue;
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

FailureLog::FailureLog(std::ostream& out, std::chrono::seconds interval,
                       std::function<Clock::time_point()> clock)
    : out_(out), interval_(interval), clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return Clock::now(); };
}

void FailureLog::record(const StorageUnavailable& failure) {
    const auto now = clock_();
    std::lock_guard lock(mutex_);
    PerKind& k = kinds_[failure.kind()];
    ++k.count;
    if (k.logged && now - k.lastLine < interval_) {
        ++k.suppressed;
        return;
    }
    std::string line = std::string("gravelin-receiver: storage failure (") +
                       failureKindName(failure.kind()) + "): " + oneLine(failure.what());
    if (k.suppressed > 0)
        line += " (" + std::to_string(k.suppressed) + " more of this kind since the last line)";
    out_ << line << std::endl;
    k.logged = true;
    k.lastLine = now;
    k.suppressed = 0;
}

std::map<std::string, std::uint64_t> FailureLog::counts() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, std::uint64_t> out;
    for (const auto& [kind, k] : kinds_) out[failureKindName(kind)] = k.count;
    return out;
}

namespace {

class LoggingStore final : public Store {
public:
    LoggingStore(std::unique_ptr<Store> inner, FailureLog& log) : inner_(std::move(inner)), log_(log) {}

    AddResult addScan(const NewScan& scan) override {
        return logged([&] { return inner_->addScan(scan); });
    }
    std::vector<AddResult> addScans(const std::vector<NewScan>& scans) override {
        return logged([&] { return inner_->addScans(scans); });
    }
    std::vector<ScanRow> scans(std::optional<std::int64_t> machineId, std::uint32_t limit,
                               std::uint64_t offset) override {
        return logged([&] { return inner_->scans(machineId, limit, offset); });
    }
    std::optional<ScanRecord> scan(std::int64_t scanId) override {
        return logged([&] { return inner_->scan(scanId); });
    }
    std::vector<ScanRow> scansWithReceipt(const std::string& receipt) override {
        return logged([&] { return inner_->scansWithReceipt(receipt); });
    }
    std::optional<MachineRow> machine(std::int64_t machineId) override {
        return logged([&] { return inner_->machine(machineId); });
    }
    MachinePage machines(const MachineQuery& query) override {
        return logged([&] { return inner_->machines(query); });
    }
    Acceptance acceptScan(std::int64_t scanId) override {
        return logged([&] { return inner_->acceptScan(scanId); });
    }
    std::optional<Removed> deleteMachine(std::int64_t machineId, const AuditEntry& audit) override {
        return logged([&] { return inner_->deleteMachine(machineId, audit); });
    }
    Removed pruneMachines(std::int64_t lastSeenBeforeMs, std::uint32_t limit) override {
        return logged([&] { return inner_->pruneMachines(lastSeenBeforeMs, limit); });
    }
    std::uint64_t pruneScans(std::int64_t receivedBeforeMs, std::uint32_t limit) override {
        return logged([&] { return inner_->pruneScans(receivedBeforeMs, limit); });
    }
    Removed prunable(const PruneCutoffs& cutoffs) override {
        return logged([&] { return inner_->prunable(cutoffs); });
    }
    void scrub() override {
        logged([&] {
            inner_->scrub();
            return 0;
        });
    }
    std::int64_t addWebhook(const Webhook& hook, const AuditEntry& audit) override {
        return logged([&] { return inner_->addWebhook(hook, audit); });
    }
    std::vector<Webhook> webhooks() override {
        return logged([&] { return inner_->webhooks(); });
    }
    bool deleteWebhook(std::int64_t id, const AuditEntry& audit) override {
        return logged([&] { return inner_->deleteWebhook(id, audit); });
    }
    std::vector<WebhookDelivery> webhookDeliveries(std::optional<std::int64_t> hookId,
                                                   std::uint32_t limit) override {
        return logged([&] { return inner_->webhookDeliveries(hookId, limit); });
    }
    bool retryDelivery(std::int64_t id, std::int64_t nowMs, const AuditEntry& audit) override {
        return logged([&] { return inner_->retryDelivery(id, nowMs, audit); });
    }
    std::vector<WebhookDelivery> claimDeliveries(std::int64_t nowMs, std::int64_t leaseMs,
                                                 std::uint32_t limit) override {
        return logged([&] { return inner_->claimDeliveries(nowMs, leaseMs, limit); });
    }
    bool finishDelivery(const DeliveryAttempt& attempt) override {
        return logged([&] { return inner_->finishDelivery(attempt); });
    }
    std::size_t enqueueEvent(const WebhookEvent& event) override {
        return logged([&] { return inner_->enqueueEvent(event); });
    }
    Merge mergeMachines(std::int64_t into, std::int64_t from, const AuditEntry& audit) override {
        return logged([&] { return inner_->mergeMachines(into, from, audit); });
    }
    Split splitScan(std::int64_t scanId, const AuditEntry& audit) override {
        return logged([&] { return inner_->splitScan(scanId, audit); });
    }
    std::vector<ConflictingScan> conflictingScans(std::uint32_t limit,
                                                  std::uint64_t offset) override {
        return logged([&] { return inner_->conflictingScans(limit, offset); });
    }
    std::optional<std::int64_t> machineForKey(const std::string& key) override {
        return logged([&] { return inner_->machineForKey(key); });
    }
    std::vector<std::int64_t> scanIds(std::int64_t afterId, std::uint32_t limit) override {
        return logged([&] { return inner_->scanIds(afterId, limit); });
    }
    Move moveScan(std::int64_t scanId, const std::string& identityKey,
                  const std::string& identityRule, const AuditEntry& audit) override {
        return logged([&] { return inner_->moveScan(scanId, identityKey, identityRule, audit); });
    }
    PlaceholderChange addPlaceholder(const PlaceholderValue& value,
                                     const AuditEntry& audit) override {
        return logged([&] { return inner_->addPlaceholder(value, audit); });
    }
    bool deletePlaceholder(const std::string& value, const AuditEntry& audit) override {
        return logged([&] { return inner_->deletePlaceholder(value, audit); });
    }
    std::vector<PlaceholderValue> placeholders() override {
        return logged([&] { return inner_->placeholders(); });
    }
    bool addApiToken(const ApiToken& token, const AuditEntry& audit) override {
        return logged([&] { return inner_->addApiToken(token, audit); });
    }
    std::vector<ApiToken> apiTokens() override {
        return logged([&] { return inner_->apiTokens(); });
    }
    std::optional<ApiToken> apiTokenWithHash(const std::string& tokenHash) override {
        return logged([&] { return inner_->apiTokenWithHash(tokenHash); });
    }
    TokenRevocation revokeApiToken(const std::string& name, std::int64_t atMs,
                                   const AuditEntry& audit) override {
        return logged([&] { return inner_->revokeApiToken(name, atMs, audit); });
    }
    void noteApiTokenUse(std::int64_t tokenId, std::int64_t atMs,
                         const AuditEntry& audit) override {
        logged([&] { inner_->noteApiTokenUse(tokenId, atMs, audit); });
    }
    bool addNote(const MachineNote& note, const AuditEntry& audit) override {
        return logged([&] { return inner_->addNote(note, audit); });
    }
    std::vector<MachineNote> notes(std::int64_t machineId) override {
        return logged([&] { return inner_->notes(machineId); });
    }
    std::vector<HardwareChange> changes(const ChangeQuery& query) override {
        return logged([&] { return inner_->changes(query); });
    }
    std::vector<HardwareChange> scanChanges(std::int64_t scanId) override {
        return logged([&] { return inner_->scanChanges(scanId); });
    }
    ChangeRebuild rebuildChanges(std::int64_t afterMachineId, std::uint32_t machines) override {
        return logged([&] { return inner_->rebuildChanges(afterMachineId, machines); });
    }
    void putAccount(const std::string& name, const std::string& passwordHash,
                    Role role) override {
        logged([&] {
            inner_->putAccount(name, passwordHash, role);
            return 0;
        });
    }
    std::optional<Account> account(const std::string& name) override {
        return logged([&] { return inner_->account(name); });
    }
    std::vector<Account> accounts() override {
        return logged([&] { return inner_->accounts(); });
    }
    bool setAccountRole(const std::string& name, Role role) override {
        return logged([&] { return inner_->setAccountRole(name, role); });
    }
    bool setAccountDisabled(const std::string& name, bool disabled) override {
        return logged([&] { return inner_->setAccountDisabled(name, disabled); });
    }
    bool deleteAccount(const std::string& name) override {
        return logged([&] { return inner_->deleteAccount(name); });
    }
    void noteSignIn(std::int64_t accountId, std::int64_t atMs) override {
        logged([&] {
            inner_->noteSignIn(accountId, atMs);
            return 0;
        });
    }
    void appendAudit(const AuditEntry& entry) override {
        logged([&] {
            inner_->appendAudit(entry);
            return 0;
        });
    }
    std::vector<AuditEntry> auditEntries(const AuditQuery& query) override {
        return logged([&] { return inner_->auditEntries(query); });
    }
    std::uint64_t pruneAudit(std::int64_t beforeMs, std::uint32_t limit) override {
        return logged([&] { return inner_->pruneAudit(beforeMs, limit); });
    }
    void putSession(const Session& session) override {
        logged([&] {
            inner_->putSession(session);
            return 0;
        });
    }
    std::optional<Session> session(const std::string& tokenHash) override {
        return logged([&] { return inner_->session(tokenHash); });
    }
    bool putSummary(std::int64_t scanId, const std::string& summaryJson) override {
        return logged([&] { return inner_->putSummary(scanId, summaryJson); });
    }
    bool refreshColumns(std::int64_t scanId, const ScanColumns& columns) override {
        return logged([&] { return inner_->refreshColumns(scanId, columns); });
    }
    void dropSession(const std::string& tokenHash) override {
        logged([&] {
            inner_->dropSession(tokenHash);
            return 0;
        });
    }
    std::string consoleKey(const std::string& candidate) override {
        return logged([&] { return inner_->consoleKey(candidate); });
    }
    std::optional<std::vector<SurveyCount>> surveyCounts(std::int64_t monthStartMs) override {
        return logged([&] { return inner_->surveyCounts(monthStartMs); });
    }
    SurveyRecount recountSurvey() override {
        return logged([&] { return inner_->recountSurvey(); });
    }
    void probe() override {
        logged([&] {
            inner_->probe();
            return 0;
        });
    }
    std::string describe() const override { return inner_->describe(); }

private:
    template <typename F>
    auto logged(F&& f) -> decltype(f()) {
        try {
            return f();
        } catch (const StorageUnavailable& failure) {
            log_.record(failure);
            throw;
        }
    }

    std::unique_ptr<Store> inner_;
    FailureLog& log_;
};

}  // namespace

std::unique_ptr<Store> withFailureLog(std::unique_ptr<Store> store, FailureLog& log) {
    return std::make_unique<LoggingStore>(std::move(store), log);
}

}  // namespace gravelin::storage
