// The console's pages for admins: the users (read only: accounts are changed on the
// receiver's command line), the API tokens (made and revoked here or on the command line)
// and the audit log, filtered by action, actor and period (UTC days) and paged by entry id,
// newest first.

#include <algorithm>

#include "receiver/console/ApiTokens.h"
#include "receiver/console/ConsoleInternal.h"
#include "receiver/http/Time.h"

namespace gravelin::console::detail {

namespace {

constexpr std::uint32_t kAuditPageSize = 100;
// What a cell of the audit table shows at most of a text a client chose (a name tried at
// sign-in): enough to read, never a page of it.
constexpr std::size_t kShownActor = 64, kShownText = 300;

// At most `max` bytes of UTF-8, cut between characters, with "…" when cut.
std::string shown(const std::string& text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end) + "…";
}

std::string auditHref(const Fields& filters, std::int64_t beforeId) {
    std::string href = "/audit?";
    for (const auto& [name, value] : filters) {
        if (!value.empty()) href += name + "=" + urlEncode(value) + "&";
    }
    if (beforeId > 0) href += "before=" + std::to_string(beforeId);
    if (href.back() == '&' || href.back() == '?') href.pop_back();
    return href;
}

}  // namespace

Response ConsoleImpl::usersPage(const Authenticated& auth) {
    const auto accounts = store_.accounts();
    Data users = listData();
    for (const auto& a : accounts) {
        Data u = objectData();
        u.set("name", a.name);
        u.set("role", storage::roleName(a.role));
        u.set("disabled", a.disabled);
        u.set("lastSignIn", a.lastSignInMs != 0 ? displayTime(a.lastSignInMs) : "never");
        users.push_back(u);
    }
    Data context = objectData();
    context.set("users", users);
    context.set("count", accounts.size() == 1 ? std::string("1 account")
                                              : grouped(accounts.size()) + " accounts");
    return page(200, "Users", "users", context, &auth);
}

Response ConsoleImpl::tokensPage(const Authenticated& auth, int status, const std::string& error,
                                 const std::optional<IssuedToken>& issued) {
    const auto tokens = store_.apiTokens();
    const std::int64_t at = now();
    Data rows = listData();
    for (const auto& t : tokens) {
        Data row = objectData();
        row.set("name", t.name);
        row.set("role", storage::roleName(t.role));
        row.set("createdBy", t.createdBy);
        row.set("created", displayTime(t.createdAtMs));
        row.set("expires", t.expiresAtMs != 0 ? displayTime(t.expiresAtMs) : "never");
        row.set("lastUsed", t.lastUsedMs != 0 ? displayTime(t.lastUsedMs) : "never");
        const bool expired = t.expiresAtMs != 0 && t.expiresAtMs <= at;
        row.set("state", t.revokedAtMs != 0 ? "revoked " + displayTime(t.revokedAtMs)
                         : expired          ? std::string("expired")
                                            : std::string("in force"));
        row.set("inForce", t.revokedAtMs == 0);
        rows.push_back(row);
    }
    Data context = objectData();
    context.set("rows", rows);
    context.set("hasRows", !tokens.empty());
    context.set("maxDays", std::to_string(kMaxTokenDays));
    if (!error.empty()) context.set("error", error);
    if (issued) {
        Data shown = objectData();
        shown.set("name", issued->stored.name);
        shown.set("token", issued->token);
        context.set("issued", shown);
    }
    return page(status, "API tokens", "tokens", context, &auth);
}

// POST /tokens (name, role, days): the new token on the page, once; POST /tokens/revoke (name).
Response ConsoleImpl::changeToken(const Request& request, bool add, const Fields& form,
                                  const Authenticated& auth) {
    const std::string name = field(form, "name");
    const std::string& who = auth.session.accountName;
    if (!add) {
        const auto entry = auditEntry(request, who, storage::audit::kTokenRevoked, "token " + name);
        if (store_.revokeApiToken(name, entry.atMs, entry) == storage::TokenRevocation::NoSuchToken)
            return tokensPage(auth, 404, "There is no such token.");
        return redirect("/tokens");
    }
    if (!validTokenName(name))
        return tokensPage(auth, 400, "A token name is 1 to 64 letters, digits, '.', '_' or '-'.");
    const auto role = storage::roleNamed(field(form, "role"));
    if (!role) return tokensPage(auth, 400, "The role is viewer or admin.");
    const auto days = parseId(field(form, "days"));
    if (!days || *days > kMaxTokenDays)
        return tokensPage(
            auth, 400,
            "A token lasts 0 (no expiry) to " + std::to_string(kMaxTokenDays) + " days.");
    const auto entry = auditEntry(request, who, storage::audit::kTokenAdded, "token " + name);
    auto issued =
        issueApiToken(store_, name, *role, static_cast<std::uint32_t>(*days), entry.atMs, entry);
    if (!issued)
        return tokensPage(auth, 409,
                          "A token named so exists already (a revoked one keeps its name).");
    // Shown in this answer only (never stored, never in a redirect's address); the answer is
    // not cached (Cache-Control: no-store on every page).
    return tokensPage(auth, 201, {}, issued);
}

Response ConsoleImpl::auditPage(const Fields& fields, const Authenticated& auth) {
    const std::string action = field(fields, "action").substr(0, 64);
    const std::string actor = field(fields, "actor").substr(0, storage::audit::kMaxActor);
    const std::string since = field(fields, "since").substr(0, 32);
    const std::string until = field(fields, "until").substr(0, 32);
    const auto before = parseId(field(fields, "before"));

    storage::AuditQuery query;
    query.actor = actor;
    query.limit = kAuditPageSize + 1;  // one more tells whether there are older entries
    query.beforeId = before.value_or(0);
    std::string error;
    const auto& actions = storage::audit::kActions;
    if (!action.empty()) {
        if (std::find(actions.begin(), actions.end(), action) == actions.end())
            error = "There is no action of that name: pick one from the list.";
        query.action = action;
    }
    if (!since.empty()) {
        if (const auto ms = server::utcDayStartMs(since))
            query.sinceMs = *ms;
        else
            error = "Dates are days as YYYY-MM-DD (UTC), such as 2026-12-10.";
    }
    if (!until.empty()) {
        if (const auto ms = server::utcDayStartMs(until))
            query.untilMs = *ms + server::kDayMs;  // the day named is included
        else
            error = "Dates are days as YYYY-MM-DD (UTC), such as 2026-12-10.";
    }
    if (error.empty() && query.untilMs <= query.sinceMs)
        error = "The period ends before it starts.";

    std::vector<storage::AuditEntry> entries;
    if (error.empty()) entries = store_.auditEntries(query);
    const bool older = entries.size() > kAuditPageSize;
    if (older) entries.resize(kAuditPageSize);

    Data rows = listData();
    for (const auto& e : entries) {
        Data row = objectData();
        row.set("time", displayTime(e.atMs, true));
        row.set("timeIso", server::isoTime(e.atMs));
        row.set("actor", orDash(shown(e.actor, kShownActor)));
        row.set("action", e.action);
        row.set("target", orDash(shown(e.target, kShownText)));
        row.set("address", orDash(shown(e.address, kShownActor)));
        row.set("detail", orDash(shown(e.detail, kShownText)));
        rows.push_back(row);
    }
    Data choices = listData();
    for (const auto name : actions) {
        Data choice = objectData();
        choice.set("name", std::string(name));
        choice.set("selected", name == action);
        choices.push_back(choice);
    }
    const Fields filters = {
        {"action", action}, {"actor", actor}, {"since", since}, {"until", until}};
    Data context = objectData();
    context.set("actions", choices);
    context.set("actor", actor);
    context.set("since", since);
    context.set("until", until);
    context.set("filtered", !action.empty() || !actor.empty() || !since.empty() || !until.empty());
    if (!error.empty()) context.set("error", error);
    context.set("entries", rows);
    context.set("hasEntries", !entries.empty());
    if (older) context.set("olderHref", auditHref(filters, entries.back().id));
    if (before) context.set("newestHref", auditHref(filters, 0));
    return page(error.empty() ? 200 : 400, "Audit log", "audit", context, &auth);
}

}  // namespace gravelin::console::detail
