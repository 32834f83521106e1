// gravelin-receiver token add|list|revoke: tokens for the console's API, managed from the
// command line. A new token is printed once and only its hash is stored; every change is
// recorded in the audit log as cli:USER, in the transaction that makes it.
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/TerminalText.h"
#include "receiver/console/ApiTokens.h"
#include "receiver/http/Time.h"

namespace gravelin::server {

namespace {

constexpr const char* kTokenUsage =
    "expected: token add NAME [--role viewer|admin] [--expires DAYS], token list [--json] or "
    "token revoke NAME";

struct TokenOptions {
    StoreChoice store;
    std::string name;
    std::string role = "viewer";
    std::uint64_t expiresDays = 0;  // 0: never
    bool json = false;
};

std::string timeOrDash(std::int64_t ms, const char* none) {
    return ms != 0 ? isoTime(ms) : std::string(none);
}

int addToken(const TokenOptions& options) {
    if (!console::validTokenName(options.name))
        throw UsageError("a token name is 1 to 64 letters, digits, '.', '_' or '-'");
    const auto role = storage::roleNamed(options.role);
    if (!role) throw UsageError("--role is viewer or admin");
    if (options.expiresDays > console::kMaxTokenDays)
        throw UsageError("--expires is at most " + std::to_string(console::kMaxTokenDays) +
                         " days (0: never)");
    auto store = openStore(options.store);
    const storage::AuditEntry audit =
        commandAuditEntry(storage::audit::kTokenAdded, "token " + options.name);
    const auto issued =
        console::issueApiToken(*store, options.name, *role,
                               static_cast<std::uint32_t>(options.expiresDays), audit.atMs, audit);
    if (!issued)
        throw std::runtime_error("a token named " + options.name +
                                 " exists already (a revoked one keeps its name)");
    // The token on stdout alone, so that it can be piped into a secret store; the rest on
    // stderr.
    std::cout << issued->token << "\n";
    std::cerr << "token " << options.name << " (" << storage::roleName(*role) << ", "
              << (issued->stored.expiresAtMs != 0 ? "expires " + isoTime(issued->stored.expiresAtMs)
                                                  : std::string("no expiry"))
              << "): shown this once; only its hash is kept\n";
    return 0;
}

int listTokens(const TokenOptions& options) {
    auto store = openStore(options.store, /*readOnly=*/true);
    nlohmann::json list = nlohmann::json::array();
    const auto nullable = [](std::int64_t ms) {
        return ms != 0 ? nlohmann::json(isoTime(ms)) : nlohmann::json(nullptr);
    };
    for (const auto& t : store->apiTokens()) {
        if (!options.json) {
            std::cout << report::terminalText(t.name) << "\t" << storage::roleName(t.role) << "\t"
                      << isoTime(t.createdAtMs) << "\t"
                      << "expires " << timeOrDash(t.expiresAtMs, "never") << "\t"
                      << "used " << timeOrDash(t.lastUsedMs, "never") << "\t"
                      << (t.revokedAtMs != 0 ? "revoked " + isoTime(t.revokedAtMs)
                                             : std::string("in force"))
                      << "\n";
            continue;
        }
        list.push_back({{"name", t.name},
                        {"role", storage::roleName(t.role)},
                        {"createdBy", t.createdBy},
                        {"created", isoTime(t.createdAtMs)},
                        {"expires", nullable(t.expiresAtMs)},
                        {"lastUsed", nullable(t.lastUsedMs)},
                        {"revoked", nullable(t.revokedAtMs)}});
    }
    if (options.json)
        std::cout << report::terminalJson(
                         list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))
                  << "\n";
    return 0;
}

int revokeToken(const TokenOptions& options) {
    auto store = openStore(options.store);
    const storage::AuditEntry audit =
        commandAuditEntry(storage::audit::kTokenRevoked, "token " + options.name);
    switch (store->revokeApiToken(options.name, audit.atMs, audit)) {
        case storage::TokenRevocation::Revoked:
            std::cout << "token " << options.name << " revoked\n";
            return 0;
        case storage::TokenRevocation::AlreadyRevoked:
            std::cout << "token " << options.name << " was revoked already\n";
            return 0;
        case storage::TokenRevocation::NoSuchToken: break;
    }
    throw std::runtime_error("no token " + report::terminalText(options.name));
}

}  // namespace

void addTokens(CLI::App& program, Command& chosen) {
    auto* token = program.add_subcommand("token", "Tokens for the console's API");
    token->allow_extras();
    token->require_subcommand(0, 1);
    auto options = std::make_shared<TokenOptions>();
    const auto subcommand = [&](const char* name, const char* description) {
        auto* command = token->add_subcommand(name, description);
        command->allow_extras();
        addStoreOptions(*command, options->store);
        return command;
    };
    auto* add = subcommand("add", "Makes a token and prints it once (only its hash is stored)");
    add->add_option("NAME", options->name, "1 to 64 letters, digits, '.', '_' or '-'");
    add->add_option("--role", options->role, "viewer or admin (what the token may do)")
        ->option_text("ROLE")
        ->default_str("viewer");
    add->add_option("--expires", options->expiresDays, "days until it expires (0: never)")
        ->option_text("DAYS")
        ->check(wholeNumber(0));
    auto* list =
        subcommand("list", "Lists the tokens: name, role, created, expires, last used, revoked");
    list->add_flag("--json", options->json, "as JSON")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    auto* revoke = subcommand("revoke", "Revokes a token at once; its name stays taken");
    revoke->add_option("NAME", options->name, "the token's name");

    token->callback([=, &chosen] {
        chosen = [=] {
            CLI::App* given = nullptr;
            for (CLI::App* c : {add, list, revoke})
                if (c->parsed()) given = c;
            if (given == nullptr || !token->remaining(false).empty()) throw UsageError(kTokenUsage);
            const auto extras = given->remaining(false);
            if (!extras.empty() && extras.front().starts_with("-")) refuseExtras(*given);
            const bool named = given != list;
            if (!extras.empty() || (named && options->name.empty())) {
                if (given == add)
                    throw UsageError(
                        "expected: token add NAME [--role viewer|admin] [--expires DAYS]");
                throw UsageError("expected: token " + given->get_name() + (named ? " NAME" : ""));
            }
            if (given == add) return addToken(*options);
            if (given == list) return listTokens(*options);
            return revokeToken(*options);
        };
    });
}

}  // namespace gravelin::server
