// gravelin-receiver machine merge/split/delete, placeholder add/list/delete and reidentify:
// what an admin changes about machines and which machine a scan is, from the command line.
// Every change is in the audit log as cli:USER.
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/Identity.h"
#include "reading/Intake.h"
#include "reading/Placeholder.h"
#include "reading/TerminalText.h"
#include "receiver/http/Time.h"
#include "shared/CodePage.h"

namespace gravelin::server {

namespace {

using report::terminalText;

struct MachineOptions {
    StoreChoice store;
    std::vector<std::uint64_t> ids;
};

struct DeleteOptions {
    StoreChoice store;
    std::uint64_t machine = 0;
};

int deleteMachine(const DeleteOptions& options) {
    const auto id = static_cast<std::int64_t>(options.machine);
    auto store = openStore(options.store);
    const auto removed = store->deleteMachine(
        id, commandAuditEntry(storage::audit::kMachineDeleted, "machine " + std::to_string(id)));
    if (!removed) throw std::runtime_error("no machine " + std::to_string(id));
    std::cout << "machine " << id << " deleted with " << removed->scans << " scans\n";
    return 0;
}

struct PlaceholderOptions {
    StoreChoice store;
    std::string value;
};

struct ReidentifyOptions {
    StoreChoice store;
    bool dryRun = false;
};

// How many scans reidentify reads before it says how far it is, and a line at most this often.
constexpr std::uint32_t kReidentifyBatch = 500;
constexpr std::chrono::seconds kProgressEvery{2};

int mergeMachines(const MachineOptions& options) {
    if (options.ids.size() != 2) throw UsageError("expected: machine merge INTO FROM");
    const auto into = static_cast<std::int64_t>(options.ids[0]);
    const auto from = static_cast<std::int64_t>(options.ids[1]);
    auto store = openStore(options.store);
    const storage::Merge merge = store->mergeMachines(
        into, from,
        commandAuditEntry(storage::audit::kMachinesMerged, "machine " + std::to_string(into),
                          "machine " + std::to_string(from) + " merged in"));
    switch (merge.result) {
        case storage::MergeResult::SameMachine:
            throw UsageError("INTO and FROM are the same machine");
        case storage::MergeResult::NoSuchMachine:
            throw std::runtime_error("no machine " + std::to_string(into) + " or no machine " +
                                     std::to_string(from));
        case storage::MergeResult::Merged: break;
    }
    std::cout << "machine " << from << " merged into machine " << into << ": " << merge.scansMoved
              << (merge.scansMoved == 1 ? " scan" : " scans")
              << " moved; scans claiming its identity are stored as machine " << into << "'s\n";
    return 0;
}

int splitScan(const MachineOptions& options) {
    if (options.ids.size() != 1) throw UsageError("expected: machine split SCAN");
    const auto scanId = static_cast<std::int64_t>(options.ids[0]);
    auto store = openStore(options.store);
    const storage::Split split = store->splitScan(
        scanId, commandAuditEntry(storage::audit::kScanSplit, "scan " + std::to_string(scanId)));
    switch (split.result) {
        case storage::SplitResult::NoSuchScan:
            throw std::runtime_error("no scan " + std::to_string(scanId));
        case storage::SplitResult::AloneAlready:
            std::cout << "scan " << scanId
                      << " is its machine's only scan: nothing to split it from\n";
            return 0;
        case storage::SplitResult::Split: break;
    }
    std::cout << "scan " << scanId << " split off into machine " << split.machineId << "\n";
    return 0;
}

int addPlaceholder(const PlaceholderOptions& options) {
    const std::string& value = options.value;
    if (value.size() > storage::kMaxPlaceholderBytes)
        throw UsageError("a placeholder is at most " +
                         std::to_string(storage::kMaxPlaceholderBytes) + " bytes");
    if (const std::string problem = report::addedPlaceholderProblem(value); !problem.empty())
        throw UsageError(problem);
    auto store = openStore(options.store);
    const storage::AuditEntry entry =
        commandAuditEntry(storage::audit::kPlaceholderAdded, "placeholder " + value);
    switch (store->addPlaceholder({value, entry.actor, entry.atMs}, entry)) {
        case storage::PlaceholderChange::AlreadyThere:
            std::cout << "placeholder " << terminalText(value) << " is listed already\n";
            return 0;
        case storage::PlaceholderChange::Full:
            throw std::runtime_error("there are " + std::to_string(storage::kMaxPlaceholders) +
                                     " placeholders already: delete one first");
        case storage::PlaceholderChange::Added: break;
    }
    std::cout << "placeholder " << terminalText(value)
              << " added: new scans carrying it as a serial or UUID are identified without it "
                 "(run reidentify for the stored ones)\n";
    return 0;
}

int deletePlaceholder(const PlaceholderOptions& options) {
    auto store = openStore(options.store);
    if (!store->deletePlaceholder(
            options.value,
            commandAuditEntry(storage::audit::kPlaceholderDeleted, "placeholder " + options.value)))
        throw std::runtime_error("no placeholder " + terminalText(options.value));
    std::cout << "placeholder " << terminalText(options.value) << " deleted\n";
    return 0;
}

int listPlaceholders(const PlaceholderOptions& options) {
    auto store = openStore(options.store, /*readOnly=*/true);
    for (const auto& p : store->placeholders())
        std::cout << terminalText(p.value) << "\t" << terminalText(p.addedBy) << "\t"
                  << isoTime(p.addedAtMs) << "\n";
    return 0;
}

// The report of a stored scan, parsed again.
std::optional<report::IntakeResult> parsedReport(const storage::ScanRecord& record) {
    const std::string text = record.row.encoding == "windows-1252"
                                 ? windows1252().toUtf8(record.reportBytes)
                                 : record.reportBytes;
    report::IntakeResult parsed = report::receiveText(text);
    if (parsed.rejection != report::Rejection::None || !parsed.report.document) return std::nullopt;
    return parsed;
}

std::string machineName(std::optional<std::int64_t> id) {
    return id ? "machine " + std::to_string(*id) : std::string("a new machine");
}

int reidentify(const ReidentifyOptions& options) {
    auto store = openStore(options.store);
    std::vector<std::string> values;
    for (const auto& p : store->placeholders()) values.push_back(p.value);
    const report::AddedPlaceholders added(values);
    std::uint64_t read = 0, moved = 0, unreadable = 0;
    std::int64_t after = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
        const auto ids = store->scanIds(after, kReidentifyBatch);
        if (ids.empty()) break;
        for (const std::int64_t id : ids) {
            after = id;
            const auto record = store->scan(id);
            if (!record) continue;  // deleted since
            ++read;
            const auto parsed = parsedReport(*record);
            if (!parsed) {
                ++unreadable;
                continue;
            }
            const auto identity = identity::identify(*parsed->report.document, added);
            if (identity.key == record->row.identityKey) continue;
            const std::int64_t from = record->row.machineId;
            if (options.dryRun) {
                const auto to =
                    identity.key.empty() ? std::nullopt : store->machineForKey(identity.key);
                if (to == from) continue;
                std::cout << "scan " << id << ": machine " << from << " -> " << machineName(to)
                          << " (" << terminalText(identity.rule) << ")\n";
                ++moved;
                continue;
            }
            const storage::Move move = store->moveScan(
                id, identity.key, identity.rule,
                commandAuditEntry(
                    storage::audit::kScanMoved, "scan " + std::to_string(id),
                    "reidentified (" + identity.rule + ") from machine " + std::to_string(from)));
            if (!move.moved) continue;
            ++moved;
            std::cout << "scan " << id << ": machine " << move.fromMachine << " -> machine "
                      << move.toMachine << " (" << terminalText(identity.rule) << ")\n";
        }
        if (std::chrono::steady_clock::now() - lastProgress >= kProgressEvery) {
            lastProgress = std::chrono::steady_clock::now();
            std::cerr << "reidentify: " << read << " scans read, " << moved
                      << (options.dryRun ? " would move" : " moved") << ", up to scan " << after
                      << "\n";
        }
    }
    std::cout << read << " scans read, " << moved << (options.dryRun ? " would move" : " moved");
    if (unreadable > 0) std::cout << ", " << unreadable << " unreadable (left where they are)";
    std::cout << "\n";
    return 0;
}

}  // namespace

void addMachines(CLI::App& program, Command& chosen) {
    auto* machine = program.add_subcommand("machine", "Merges, splits or deletes machines");
    machine->allow_extras();
    auto merging = std::make_shared<MachineOptions>();
    auto* merge = machine->add_subcommand(
        "merge", "Moves every scan of machine FROM into machine INTO and deletes FROM");
    merge->allow_extras();
    addStoreOptions(*merge, merging->store);
    merge->add_option("IDS", merging->ids, "INTO FROM")->check(wholeNumber());
    auto splitting = std::make_shared<MachineOptions>();
    auto* split = machine->add_subcommand("split", "Takes scan SCAN into a machine of its own");
    split->allow_extras();
    addStoreOptions(*split, splitting->store);
    split->add_option("SCAN", splitting->ids, "the scan")->check(wholeNumber());
    auto removing = std::make_shared<DeleteOptions>();
    auto* removal = machine->add_subcommand(
        "delete", "Deletes machine ID with all its scans; its data is not left in the database");
    removal->allow_extras();
    addStoreOptions(*removal, removing->store);
    removal->add_option("ID", removing->machine, "the machine's number (machines lists them)")
        ->check(wholeNumber());
    machine->callback([machine, merge, split, removal, merging, splitting, removing, &chosen] {
        chosen = [machine, merge, split, removal, merging, splitting, removing] {
            if (removal->parsed()) {
                const auto extras = removal->remaining(false);
                if (!extras.empty() && extras.front().starts_with("-")) refuseExtras(*removal);
                if (!machine->remaining(false).empty() || removing->machine == 0 || !extras.empty())
                    throw UsageError("expected: machine delete ID");
                return deleteMachine(*removing);
            }
            if (merge->parsed()) {
                refuseExtras(*merge);
                return mergeMachines(*merging);
            }
            if (split->parsed()) {
                refuseExtras(*split);
                return splitScan(*splitting);
            }
            throw UsageError(
                "expected: machine merge INTO FROM | machine split SCAN | machine delete ID");
        };
    });

    auto* placeholder = program.add_subcommand(
        "placeholder", "Values that identify nothing, beyond the built-in ones");
    placeholder->allow_extras();
    auto adding = std::make_shared<PlaceholderOptions>();
    auto* add = placeholder->add_subcommand("add", "Adds VALUE");
    add->allow_extras();
    addStoreOptions(*add, adding->store);
    add->add_option("VALUE", adding->value, "a serial number or UUID that identifies nothing");
    auto deleting = std::make_shared<PlaceholderOptions>();
    auto* remove = placeholder->add_subcommand("delete", "Deletes VALUE");
    remove->allow_extras();
    addStoreOptions(*remove, deleting->store);
    remove->add_option("VALUE", deleting->value, "as listed");
    auto listing = std::make_shared<PlaceholderOptions>();
    auto* list = placeholder->add_subcommand("list", "Lists them: value, who, when");
    list->allow_extras();
    addStoreOptions(*list, listing->store);
    placeholder->callback([add, remove, list, adding, deleting, listing, &chosen] {
        chosen = [add, remove, list, adding, deleting, listing] {
            if (add->parsed()) {
                refuseExtras(*add);
                if (adding->value.empty()) throw UsageError("expected: placeholder add VALUE");
                return addPlaceholder(*adding);
            }
            if (remove->parsed()) {
                refuseExtras(*remove);
                if (deleting->value.empty()) throw UsageError("expected: placeholder delete VALUE");
                return deletePlaceholder(*deleting);
            }
            if (list->parsed()) {
                refuseExtras(*list);
                return listPlaceholders(*listing);
            }
            throw UsageError(
                "expected: placeholder add VALUE | placeholder list | "
                "placeholder delete VALUE");
        };
    });

    auto reidentifying = std::make_shared<ReidentifyOptions>();
    auto* again = program.add_subcommand(
        "reidentify", "Applies today's identity rules and placeholders to the stored scans");
    addStoreOptions(*again, reidentifying->store);
    again->add_flag("--dry-run", reidentifying->dryRun, "only say which scans would move")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    again->callback([again, reidentifying, &chosen] {
        chosen = [again, reidentifying] {
            refuseExtras(*again);
            return reidentify(*reidentifying);
        };
    });
}

}  // namespace gravelin::server
