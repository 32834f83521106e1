// gravelin-receiver audit: the audit log read from the command line, newest first, filtered by
// period (UTC days), action and actor.
#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/TerminalText.h"
#include "receiver/http/Time.h"

namespace gravelin::server {

namespace {

struct AuditOptions {
    StoreChoice store;
    std::optional<std::string> since, until, action, actor;
    bool json = false;
};

std::int64_t day(const std::string& option, const std::string& text) {
    const auto start = utcDayStartMs(text);
    if (!start) throw UsageError(option + " needs a day as YYYY-MM-DD (UTC), not \"" + text + "\"");
    return *start;
}

storage::AuditQuery auditQuery(const AuditOptions& options) {
    storage::AuditQuery query;
    if (options.since) query.sinceMs = day("--since", *options.since);
    // --until names the last day included.
    if (options.until) query.untilMs = day("--until", *options.until) + kDayMs;
    if (query.untilMs <= query.sinceMs) throw UsageError("--until is before --since");
    if (options.action) {
        const auto& actions = storage::audit::kActions;
        if (std::find(actions.begin(), actions.end(), *options.action) == actions.end()) {
            std::string known;
            for (const auto a : actions) known += (known.empty() ? "" : ", ") + std::string(a);
            throw UsageError("--action is one of " + known);
        }
        query.action = *options.action;
    }
    if (options.actor) {
        if (options.actor->empty()) throw UsageError("--actor needs a name");
        query.actor = *options.actor;
    }
    return query;
}

int listAudit(const AuditOptions& options) {
    storage::AuditQuery query = auditQuery(options);
    auto store = openStore(options.store, /*readOnly=*/true);  // a read-only mount will do
    nlohmann::json list = nlohmann::json::array();
    query.limit = 1000;
    for (;;) {
        const auto entries = store->auditEntries(query);
        for (const auto& e : entries) {
            if (!options.json) {
                // The texts hold what clients sent (a name tried at sign-in): escaped, so
                // that none acts on the terminal or splits the line.
                using report::terminalText;
                std::cout << e.id << "\t" << isoTime(e.atMs) << "\t" << terminalText(e.actor)
                          << "\t" << terminalText(e.action) << "\t" << terminalText(e.target)
                          << "\t" << terminalText(e.address) << "\t" << terminalText(e.detail)
                          << "\n";
                continue;
            }
            list.push_back({{"id", e.id},
                            {"at", isoTime(e.atMs)},
                            {"atMs", e.atMs},
                            {"actor", e.actor},
                            {"action", e.action},
                            {"target", e.target},
                            {"address", e.address},
                            {"detail", e.detail}});
        }
        if (entries.size() < query.limit) break;
        query.beforeId = entries.back().id;
    }
    if (options.json)
        std::cout << report::terminalJson(
                         list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))
                  << "\n";
    return 0;
}

}  // namespace

void addAudit(CLI::App& program, Command& chosen) {
    auto* audit = program.add_subcommand("audit", "Lists the audit log, newest first");
    auto options = std::make_shared<AuditOptions>();
    addStoreOptions(*audit, options->store);
    audit->add_option("--since", options->since, "entries from the start of that UTC day")
        ->option_text("YYYY-MM-DD");
    audit->add_option("--until", options->until, "entries up to the end of that UTC day")
        ->option_text("YYYY-MM-DD");
    audit->add_option("--action", options->action, "one action (sign-in, export, user-deleted...)")
        ->option_text("ACTION");
    audit->add_option("--actor", options->actor, "one actor: an account name, or cli:USER")
        ->option_text("NAME");
    audit->add_flag("--json", options->json, "every field as JSON")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    audit->callback([audit, options, &chosen] {
        chosen = [audit, options] {
            refuseExtras(*audit);
            return listAudit(*options);
        };
    });
}

}  // namespace gravelin::server
