// gravelin-receiver import, scans and machines: what goes into the store from files, and
// the listings of what is in it.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/Fingerprint.h"
#include "reading/Intake.h"
#include "reading/SummaryJson.h"
#include "reading/TerminalText.h"
#include "reading/Unseal.h"
#include "receiver/http/Time.h"
#include "receiver/site/Site.h"
#include "shared/CodePage.h"
#include "shared/Vocabulary.h"

namespace gravelin::server {

namespace {

using nlohmann::json;

struct ImportOptions {
    StoreChoice store;
    std::vector<std::string> files;
};

struct ScansOptions {
    StoreChoice store;
    std::optional<std::uint64_t> machine;
    std::optional<std::uint64_t> accept;
    std::optional<std::string> receipt;
    bool refresh = false;
    bool conflicting = false;
    bool json = false;
};

struct MachinesOptions {
    StoreChoice store;
    std::optional<std::string> search;
    bool json = false;
    std::optional<std::string> notSeenSince;
};

json columnsJson(const storage::ScanColumns& c) {
    json out = json::object();
    for (const auto& field : storage::kScanColumnFields) {
        std::visit([&](auto member) { out[std::string(field.json)] = c.*member; }, field.member);
    }
    return out;
}

const char* conflictName(storage::ScanConflict conflict) {
    switch (conflict) {
        case storage::ScanConflict::Conflicting: return "conflicting";
        case storage::ScanConflict::Accepted: return "accepted";
        case storage::ScanConflict::None: return "none";
    }
    return "none";
}

// ---- import ---------------------------------------------------------------------------

int runImport(const ImportOptions& options) {
    if (options.files.empty()) throw UsageError("import needs at least one FILE");
    keepFreedMemory();
    auto store = openStore(options.store);
    IntakeCounters counters;
    Intake intake(*store, report::IntakeLimits{}, counters);
    const std::size_t readLimit = intake.limits().maxSealedHexBytes * 2 + (1u << 20);
    int failed = 0;
    for (const auto& path : options.files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cout << report::terminalText(path) << ": cannot read: " << std::strerror(errno)
                      << "\n";
            ++failed;
            continue;
        }
        std::error_code sizeError;
        const auto size = std::filesystem::file_size(path, sizeError);
        if (!sizeError && size > readLimit) {
            std::cout << report::terminalText(path)
                      << ": refused: the file is larger than any report can be\n";
            ++failed;
            continue;
        }
        // Read in steps, bounded, whatever the file system said about its size.
        std::string content;
        char chunk[1 << 16];
        while (in && content.size() <= readLimit) {
            in.read(chunk, sizeof chunk);
            content.append(chunk, static_cast<std::size_t>(in.gcount()));
        }
        if (content.size() > readLimit) {
            std::cout << report::terminalText(path)
                      << ": refused: the file is larger than any report can be\n";
            ++failed;
            continue;
        }
        const auto sealed = report::sealedTextIn(content);
        if (!sealed) {
            std::cout << report::terminalText(path) << ": refused: the submit page's "
                      << vocabulary::kResultField << " value is cut short\n";
            ++failed;
            continue;
        }
        const Outcome outcome = intake.submit(*sealed, "import");
        if (outcome.status == 200) {
            std::cout << report::terminalText(path) << ": "
                      << (outcome.duplicate ? "already stored" : "stored") << ", receipt "
                      << report::terminalText(outcome.receipt) << "\n";
        } else {
            std::cout << report::terminalText(path) << ": refused (" << outcome.counter
                      << "): " << report::terminalText(outcome.reason) << "\n";
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}

// ---- scans, machines ------------------------------------------------------------------

int acceptScan(const ScansOptions& options) {
    if (options.machine || options.json)
        throw UsageError("--accept takes no other option but the store's");
    const auto id = static_cast<std::int64_t>(*options.accept);
    auto store = openStore(options.store);
    const storage::Acceptance result = store->acceptScan(id);
    // Made, then recorded as the console records it (an entry never claims a failed change).
    const auto recordAcceptance = [&](const char* detail) {
        const auto record = store->scan(id);
        const std::string target =
            "scan " + std::to_string(id) +
            (record ? ", machine " + std::to_string(record->row.machineId) : std::string{});
        try {
            auditCommand(*store, storage::audit::kScanAccepted, target, detail);
        } catch (const std::exception& e) {
            throw std::runtime_error(
                "scan " + std::to_string(id) +
                " accepted, but the audit log could not record it: " + e.what());
        }
    };
    switch (result) {
        case storage::Acceptance::NoSuchScan:
            throw std::runtime_error("no scan " + std::to_string(id));
        case storage::Acceptance::NothingToAccept:
            std::cout << "scan " << id << " is not conflicting: nothing to accept\n";
            return 0;
        case storage::Acceptance::Accepted:
            recordAcceptance("a newer scan stays the latest");
            std::cout << "scan " << id << " accepted (a newer scan stays the machine's latest)\n";
            return 0;
        case storage::Acceptance::AcceptedAsLatest:
            recordAcceptance("now the machine's latest scan");
            std::cout << "scan " << id << " accepted: now the machine's latest scan\n";
            return 0;
    }
    return 1;
}

// One scan of a listing: a line of text, or an element of the JSON list.
void listScan(storage::Store& store, const storage::ScanRow& row, bool asJson, json& list) {
    if (!asJson) {
        // Stored values may hold anything a report could carry: escaped, so that
        // none acts on the terminal or splits the line.
        using report::terminalText;
        std::cout << row.id << "\t" << row.machineId << "\t" << isoTime(row.receivedAtMs) << "\t"
                  << terminalText(row.receipt) << "\t" << terminalText(row.columns.maker) << "\t"
                  << terminalText(row.columns.model) << "\t" << terminalText(row.identityRule)
                  << "\t" << terminalText(row.remoteAddress)
                  << (row.conflict == storage::ScanConflict::Conflicting ? "\tconflicting" : "")
                  << "\n";
        return;
    }
    json item = {{"id", row.id},
                 {"machine", row.machineId},
                 {"receivedAt", isoTime(row.receivedAtMs)},
                 {"receivedAtMs", row.receivedAtMs},
                 {"remoteAddress", row.remoteAddress},
                 {"receipt", row.receipt},
                 {"encoding", row.encoding},
                 {"identityKey", row.identityKey},
                 {"identityRule", row.identityRule},
                 {"osDescription", row.osDescription},
                 {"programName", row.programName},
                 {"programVersion", row.programVersion},
                 {"errors", row.errors},
                 {"storedBytes", row.storedBytes},
                 {"conflict", conflictName(row.conflict)},
                 {"columns", columnsJson(row.columns)}};
    if (const auto record = store.scan(row.id)) {
        item["summary"] = json::parse(record->summaryJson, nullptr, false);
    }
    list.push_back(std::move(item));
}

void printList(const json& list) {
    std::cout << report::terminalJson(list.dump(2, ' ', false, json::error_handler_t::replace))
              << "\n";
}

// The conflicting scans, newest first, with the parts of the hardware that differ from their
// machine's latest scan.
int listConflicting(const ScansOptions& options) {
    if (options.machine) throw UsageError("--conflicting lists every machine's; no --machine");
    auto store = openStore(options.store, /*readOnly=*/true);
    json list = json::array();
    constexpr std::uint32_t kPage = 1000;
    for (std::uint64_t offset = 0;; offset += kPage) {
        const auto rows = store->conflictingScans(kPage, offset);
        for (const auto& c : rows) {
            const auto compared =
                identity::compareFingerprints(identity::decodeFingerprint(c.machineFingerprint),
                                              identity::decodeFingerprint(c.fingerprint));
            std::string differs;
            for (const auto& part : compared.changed)
                differs += (differs.empty() ? "" : ",") + part;
            const auto& row = c.row;
            if (!options.json) {
                using report::terminalText;
                std::cout << row.id << "\t" << row.machineId << "\t" << isoTime(row.receivedAtMs)
                          << "\t" << terminalText(row.receipt) << "\t"
                          << terminalText(row.remoteAddress) << "\t"
                          << (differs.empty() ? "-" : differs) << "\n";
                continue;
            }
            list.push_back({{"id", row.id},
                            {"machine", row.machineId},
                            {"receivedAt", isoTime(row.receivedAtMs)},
                            {"receivedAtMs", row.receivedAtMs},
                            {"receipt", row.receipt},
                            {"remoteAddress", row.remoteAddress},
                            {"differs", compared.changed},
                            {"compared", compared.compared},
                            {"columns", columnsJson(row.columns)}});
        }
        if (rows.size() < kPage) break;
    }
    if (options.json)
        std::cout << report::terminalJson(list.dump(2, ' ', false, json::error_handler_t::replace))
                  << "\n";
    return 0;
}

int listScans(const ScansOptions& options) {
    std::optional<std::int64_t> machine;
    if (options.machine) machine = static_cast<std::int64_t>(*options.machine);
    const bool asJson = options.json;
    auto store = openStore(options.store, /*readOnly=*/true);  // a read-only mount will do
    json list = json::array();
    constexpr std::uint32_t kPage = 1000;
    for (std::uint64_t offset = 0;; offset += kPage) {
        const auto rows = store->scans(machine, kPage, offset);
        for (const auto& row : rows) listScan(*store, row, asJson, list);
        if (rows.size() < kPage) break;
    }
    if (asJson) printList(list);
    return 0;
}

// The scans given a receipt: one, unless two digests began alike.
int scansWithReceipt(const ScansOptions& options) {
    if (options.machine) throw UsageError("--receipt and --machine cannot go together");
    const auto receipt = storage::receiptOf(*options.receipt);
    if (!receipt)
        throw UsageError("--receipt takes a receipt number such as 1B3F-ADE0-098A, not " +
                         report::terminalText(*options.receipt));
    auto store = openStore(options.store, /*readOnly=*/true);
    const auto rows = store->scansWithReceipt(*receipt);
    if (rows.empty()) throw std::runtime_error("no scan has receipt " + *receipt);
    json list = json::array();
    for (const auto& row : rows) listScan(*store, row, options.json, list);
    if (options.json) printList(list);
    return 0;
}

// Scans stored by an older version lack what a newer summary holds (the product name):
// each machine's latest scan whose stored summary lacks a field is summarised again from
// its report, and its columns (and so the machine's, and its search text) taken from that.
int refreshLatest(const ScansOptions& options) {
    if (options.machine || options.json)
        throw UsageError("--refresh takes no other option but the store's");
    auto store = openStore(options.store);
    std::uint64_t machines = 0, refreshed = 0, unreadable = 0;
    storage::MachineQuery query;
    query.limit = 500;
    for (;;) {
        const auto page = store->machines(query);
        for (const auto& m : page.machines) {
            ++machines;
            const auto record = store->scan(m.latestScanId);
            if (!record) continue;
            const auto stored = json::parse(record->summaryJson, nullptr, false);
            if (report::holdsEveryField(stored)) continue;
            const std::string text = record->row.encoding == "windows-1252"
                                         ? windows1252().toUtf8(record->reportBytes)
                                         : record->reportBytes;
            const report::IntakeResult parsed = report::receiveText(text);
            if (parsed.rejection != report::Rejection::None || !parsed.report.document) {
                ++unreadable;
                continue;
            }
            const report::Summary summary = report::summarise(*parsed.report.document);
            store->putSummary(record->row.id, report::toJsonText(summary));
            store->refreshColumns(record->row.id, columnsOf(summary));
            ++refreshed;
        }
        if (!page.moreAfter || page.machines.empty()) break;
        query.from = storage::PageFrom::After;  // on from the last row's place
        query.key = storage::keyOf(page.machines.back(), query.sort);
    }
    std::cout << machines << " machines, " << refreshed << " latest scans summarised again"
              << (unreadable ? ", " + std::to_string(unreadable) + " reports unreadable" : "")
              << "\n";
    return 0;
}

int listMachines(const MachinesOptions& options) {
    const bool asJson = options.json;
    json list = json::array();
    storage::MachineQuery query;
    // The console's search: the same call, the same matching.
    if (options.search) {
        storage::MachineSearch search = storage::parseMachineSearch(*options.search);
        if (!search.problem.empty()) throw UsageError("--search: " + search.problem);
        query.search = std::move(search.text);
        query.facets = std::move(search.facets);
    }
    query.limit = 500;
    if (options.notSeenSince) {
        const auto day = utcDayStartMs(*options.notSeenSince);
        if (!day) throw UsageError("--not-seen-since needs a date YYYY-MM-DD");
        query.lastSeenBeforeMs = *day;
    }
    auto store = openStore(options.store, /*readOnly=*/true);  // a read-only mount will do
    for (;;) {
        const auto page = store->machines(query);
        for (const auto& m : page.machines) {
            if (!asJson) {
                using report::terminalText;
                std::cout << m.id << "\t" << terminalText(m.identityRule) << "\t"
                          << terminalText(m.identityKey) << "\t" << isoTime(m.firstSeenMs) << "\t"
                          << isoTime(m.lastSeenMs) << "\t" << m.scanCount << "\t"
                          << terminalText(m.latest.maker) << "\t" << terminalText(m.latest.model)
                          << "\n";
                continue;
            }
            list.push_back({{"id", m.id},
                            {"identityKey", m.identityKey},
                            {"identityRule", m.identityRule},
                            {"firstSeen", isoTime(m.firstSeenMs)},
                            {"lastSeen", isoTime(m.lastSeenMs)},
                            {"firstSeenMs", m.firstSeenMs},
                            {"lastSeenMs", m.lastSeenMs},
                            {"latestScan", m.latestScanId},
                            {"scans", m.scanCount},
                            {"latest", columnsJson(m.latest)}});
        }
        if (!page.moreAfter || page.machines.empty()) break;
        query.from = storage::PageFrom::After;  // on from the last row's place
        query.key = storage::keyOf(page.machines.back(), query.sort);
    }
    if (asJson) printList(list);
    return 0;
}

}  // namespace

void addScans(CLI::App& program, Command& chosen) {
    auto* import = program.add_subcommand(
        "import", "Submits saved sealed texts or submit pages with the same checks as a post");
    auto importing = std::make_shared<ImportOptions>();
    addStoreOptions(*import, importing->store);
    import->add_option("FILE", importing->files, "a sealed text or a submit page");
    import->callback([import, importing, &chosen] {
        chosen = [import, importing] {
            refuseExtras(*import);
    return runImport(*importing);
};
}  // namespace gravelin::server
);

auto* scans = program.add_subcommand("scans", "Lists stored scans, newest first");
auto listing = std::make_shared<ScansOptions>();
addStoreOptions(*scans, listing->store);
scans->add_option("--machine", listing->machine, "only the scans of machine ID")
    ->option_text("ID")
    ->check(wholeNumber());
scans->add_flag("--json", listing->json, "every column, the identity and the summary")
    ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
scans
    ->add_flag("--conflicting", listing->conflicting,
               "only the conflicting scans, with the parts of the hardware that differ")
    ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
scans->add_option("--accept", listing->accept, "take the conflicting scan SCAN as its machine's")
    ->option_text("SCAN")
    ->check(wholeNumber());
scans->add_option("--receipt", listing->receipt, "only the scan with receipt RECEIPT")
    ->option_text("RECEIPT");
scans
    ->add_flag("--refresh", listing->refresh,
               "summarise again each machine's latest scan stored by an older version")
    ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
scans->callback([scans, listing, &chosen] {
    chosen = [scans, listing] {
        refuseExtras(*scans);
        const int chosenModes = (listing->accept ? 1 : 0) + (listing->receipt ? 1 : 0) +
                                (listing->refresh ? 1 : 0) + (listing->conflicting ? 1 : 0);
        if (chosenModes > 1)
            throw UsageError("--accept, --receipt, --refresh and --conflicting cannot go together");
        if (listing->accept) return acceptScan(*listing);
        if (listing->receipt) return scansWithReceipt(*listing);
        if (listing->refresh) return refreshLatest(*listing);
        if (listing->conflicting) return listConflicting(*listing);
        return listScans(*listing);
    };
});

auto* machines = program.add_subcommand(
    "machines", "Lists machines with first and last seen, scan count and latest columns");
auto machineListing = std::make_shared<MachinesOptions>();
addStoreOptions(*machines, machineListing->store);
machines->add_flag("--json", machineListing->json, "every field as JSON")
    ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
machines
    ->add_option("--search", machineListing->search,
                 "only the machines the console's search finds for TEXT")
    ->option_text("TEXT");
machines
    ->add_option("--not-seen-since", machineListing->notSeenSince,
                 "only machines last seen before DATE (YYYY-MM-DD, 00:00 UTC)")
    ->option_text("DATE");
machines->callback([machines, machineListing, &chosen] {
    chosen = [machines, machineListing] {
        refuseExtras(*machines);
        return listMachines(*machineListing);
    };
});
}

}  // namespace gravelin::server
