// gravelin-receiver changes: the hardware changes recorded at intake, newest first, filtered by
// machine, period (UTC days), component and kind of change, as text, JSON or CSV; and
// --rebuild, which makes the records again from the stored history a few machines at a time.
#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/TerminalText.h"
#include "receiver/console/ChangeFeed.h"
#include "receiver/console/Csv.h"
#include "receiver/http/Time.h"

namespace gravelin::server {

namespace {

struct ChangesOptions {
    StoreChoice store;
    std::optional<std::int64_t> machine;
    std::optional<std::string> since, until, component, change;
    bool json = false, csv = false, rebuild = false;
    std::uint32_t batch = 1;
};

std::int64_t day(const std::string& option, const std::string& text) {
    const auto start = utcDayStartMs(text);
    if (!start)
        throw UsageError(option + " needs a day as YYYY-MM-DD (UTC), not \"" +
                         report::terminalText(text) + "\"");
    return *start;
}

storage::ChangeQuery changeQuery(const ChangesOptions& options) {
    storage::ChangeQuery query;
    query.machineId = options.machine;
    if (options.since) query.sinceMs = day("--since", *options.since);
    // --until names the last day included.
    if (options.until) query.untilMs = day("--until", *options.until) + kDayMs;
    if (query.untilMs <= query.sinceMs) throw UsageError("--until is before --since");
    if (options.component) {
        const auto& known = storage::kChangeComponents;
        if (std::find(known.begin(), known.end(), *options.component) == known.end()) {
            std::string names;
            for (const auto c : known) names += (names.empty() ? "" : ", ") + std::string(c);
            throw UsageError("--component is one of " + names);
        }
        query.component = *options.component;
    }
    if (options.change) {
        query.kind = storage::changeKindNamed(*options.change);
        if (!query.kind) throw UsageError("--change is one of added, removed, changed, moved");
    }
    return query;
}

int listChanges(const ChangesOptions& options) {
    if (options.json && options.csv) throw UsageError("--json and --csv: one of them");
    storage::ChangeQuery query = changeQuery(options);
    auto store = openStore(options.store, /*readOnly=*/true);  // a read-only mount will do
    nlohmann::json list = nlohmann::json::array();
    if (options.csv) {
        std::string header;
        console::appendCsvRecord(header, console::changeCsvHeader());
        std::cout << header;
    }
    query.limit = 1000;
    for (;;) {
        const auto page = store->changes(query);
        for (const auto& c : page) {
            if (options.json) {
                list.push_back(console::changeJson(c));
            } else if (options.csv) {
                std::string record;
                console::appendChangeCsv(record, c);
                std::cout << record;
            } else {
                // The texts come from firmware: escaped, so that none acts on the terminal.
                using report::terminalText;
                std::cout << isoTime(c.atMs) << "\tmachine " << c.machineId << "\tscan "
                          << c.scanId << "\t" << terminalText(storage::componentLabel(c.component))
                          << "\t" << storage::changeKindName(c.kind)
                          << (c.note.empty() ? "" : " (" + terminalText(c.note) + ")") << "\t"
                          << terminalText(c.key) << "\t"
                          << terminalText(console::changeSummary(c)) << "\n";
            }
        }
        if (page.size() < query.limit) break;
        query.after = std::make_pair(page.back().atMs, page.back().id);
    }
    if (options.json)
        std::cout << report::terminalJson(
                         list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))
                  << "\n";
    return 0;
}

// One transaction per batch of machines: intake goes on meanwhile, and a scan stored while
// its machine is rebuilt is recorded once (the rebuild replaces the machine's records under
// its row's lock; intake replaces the scan's).
int rebuildChanges(const ChangesOptions& options) {
    if (options.json || options.csv || options.machine || options.since || options.until ||
        options.component || options.change)
        throw UsageError("--rebuild takes no filter and no output format (only --batch)");
    auto store = openStore(options.store);
    storage::ChangeRebuild total;
    std::int64_t after = 0;
    std::uint64_t reported = 0;
    for (;;) {
        const storage::ChangeRebuild step = store->rebuildChanges(after, options.batch);
        if (step.machines == 0) break;
        total.machines += step.machines;
        total.scans += step.scans;
        total.changes += step.changes;
        after = step.lastMachineId;
        if (total.machines - reported >= 100) {
            reported = total.machines;
            std::cerr << "changes: " << total.machines << " machines, " << total.scans
                      << " scans compared, " << total.changes << " changes\n";
        }
    }
    std::cerr << "changes: rebuilt " << total.machines << " machines, " << total.scans
              << " scans compared, " << total.changes << " changes\n";
    return 0;
}

}  // namespace

void addChanges(CLI::App& program, Command& chosen) {
    auto* command = program.add_subcommand(
        "changes", "Lists the hardware changes recorded at intake, newest first");
    auto options = std::make_shared<ChangesOptions>();
    addStoreOptions(*command, options->store);
    command->add_option("--machine", options->machine, "one machine's history")
        ->option_text("ID");
    command->add_option("--since", options->since, "changes from the start of that UTC day")
        ->option_text("YYYY-MM-DD");
    command->add_option("--until", options->until, "changes up to the end of that UTC day")
        ->option_text("YYYY-MM-DD");
    command->add_option("--component", options->component,
                        "one kind of part: processor, memory, disk, volume, board, ...")
        ->option_text("KIND");
    command->add_option("--change", options->change, "added, removed, changed or moved")
        ->option_text("CHANGE");
    command->add_flag("--json", options->json, "every field as JSON")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command->add_flag("--csv", options->csv, "as CSV for spreadsheets")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command->add_flag("--rebuild", options->rebuild,
                      "make the records again from every machine's stored scans")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command->add_option("--batch", options->batch, "machines per transaction of --rebuild [1]")
        ->option_text("N")
        ->check(wholeNumber());
    command->callback([command, options, &chosen] {
        chosen = [command, options] {
            refuseExtras(*command);
            return options->rebuild ? rebuildChanges(*options) : listChanges(*options);
        };
    });
}

}  // namespace gravelin::server
