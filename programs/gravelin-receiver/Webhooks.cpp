// gravelin-receiver webhook add/list/delete/retry/deliveries: the addresses told of new
// machines and scans, and what was posted to them. Every change is in the audit log as
// cli:USER. docs/webhooks.md describes the events and how a subscriber checks them.
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/TerminalText.h"
#include "receiver/hooks/Delivery.h"
#include "receiver/http/Time.h"

namespace gravelin::server {

namespace {

using report::terminalText;

constexpr const char* kExpected =
    "expected: webhook add URL --events LIST [--secret-file FILE] | webhook list [--json] | "
    "webhook delete ID | webhook retry DELIVERY | webhook deliveries [--hook ID] [--json]";

struct WebhookOptions {
    StoreChoice store;
    std::string url, events, secretFile;
    std::uint64_t id = 0;
    std::uint64_t hook = 0;
    bool json = false;
};

std::string secretFrom(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file);
    std::string secret(std::istreambuf_iterator<char>(in), {});
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) secret.pop_back();
    if (secret.empty()) throw UsageError(file + " holds no secret");
    if (secret.size() > storage::kMaxWebhookSecretBytes)
        throw UsageError("a secret is at most " + std::to_string(storage::kMaxWebhookSecretBytes) +
                         " bytes");
    return secret;
}

int addWebhook(const WebhookOptions& options) {
    storage::Webhook hook;
    hook.url = options.url;
    hook.events = storage::eventList(options.events);
    // http: is stored (serve posts to it only with --allow-http-webhooks); nothing else is.
    if (const std::string problem = storage::webhookProblem(hook.url, hook.events, true);
        !problem.empty())
        throw UsageError(problem);
    const bool made = options.secretFile.empty();
    hook.secret = made ? hooks::newSecret() : secretFrom(options.secretFile);
    auto store = openStore(options.store);
    const storage::AuditEntry entry =
        commandAuditEntry(storage::audit::kWebhookAdded, "", hook.url + " " + options.events);
    hook.createdBy = entry.actor;
    hook.createdAtMs = entry.atMs;
    const std::int64_t id = store->addWebhook(hook, entry);
    std::cout << "webhook " << id << " added: " << terminalText(hook.url) << "\n";
    if (made)
        std::cout << "secret (shown once, keep it to check signatures): " << hook.secret << "\n";
    if (!hook.url.starts_with("https") && !hook.url.starts_with("HTTPS"))
        std::cerr << "gravelin-receiver: an http: webhook is posted to only by serve "
                     "--allow-http-webhooks\n";
    return 0;
}

int listWebhooks(const WebhookOptions& options) {
    auto store = openStore(options.store, /*readOnly=*/true);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& h : store->webhooks()) {
        std::string events;
        for (const auto& e : h.events) events += (events.empty() ? "" : ",") + e;
        if (!options.json) {
            std::cout << h.id << "\t" << terminalText(h.url) << "\t" << events << "\t"
                      << terminalText(h.createdBy) << "\t" << isoTime(h.createdAtMs) << "\n";
            continue;
        }
        list.push_back({{"id", h.id},
                        {"url", h.url},
                        {"events", h.events},
                        {"enabled", h.enabled},
                        {"createdBy", h.createdBy},
                        {"createdAt", isoTime(h.createdAtMs)}});
    }
    if (options.json)
        std::cout << report::terminalJson(
                         list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))
                  << "\n";
    return 0;
}

int deleteWebhook(const WebhookOptions& options) {
    const auto id = static_cast<std::int64_t>(options.id);
    auto store = openStore(options.store);
    if (!store->deleteWebhook(id, commandAuditEntry(storage::audit::kWebhookDeleted,
                                                    "webhook " + std::to_string(id))))
        throw std::runtime_error("no webhook " + std::to_string(id));
    std::cout << "webhook " << id << " deleted with its deliveries\n";
    return 0;
}

int retryDelivery(const WebhookOptions& options) {
    const auto id = static_cast<std::int64_t>(options.id);
    auto store = openStore(options.store);
    const storage::AuditEntry entry =
        commandAuditEntry(storage::audit::kDeliveryRetried, "delivery " + std::to_string(id));
    if (!store->retryDelivery(id, entry.atMs, entry))
        throw std::runtime_error("no failed delivery " + std::to_string(id));
    std::cout << "delivery " << id << " is pending again\n";
    return 0;
}

int listDeliveries(const WebhookOptions& options) {
    auto store = openStore(options.store, /*readOnly=*/true);
    std::optional<std::int64_t> hook;
    if (options.hook != 0) hook = static_cast<std::int64_t>(options.hook);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& d : store->webhookDeliveries(hook, 1000)) {
        const char* state = storage::deliveryStateName(d.state);
        if (!options.json) {
            std::cout << d.id << "\t" << d.hookId << "\t" << d.event << "\t" << state << "\t"
                      << d.attempts << "\t" << d.lastStatus << "\t" << isoTime(d.createdAtMs)
                      << "\t" << terminalText(d.lastError) << "\n";
            continue;
        }
        nlohmann::json item = {{"id", d.id},
                               {"hook", d.hookId},
                               {"eventId", d.eventId},
                               {"event", d.event},
                               {"state", state},
                               {"attempts", d.attempts},
                               {"lastStatus", d.lastStatus},
                               {"lastError", d.lastError},
                               {"createdAt", isoTime(d.createdAtMs)},
                               {"nextAttemptAt", nullptr},
                               {"deliveredAt", nullptr}};
        if (d.state == storage::DeliveryState::Pending)
            item["nextAttemptAt"] = isoTime(d.nextAttemptAtMs);
        if (d.state == storage::DeliveryState::Delivered)
            item["deliveredAt"] = isoTime(d.deliveredAtMs);
        list.push_back(std::move(item));
    }
    if (options.json)
        std::cout << report::terminalJson(
                         list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))
                  << "\n";
    return 0;
}

}  // namespace

void addWebhooks(CLI::App& program, Command& chosen) {
    auto* webhook = program.add_subcommand(
        "webhook", "Addresses told of new machines and scans, and what was posted to them");
    webhook->allow_extras();
    const auto sub = [&](const char* name, const char* what, bool store = true) {
        auto options = std::make_shared<WebhookOptions>();
        auto* command = webhook->add_subcommand(name, what);
        command->allow_extras();
        if (store) addStoreOptions(*command, options->store);
        return std::make_pair(command, options);
    };
    // Pairs taken apart by name: the callback below captures them, and clang refuses to
    // capture structured bindings.
    const auto addPair = sub("add", "Adds a hook posting EVENTS to URL");
    auto* const add = addPair.first;
    const auto adding = addPair.second;
    add->add_option("URL", adding->url, "an https:// address");
    add->add_option("--events", adding->events,
                    "new-machine, new-scan, hardware-changed, conflicting-scan: comma-separated");
    add->add_option("--secret-file", adding->secretFile,
                    "the signing secret, from a file (without: a random one, printed once)");
    const auto listPair = sub("list", "Lists the hooks: id, address, events, who, when");
    auto* const list = listPair.first;
    const auto listing = listPair.second;
    list->add_flag("--json", listing->json, "as JSON");
    const auto removePair = sub("delete", "Deletes hook ID with its deliveries");
    auto* const remove = removePair.first;
    const auto deleting = removePair.second;
    remove->add_option("ID", deleting->id, "as listed")->check(wholeNumber());
    const auto retryPair = sub("retry", "Puts failed delivery DELIVERY back to pending");
    auto* const retry = retryPair.first;
    const auto retrying = retryPair.second;
    retry->add_option("DELIVERY", retrying->id, "as deliveries lists it")->check(wholeNumber());
    const auto deliveriesPair =
        sub("deliveries",
            "Lists deliveries, newest first: id, hook, event, state, attempts, "
            "last status, made, last error");
    auto* const deliveries = deliveriesPair.first;
    const auto showing = deliveriesPair.second;
    deliveries->add_option("--hook", showing->hook, "of this hook only")->check(wholeNumber());
    deliveries->add_flag("--json", showing->json, "as JSON");
    webhook->callback([=, &chosen] {
        chosen = [=] {
            if (add->parsed()) {
                refuseExtras(*add);
                if (adding->url.empty() || adding->events.empty())
                    throw UsageError(
                        "expected: webhook add URL --events LIST [--secret-file FILE]");
                return addWebhook(*adding);
            }
            if (list->parsed()) {
                refuseExtras(*list);
                return listWebhooks(*listing);
            }
            if (remove->parsed()) {
                refuseExtras(*remove);
                if (deleting->id == 0) throw UsageError("expected: webhook delete ID");
                return deleteWebhook(*deleting);
            }
            if (retry->parsed()) {
                refuseExtras(*retry);
                if (retrying->id == 0) throw UsageError("expected: webhook retry DELIVERY");
                return retryDelivery(*retrying);
            }
            if (deliveries->parsed()) {
                refuseExtras(*deliveries);
                return listDeliveries(*showing);
            }
            throw UsageError(kExpected);
        };
    });
}

}  // namespace gravelin::server
