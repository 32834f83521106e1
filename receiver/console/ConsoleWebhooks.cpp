// The console's webhook page, for admins: the hooks with their latest deliveries, a form to
// add one (its secret shown once, on the page that answers the form), deleting a hook and
// retrying a failed delivery. Every change is written with its audit entry in one store call.

#include "receiver/console/ConsoleInternal.h"
#include "receiver/hooks/Delivery.h"

namespace gravelin::console::detail {

namespace {

constexpr std::uint32_t kDeliveriesShown = 20;

}  // namespace

// GET /webhooks.
Response ConsoleImpl::webhooksPage(const Authenticated& auth, int status, const std::string& error,
                                   const std::string& secret, std::int64_t secretHook) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    Data hooks = listData();
    for (const auto& h : store_.webhooks()) {
        Data hook = objectData();
        hook.set("id", std::to_string(h.id));
        hook.set("url", h.url);
        std::string events;
        for (const auto& e : h.events) events += (events.empty() ? "" : ", ") + e;
        hook.set("events", events);
        hook.set("createdBy", h.createdBy);
        hook.set("createdAt", displayTime(h.createdAtMs, true));
        Data deliveries = listData();
        for (const auto& d : store_.webhookDeliveries(h.id, kDeliveriesShown)) {
            Data row = objectData();
            row.set("id", std::to_string(d.id));
            row.set("event", d.event);
            row.set("createdAt", displayTime(d.createdAtMs, true));
            row.set("state", storage::deliveryStateName(d.state));
            row.set("attempts", std::to_string(d.attempts));
            row.set("lastStatus", d.lastStatus == 0 ? std::string() : std::to_string(d.lastStatus));
            row.set("lastError", d.lastError);
            row.set("failed", d.state == storage::DeliveryState::Failed);
            deliveries.push_back(row);
        }
        hook.set("hasDeliveries", !deliveries.is_empty_list());
        hook.set("deliveries", deliveries);
        hooks.push_back(hook);
    }
    Data events = listData();
    for (const auto name : storage::kWebhookEvents) {
        Data e = objectData();
        e.set("name", std::string(name));
        events.push_back(e);
    }
    Data context = objectData();
    context.set("hasHooks", !hooks.is_empty_list());
    context.set("hooks", hooks);
    context.set("events", events);
    context.set("maxUrl", std::to_string(storage::kMaxWebhookUrlBytes));
    if (!error.empty()) context.set("error", error);
    if (!secret.empty()) {
        context.set("secret", secret);
        context.set("secretHook", std::to_string(secretHook));
    }
    return page(status, "Webhooks", "webhooks", context, &auth);
}

// POST /webhooks (url, events...) adds; /webhooks/delete (id) deletes; /webhooks/retry (id)
// puts a failed delivery back to pending.
Response ConsoleImpl::changeWebhook(const Request& request, std::string_view what,
                                    const Fields& form, const Authenticated& auth) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    const std::string& who = auth.session.accountName;
    if (what == "delete" || what == "retry") {
        const auto id = parseId(field(form, "id"));
        if (!id) return webhooksPage(auth, 400, "No such " + std::string(what == "delete" ? "webhook." : "delivery."));
        if (what == "delete") {
            if (!store_.deleteWebhook(*id, auditEntry(request, who, storage::audit::kWebhookDeleted,
                                                      "webhook " + std::to_string(*id))))
                return webhooksPage(auth, 404, "No such webhook.");
        } else {
            const auto entry = auditEntry(request, who, storage::audit::kDeliveryRetried,
                                          "delivery " + std::to_string(*id));
            if (!store_.retryDelivery(*id, entry.atMs, entry))
                return webhooksPage(auth, 409, "That delivery has not failed.");
        }
        return redirect("/webhooks");
    }
    storage::Webhook hook;
    hook.url = field(form, "url");
    for (const auto& [name, value] : form)
        if (name == "events") hook.events.push_back(value);
    if (const std::string problem =
            storage::webhookProblem(hook.url, hook.events, options_.allowHttpWebhooks);
        !problem.empty())
        return webhooksPage(auth, 400, "Not added: " + problem + ".");
    hook.secret = hooks::newSecret();
    std::string events;
    for (const auto& e : hook.events) events += (events.empty() ? "" : ",") + e;
    const auto entry =
        auditEntry(request, who, storage::audit::kWebhookAdded, "", hook.url + " " + events);
    hook.createdBy = who;
    hook.createdAtMs = entry.atMs;
    const std::int64_t id = store_.addWebhook(hook, entry);
    return webhooksPage(auth, 200, {}, hook.secret, id);
}

}  // namespace gravelin::console::detail
