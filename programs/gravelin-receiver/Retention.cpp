// gravelin-receiver prune: removing data from the command line, as retention would in the
// background of serve. It records what it removed in the audit log as cli:USER. (Deleting one
// machine on request is `machine delete`, in Machines.cpp.)
#include "receiver/storage/Retention.h"

#include <iostream>
#include <stdexcept>
#include <string>

#include "programs/gravelin-receiver/Commands.h"

namespace gravelin::server {

namespace {

struct PruneOptions {
    StoreChoice store;
    RetentionChoice keep;
    bool dryRun = false;
};

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string counts(const storage::Removed& r) {
    return std::to_string(r.machines) + " machines, " + std::to_string(r.scans) + " scans, " +
           std::to_string(r.auditEntries) + " audit entries";
}

int runPrune(const PruneOptions& options) {
    const storage::RetentionPolicy policy = retentionPolicy(options.keep);
    if (!options.keep.scans && !options.keep.machines && !options.keep.audit)
        throw UsageError("prune needs --keep-scans, --keep-machines or --keep-audit DAYS");
    auto store = openStore(options.store);
    const std::int64_t now = nowMs();
    const storage::PruneCutoffs cutoffs = storage::cutoffsAt(policy, now);
    if (options.dryRun) {
        std::cout << "would remove " << counts(store->prunable(cutoffs)) << "\n";
        return 0;
    }
    const auto entry = commandAuditEntry(storage::audit::kPruned, {});
    std::cout << "removed " << counts(storage::pruneAll(*store, cutoffs, entry.actor, now)) << "\n";
    return 0;
}

}  // namespace

void addRetentionOptions(CLI::App& command, RetentionChoice& keep) {
    const auto days = [&](const char* name, std::optional<std::uint64_t>& value, const char* help,
                          std::uint64_t lowest) {
        command.add_option(name, value, help)->option_text("DAYS")->check(wholeNumber(lowest));
    };
    days("--keep-scans", keep.scans, "remove scans older than DAYS, but never a machine's latest",
         1);
    days("--keep-machines", keep.machines,
         "remove machines not seen for DAYS, with all their scans", 1);
    days("--keep-audit", keep.audit, "remove audit entries older than DAYS; 0 keeps them [400]", 0);
}

storage::RetentionPolicy retentionPolicy(const RetentionChoice& keep) {
    static constexpr std::uint64_t kLongest = 100000;  // about 270 years: more is for ever
    const auto days = [](std::optional<std::uint64_t> value) -> std::optional<std::uint32_t> {
        if (!value || *value == 0) return std::nullopt;
        return static_cast<std::uint32_t>(std::min(*value, kLongest));
    };
    return {days(keep.scans), days(keep.machines), days(keep.audit.value_or(400))};
}

void addRetention(CLI::App& program, Command& chosen) {
    auto* prune = program.add_subcommand(
        "prune",
        "Removes scans and machines older than the days given, as serve does in the "
        "background; --dry-run only counts them");
    auto pruning = std::make_shared<PruneOptions>();
    addStoreOptions(*prune, pruning->store);
    addRetentionOptions(*prune, pruning->keep);
    prune->add_flag("--dry-run", pruning->dryRun, "count what would be removed, remove nothing")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    prune->callback([prune, pruning, &chosen] {
        chosen = [prune, pruning] {
            refuseExtras(*prune);
            return runPrune(*pruning);
        };
    });
}

}  // namespace gravelin::server
