// The console's API under /api/v1/: JSON for programs, authenticated by a bearer token
// (never by a session cookie, so that no page of another site can make a signed-in browser
// call it). Every answer is JSON, errors included ({"error": {"code", "message"}}); the
// document describing it is receiver/console/api/openapi.json, built into the program.
//
// A request is checked in this order: the token (401), the token's request budget (429), the
// address (404), the role the address needs (403), the method (405). Uses are written to the
// audit log at most once a minute per token (with the count of requests since the previous
// entry), together with the token's last use.

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "reading/SummaryJson.h"
#include "receiver/console/ApiTokens.h"
#include "receiver/console/Assets.h"
#include "receiver/console/ConsoleInternal.h"
#include "receiver/console/ScanJson.h"
#include "receiver/survey/Survey.h"

namespace gravelin::console::detail {

namespace {

using json = nlohmann::ordered_json;

constexpr std::string_view kApiRoot = "/api/v1";
constexpr std::uint32_t kDefaultLimit = 50;
constexpr std::uint32_t kMaxLimit = 500;
constexpr std::size_t kMaxCursorBytes = 1024;
constexpr std::size_t kMaxSurveyTop = 100;
constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;
constexpr std::int64_t kDefaultSurveyDays = 30;

Response jsonAnswer(int status, const json& body) {
    Response response;
    response.status = status;
    response.headers.emplace_back("Content-Type", "application/json");
    response.body = body.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    return response;
}

json columnsJson(const storage::ScanColumns& columns) {
    json out = json::object();
    for (const auto& field : storage::kScanColumnFields) {
        std::visit([&](auto member) { out[std::string(field.json)] = columns.*member; },
                   field.member);
    }
    return out;
}

json machineJson(const storage::MachineRow& m) {
    return {{"id", m.id},
            {"identityKey", m.identityKey},
            {"identityRule", m.identityRule},
            {"firstSeen", isoTime(m.firstSeenMs)},
            {"firstSeenMs", m.firstSeenMs},
            {"lastSeen", isoTime(m.lastSeenMs)},
            {"lastSeenMs", m.lastSeenMs},
            {"latestScanId", m.latestScanId},
            {"scanCount", m.scanCount},
            {"columns", columnsJson(m.latest)}};
}

const char* conflictName(storage::ScanConflict conflict) {
    switch (conflict) {
        case storage::ScanConflict::Conflicting: return "conflicting";
        case storage::ScanConflict::Accepted: return "accepted";
        case storage::ScanConflict::None: break;
    }
    return "none";
}

json scanRowJson(const storage::ScanRow& r) {
    json out = scanFieldsJson<json>(r);
    out["conflict"] = conflictName(r.conflict);
    out["columns"] = columnsJson(r.columns);
    return out;
}

// "limit": absent is the default; anything but 1 to kMaxLimit is refused.
std::optional<std::uint32_t> limitOf(const Fields& query) {
    const std::string text = field(query, "limit");
    if (text.empty()) return kDefaultLimit;
    const auto n = parseId(text);
    if (!n || *n < 1 || *n > kMaxLimit) return std::nullopt;
    return static_cast<std::uint32_t>(*n);
}

bool hasField(const Fields& fields, std::string_view name) {
    return std::any_of(fields.begin(), fields.end(),
                       [&](const auto& f) { return f.first == name; });
}

}  // namespace

std::string encodeCursor(const ApiCursor& cursor) {
    json body = {{"v", 2},
                 {"scope", cursor.scope},
                 {"q", cursor.search},
                 {"s", cursor.sort},
                 {"d", cursor.descending},
                 {"u", cursor.unseen},
                 {"o", cursor.offset}};
    if (cursor.after) {
        json value;
        std::visit([&](const auto& v) { value = v; }, cursor.after->value);
        body["k"] = {{"v", std::move(value)}, {"id", cursor.after->id}};
    }
    return base64Url(body.dump(-1, ' ', false, json::error_handler_t::replace));
}

std::optional<ApiCursor> decodeCursor(std::string_view text) {
    if (text.empty() || text.size() > kMaxCursorBytes) return std::nullopt;
    const auto bytes = fromBase64Url(text);
    if (!bytes) return std::nullopt;
    const json body = json::parse(*bytes, nullptr, false);
    if (!body.is_object() || body.value("v", 0) != 2) return std::nullopt;
    try {
        ApiCursor cursor;
        cursor.scope = body.at("scope").get<std::string>();
        cursor.search = body.at("q").get<std::string>();
        cursor.sort = body.at("s").get<std::string>();
        cursor.descending = body.at("d").get<bool>();
        cursor.unseen = body.at("u").get<std::string>();
        if (!body.at("o").is_number_unsigned()) return std::nullopt;
        cursor.offset = body.at("o").get<std::uint64_t>();
        if (const auto k = body.find("k"); k != body.end()) {
            // The key's value is of the sort's kind: a text, or a whole number.
            const json& value = k->at("v");
            const json& id = k->at("id");
            if (!id.is_number_integer()) return std::nullopt;
            storage::MachineKey key;
            key.id = id.get<std::int64_t>();
            if (storage::sortsByText(sortColumn(cursor.sort).sort)) {
                if (!value.is_string()) return std::nullopt;
                key.value = value.get<std::string>();
            } else {
                if (!value.is_number_integer()) return std::nullopt;
                key.value = value.get<std::int64_t>();
            }
            cursor.after = std::move(key);
        }
        // What a cursor holds is checked as the parameters it stands for would be.
        if (cursor.search.size() > kMaxSearchBytes) return std::nullopt;
        if (!cursor.sort.empty() && sortColumn(cursor.sort).key != cursor.sort) return std::nullopt;
        if (!cursor.unseen.empty() && !server::utcDayStartMs(cursor.unseen)) return std::nullopt;
        return cursor;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

Response ConsoleImpl::apiError(int status, std::string_view code, std::string_view text) {
    return jsonAnswer(status, {{"error", {{"code", code}, {"message", text}}}});
}

Response ConsoleImpl::apiUnauthorized(std::string_view code, std::string_view text) {
    Response response = apiError(401, code, text);
    // RFC 6750: no error attribute when no token was presented at all.
    std::string challenge = "Bearer realm=\"console API\"";
    if (code != "token_missing") challenge += ", error=\"invalid_token\"";
    response.headers.emplace_back("WWW-Authenticate", std::move(challenge));
    return response;
}

const std::vector<ConsoleImpl::ApiRoute>& ConsoleImpl::apiRoutes() {
    // What each address needs: every one reads, so a viewer's token suffices. An address that
    // changes data later is one row with Role::Admin.
    using R = storage::Role;
    static const std::vector<ApiRoute> routes = {
        {"machines", R::Viewer, &ConsoleImpl::apiMachines},
        {"machines/{id}", R::Viewer, &ConsoleImpl::apiMachine},
        {"machines/{id}/scans", R::Viewer, &ConsoleImpl::apiMachineScans},
        {"scans/{id}", R::Viewer, &ConsoleImpl::apiScan},
        {"scans/{id}/report", R::Viewer, &ConsoleImpl::apiReport},
        {"scans/{id}/report.xml", R::Viewer, &ConsoleImpl::apiReport},
        {"diff", R::Viewer, &ConsoleImpl::apiDiff},
        {"survey", R::Viewer, &ConsoleImpl::apiSurvey},
    };
    return routes;
}

// The route whose pattern the path (below /api/v1/) matches, with its {id} segment.
std::optional<std::pair<const ConsoleImpl::ApiRoute*, std::string>> ConsoleImpl::apiRoute(
    std::string_view path) {
    const auto segments = [](std::string_view s) {
        std::vector<std::string_view> out;
        while (true) {
            const auto slash = s.find('/');
            out.push_back(s.substr(0, slash));
            if (slash == std::string_view::npos) return out;
            s.remove_prefix(slash + 1);
        }
    };
    const auto given = segments(path);
    for (const ApiRoute& route : apiRoutes()) {
        const auto pattern = segments(route.pattern);
        if (pattern.size() != given.size()) continue;
        std::string id;
        bool matches = true;
        for (std::size_t i = 0; i < pattern.size() && matches; ++i) {
            if (pattern[i] == "{id}") {
                id = std::string(given[i]);
                matches = !id.empty();
            } else {
                matches = pattern[i] == given[i];
            }
        }
        if (matches) return std::make_pair(&route, std::move(id));
    }
    return std::nullopt;
}

std::variant<storage::ApiToken, Response> ConsoleImpl::apiAuthenticate(const Request& request) {
    const std::string header = request.header("authorization");
    if (header.empty())
        return apiUnauthorized("token_missing",
                               "Send a token: Authorization: Bearer TOKEN. Session cookies do "
                               "not sign in to the API.");
    // The scheme is case-insensitive (RFC 9110); one blank, then the token.
    if (header.size() < 7 || lowerCase(header.substr(0, 7)) != "bearer " ||
        !tokenShaped(std::string_view(header).substr(7)))
        return apiUnauthorized("token_malformed",
                               "The Authorization header is not \"Bearer\" and a token.");
    const auto token = store_.apiTokenWithHash(apiTokenHash(std::string_view(header).substr(7)));
    if (!token) return apiUnauthorized("token_invalid", "This token is not known.");
    if (token->revokedAtMs != 0) return apiUnauthorized("token_revoked", "This token was revoked.");
    if (token->expiresAtMs != 0 && token->expiresAtMs <= now())
        return apiUnauthorized("token_expired", "This token has expired.");
    return *token;
}

void ConsoleImpl::apiNoteUse(const Request& request, const storage::ApiToken& token) {
    const std::int64_t at = now();
    std::uint64_t requests = 0;
    {
        std::lock_guard lock(apiUsesMutex_);
        ApiUse& use = apiUses_[token.id];
        ++use.requests;
        if (use.loggedAtMs != 0 && at - use.loggedAtMs < kApiAuditIntervalMs) return;
        // Claimed before the write, so that requests arriving meanwhile do not write too.
        requests = use.requests;
        use.requests = 0;
        use.loggedAtMs = at;
    }
    try {
        store_.noteApiTokenUse(token.id, at,
                               auditEntry(request, "token:" + token.name, storage::audit::kApiUsed,
                                          request.method + " " + request.path,
                                          requests == 1 ? std::string("1 request")
                                                        : std::to_string(requests) +
                                                              " requests since the last entry"));
    } catch (...) {
        // Not written: the next request tries again, counting these.
        std::lock_guard lock(apiUsesMutex_);
        ApiUse& use = apiUses_[token.id];
        use.requests += requests;
        use.loggedAtMs = 0;
        throw;
    }
}

Response ConsoleImpl::api(const Request& request) {
    try {
        const std::string_view path = request.path;
        const bool get = request.method == "GET" || request.method == "HEAD";
        if (path == "/api/v1/openapi.json") {
            if (!get) return apiNotAllowed();
            Response response;
            response.headers.emplace_back("Content-Type", "application/json");
            response.body = std::string(asset("openapi.json"));
            return response;
        }
        auto authenticated = apiAuthenticate(request);
        if (auto* refused = std::get_if<Response>(&authenticated)) return std::move(*refused);
        const storage::ApiToken token = std::get<storage::ApiToken>(std::move(authenticated));
        if (const std::int64_t waitMs = apiRequests_.take(std::to_string(token.id), now());
            waitMs > 0) {
            Response response =
                apiError(429, "rate_limited", "Too many requests with this token; slow down.");
            response.headers.emplace_back("Retry-After", std::to_string((waitMs + 999) / 1000));
            return response;
        }
        apiNoteUse(request, token);

        if (!path.starts_with(kApiRoot) || path.size() <= kApiRoot.size() + 1 ||
            path[kApiRoot.size()] != '/')
            return apiError(404, "not_found", "There is nothing at this address.");
        const auto route = apiRoute(path.substr(kApiRoot.size() + 1));
        if (!route) return apiError(404, "not_found", "There is nothing at this address.");
        if (route->first->needs == storage::Role::Admin && token.role != storage::Role::Admin)
            return apiError(403, "forbidden", "This token's role may not use this address.");
        if (!get) return apiNotAllowed();
        ApiCall call{request,
                     parseForm(std::string_view(request.query)
                                   .substr(0, std::min<std::size_t>(request.query.size(), 4096))),
                     route->second, token};
        return (this->*(route->first->handler))(call);
    } catch (const storage::StorageUnavailable&) {
        Response response = apiError(503, "storage_unavailable",
                                     "The database cannot be reached just now. Try again shortly.");
        response.headers.emplace_back("Retry-After", "5");
        return response;
    } catch (const std::exception&) {
        return apiError(500, "internal", "The console could not answer this request.");
    }
}

Response ConsoleImpl::apiNotAllowed() {
    Response response = apiError(405, "method_not_allowed", "The API only reads: GET or HEAD.");
    response.headers.emplace_back("Allow", "GET, HEAD");
    return response;
}

std::optional<std::int64_t> ConsoleImpl::apiId(const ApiCall& call) {
    return parseId(call.id);
}

Response ConsoleImpl::apiBadId() {
    return apiError(400, "bad_id", "An id is a decimal number.");
}

Response ConsoleImpl::apiMachines(const ApiCall& call) {
    const auto limit = limitOf(call.query);
    if (!limit) return apiError(400, "bad_limit", "limit is a number from 1 to 500.");
    ApiCursor cursor;
    cursor.scope = "machines";
    if (const std::string given = field(call.query, "cursor"); !given.empty()) {
        // The cursor holds the search and order it continues: the other parameters are not
        // needed with it, and do not change it.
        const auto decoded = decodeCursor(given);
        if (!decoded || decoded->scope != cursor.scope)
            return apiError(400, "bad_cursor", "This cursor is not one this listing gave.");
        cursor = *decoded;
    } else {
        cursor.search = field(call.query, "q");
        if (cursor.search.size() > kMaxSearchBytes)
            return apiError(400, "bad_search", "q is at most 200 bytes.");
        cursor.sort = field(call.query, "sort");
        if (cursor.sort.empty()) cursor.sort = "seen";
        const SortColumn& column = sortColumn(cursor.sort);
        if (cursor.sort != column.key)
            return apiError(400, "bad_sort",
                            "sort is one of maker, model, processor, cores, memory, disks, os, "
                            "seen, scans.");
        const std::string dir = field(call.query, "dir");
        if (!dir.empty() && dir != "asc" && dir != "desc")
            return apiError(400, "bad_dir", "dir is asc or desc.");
        cursor.descending = dir.empty() ? column.descendingFirst : dir == "desc";
        cursor.unseen = field(call.query, "unseen");
        if (!cursor.unseen.empty() && !server::utcDayStartMs(cursor.unseen))
            return apiError(400, "bad_date", "unseen is a day, YYYY-MM-DD.");
    }
    // The survey's filters (memory_type:DDR5) as in the console's list.
    const storage::MachineSearch parsed = storage::parseMachineSearch(cursor.search);
    storage::MachineQuery query;
    query.search = parsed.text;
    query.facets = parsed.facets;
    query.sort = sortColumn(cursor.sort).sort;
    query.descending = cursor.descending;
    query.limit = *limit;
    if (cursor.after) {
        query.from = storage::PageFrom::After;
        query.key = *cursor.after;
    }
    if (!cursor.unseen.empty())
        query.lastSeenBeforeMs = server::utcDayStartMs(cursor.unseen).value_or(0);

    json machines = json::array();
    json next = nullptr;
    std::uint64_t total = 0;
    // A receipt finds the machines of the scans given it, as in the console's list; a
    // receipt-shaped search no scan has is searched for as any text.
    std::vector<storage::ScanRow> receipted;
    if (!cursor.after) {
        if (const auto receipt = storage::receiptOf(cursor.search))
            receipted = store_.scansWithReceipt(*receipt);
    }
    if (receipted.empty() && !parsed.problem.empty())
        return apiError(400, "bad_search", "The search cannot be read: " + parsed.problem + ".");
    if (!receipted.empty()) {
        for (const auto& scan : receipted) {
            if (const auto machine = store_.machine(scan.machineId))
                machines.push_back(machineJson(*machine));
        }
        total = machines.size();
    } else {
        const storage::MachinePage page = store_.machines(query);
        for (const auto& m : page.machines) machines.push_back(machineJson(m));
        total = page.total;
        if (!page.machines.empty() && page.moreAfter) {
            ApiCursor following = cursor;
            following.after = storage::keyOf(page.machines.back(), query.sort);
            next = encodeCursor(following);
        }
    }
    return jsonAnswer(200, {{"machines", std::move(machines)}, {"total", total}, {"next", next}});
}

Response ConsoleImpl::apiMachine(const ApiCall& call) {
    const auto id = apiId(call);
    if (!id) return apiBadId();
    const auto machine = store_.machine(*id);
    if (!machine) return apiError(404, "not_found", "There is no such machine.");
    json notes = json::array();
    for (const auto& n : store_.notes(*id)) {
        notes.push_back({{"id", n.id},
                         {"at", isoTime(n.atMs)},
                         {"atMs", n.atMs},
                         {"author", n.author},
                         {"text", n.text},
                         {"link", n.link}});
    }
    return jsonAnswer(200, {{"machine", machineJson(*machine)}, {"notes", std::move(notes)}});
}

Response ConsoleImpl::apiMachineScans(const ApiCall& call) {
    const auto id = apiId(call);
    if (!id) return apiBadId();
    const auto limit = limitOf(call.query);
    if (!limit) return apiError(400, "bad_limit", "limit is a number from 1 to 500.");
    ApiCursor cursor;
    cursor.scope = "machine " + std::to_string(*id) + " scans";
    if (const std::string given = field(call.query, "cursor"); !given.empty()) {
        const auto decoded = decodeCursor(given);
        if (!decoded || decoded->scope != cursor.scope)
            return apiError(400, "bad_cursor", "This cursor is not one this listing gave.");
        cursor = *decoded;
    }
    const auto machine = store_.machine(*id);
    if (!machine) return apiError(404, "not_found", "There is no such machine.");
    json scans = json::array();
    const auto rows = store_.scans(*id, *limit, cursor.offset);
    for (const auto& row : rows) scans.push_back(scanRowJson(row));
    json next = nullptr;
    if (rows.size() == *limit && cursor.offset + rows.size() < machine->scanCount) {
        cursor.offset += rows.size();
        next = encodeCursor(cursor);
    }
    return jsonAnswer(200,
                      {{"scans", std::move(scans)}, {"total", machine->scanCount}, {"next", next}});
}

Response ConsoleImpl::apiScan(const ApiCall& call) {
    const auto id = apiId(call);
    if (!id) return apiBadId();
    const auto record = store_.scan(*id);
    if (!record) return apiError(404, "not_found", "There is no such scan.");
    json summary = nullptr;
    std::string problem;
    if (const SummaryOrProblem fresh = summaryOf(*record); fresh.summary) {
        summary = json::parse(report::toJson(*fresh.summary).dump());
    } else {
        problem = fresh.problem;
    }
    json body = {{"scan", scanRowJson(record->row)}, {"summary", std::move(summary)}};
    if (!problem.empty()) body["summaryProblem"] = problem;
    return jsonAnswer(200, body);
}

Response ConsoleImpl::apiReport(const ApiCall& call) {
    const auto id = apiId(call);
    if (!id) return apiBadId();
    const auto record = store_.scan(*id);
    if (!record) return apiError(404, "not_found", "There is no such scan.");
    Response response;
    if (call.http.path.ends_with(".xml")) {
        response.headers.emplace_back("Content-Type", "application/xml; charset=utf-8");
        response.body = reportUtf8(*record);
    } else {
        // As the machine sent it, in the code page it was written in.
        response.headers.emplace_back("Content-Type",
                                      "application/xml; charset=" + record->row.encoding);
        response.body = record->reportBytes;
    }
    return response;
}

Response ConsoleImpl::apiDiff(const ApiCall& call) {
    const std::string fromText = field(call.query, "from"), toText = field(call.query, "to");
    if (fromText.empty() || toText.empty())
        return apiError(400, "missing_parameter", "from and to name two scans of one machine.");
    const auto from = parseId(fromText), to = parseId(toText);
    if (!from || !to) return apiBadId();
    const auto before = store_.scan(*from), after = store_.scan(*to);
    if (!before || !after) return apiError(404, "not_found", "There is no such scan.");
    if (before->row.machineId != after->row.machineId)
        return apiError(400, "different_machines",
                        "These scans are of different machines; changes are compared between "
                        "scans of one machine.");
    const SummaryOrProblem a = summaryOf(*before), b = summaryOf(*after);
    if (!a.summary || !b.summary)
        return apiError(422, "unreadable_report", a.summary ? b.problem : a.problem);
    return jsonAnswer(
        200,
        {{"machineId", before->row.machineId},
         {"from", *from},
         {"to", *to},
         {"changes", json::parse(report::toJson(report::diff(*a.summary, *b.summary)).dump())}});
}

Response ConsoleImpl::apiSurvey(const ApiCall& call) {
    survey::Period period;
    const auto day = [&](const char* name) -> std::optional<std::optional<std::int64_t>> {
        const std::string text = field(call.query, name);
        if (text.empty()) return std::optional<std::int64_t>{};
        const auto ms = server::utcDayStartMs(text);
        if (!ms) return std::nullopt;
        return ms;
    };
    const auto since = day("since"), until = day("until");
    if (!since || !until) return apiError(400, "bad_date", "since and until are days, YYYY-MM-DD.");
    const std::int64_t today = now() - now() % kDayMs;
    period.untilMs = until->value_or(today + kDayMs);
    period.sinceMs = since->value_or(period.untilMs - kDefaultSurveyDays * kDayMs);
    if (period.sinceMs >= period.untilMs)
        return apiError(400, "bad_period", "since must be a day before until.");
    std::size_t top = 10;
    if (hasField(call.query, "top")) {
        const auto n = parseId(field(call.query, "top"));
        if (!n || *n < 1 || static_cast<std::size_t>(*n) > kMaxSurveyTop)
            return apiError(400, "bad_top", "top is a number from 1 to 100.");
        top = static_cast<std::size_t>(*n);
    }
    return jsonAnswer(200, survey::toJson(survey::surveyOfStore(store_, period, top)));
}

}  // namespace gravelin::console::detail
