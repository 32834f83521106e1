// The console's handler: the answers every part of it gives (pages rendered from the
// templates under receiver/console/templates/, escaping every value; messages, redirects,
// downloads), the security headers every answer carries, and the routing of a request to
// the pages (ConsolePages.cpp), sign-in (ConsoleSessions.cpp), the survey
// (ConsoleSurvey.cpp) and exports
// (ConsoleExports.cpp), the API (ConsoleApi.cpp), and who may reach what: viewers read,
// admins also change data and read the users, the API tokens and the audit log
// (ConsoleAdmin.cpp).

#include "receiver/console/Console.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "receiver/console/Assets.h"
#include "receiver/console/ConsoleInternal.h"
#include "shared/CodePage.h"

namespace gravelin::console {
namespace detail {

namespace {

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

}  // namespace

std::string lowerCase(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}
bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The report as UTF-8 text, whatever code page the machine wrote it in.
std::string reportUtf8(const storage::ScanRecord& record) {
    if (record.row.encoding == "windows-1252") return windows1252().toUtf8(record.reportBytes);
    return record.reportBytes;
}

Response ConsoleImpl::handle(const Request& request) {
    Response response;
    try {
        response = route(request);
    } catch (const storage::StorageUnavailable&) {
        response = message(503, "Storage unavailable",
                           "The database cannot be reached just now. Try again shortly.");
    } catch (const std::exception&) {
        response =
            message(500, "Something went wrong", "The console could not answer this request.");
    }
    secure(response);
    return response;
}

std::int64_t ConsoleImpl::now() const {
    if (options_.clock) return options_.clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

storage::AuditEntry ConsoleImpl::auditEntry(const Request& request, const std::string& actor,
                                            std::string_view action, std::string target,
                                            std::string detail) const {
    storage::AuditEntry entry;
    entry.atMs = now();
    entry.actor = actor;
    entry.action = std::string(action);
    entry.target = std::move(target);
    entry.address = clientAddressOf(request);
    entry.detail = std::move(detail);
    return entry;
}

void ConsoleImpl::audit(const Request& request, const std::string& actor, std::string_view action,
                        std::string target, std::string detail) {
    store_.appendAudit(auditEntry(request, actor, action, std::move(target), std::move(detail)));
}

void ConsoleImpl::audit(const Request& request, const Authenticated& auth, std::string_view action,
                        std::string target, std::string detail) {
    audit(request, auth.session.accountName, action, std::move(target), std::move(detail));
}

// ---- answers ----

void ConsoleImpl::secure(Response& response) {
    auto& h = response.headers;
    const bool hasCache =
        std::any_of(h.begin(), h.end(), [](const auto& p) { return p.first == "Cache-Control"; });
    h.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
    h.emplace_back("X-Content-Type-Options", "nosniff");
    h.emplace_back("Referrer-Policy", "no-referrer");
    h.emplace_back("X-Frame-Options", "DENY");
    h.emplace_back("Cross-Origin-Opener-Policy", "same-origin");
    h.emplace_back("Cross-Origin-Resource-Policy", "same-origin");
    if (!hasCache) h.emplace_back("Cache-Control", "no-store");
}

// A whole page: the layout around the named page template, both escaping every value.
Response ConsoleImpl::page(int status, const std::string& title, const std::string& templateName,
                           Data context, const Authenticated* auth) const {
    const std::string pageText(asset(templateName + ".mustache"));
    context.set("title", kIsolate + title + kIsolateEnd);
    if (auth) {
        // Who is signed in, on every page: a browser signed in to someone else's account
        // (a session cookie planted from another port of this host) shows it.
        Data user = objectData();
        user.set("formToken", auth->session.formToken);
        user.set("name", auth->session.accountName);
        user.set("role", storage::roleName(auth->session.role));
        user.set("admin", isAdmin(*auth));
        context.set("user", user);
    }
    context.set("content", kainjow::mustache::partial([pageText] { return pageText; }));
    kainjow::mustache::mustache layout{std::string(asset("layout.mustache"))};
    // Every value is escaped, and its control characters shown rather than sent raw.
    layout.set_custom_escape([](const std::string& value) {
        return kainjow::mustache::html_escape(visibleControls(value));
    });
    std::string body = layout.render(context);
    if (!layout.is_valid()) throw std::runtime_error("template: " + layout.error_message());
    Response response;
    response.status = status;
    response.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    response.body = std::move(body);
    return response;
}

Response ConsoleImpl::message(int status, const std::string& title, const std::string& text,
                              const Authenticated* auth) const {
    Data context = objectData();
    context.set("heading", title);
    context.set("message", text);
    return page(status, title, "message", context, auth);
}

Response ConsoleImpl::plain(int status, const std::string& text) {
    Response response;
    response.status = status;
    response.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    response.body = text + "\n";
    return response;
}

Response ConsoleImpl::redirect(const std::string& location) {
    Response response;
    response.status = 303;
    response.headers.emplace_back("Location", location);
    response.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    response.body = "See " + location + "\n";
    return response;
}

Response ConsoleImpl::download(const std::string& contentType, const std::string& fileName,
                               std::string body) {
    Response response;
    response.headers.emplace_back("Content-Type", contentType);
    response.headers.emplace_back("Content-Disposition",
                                  "attachment; filename=\"" + fileName + "\"");
    response.body = std::move(body);
    return response;
}

Response ConsoleImpl::notAllowed(const std::string& allow) {
    Response response = plain(405, "method not allowed");
    response.headers.emplace_back("Allow", allow);
    return response;
}

Response ConsoleImpl::notFound(const Authenticated& auth) const {
    return message(404, "Not found", "There is nothing at this address.", &auth);
}

Response ConsoleImpl::adminsOnly(const Authenticated& auth) const {
    return message(403, "For admins only",
                   "Your account is a viewer: it reads machines, scans and exports. Changing "
                   "data, the users and the audit log are for admins; an admin can change your "
                   "role.",
                   &auth);
}

// ---- routing ----

Response ConsoleImpl::route(const Request& request) {
    const std::string& path = request.path;
    const bool get = request.method == "GET" || request.method == "HEAD";

    // The console's own style sheet and script, the same for everyone.
    struct StaticFile {
        std::string_view path, asset, type;
    };
    for (const StaticFile& file :
         {StaticFile{"/console.css", "console.css", "text/css; charset=utf-8"},
          StaticFile{"/console.js", "console.js", "text/javascript; charset=utf-8"}}) {
        if (path != file.path) continue;
        if (!get) return notAllowed("GET, HEAD");
        Response response;
        response.headers.emplace_back("Content-Type", std::string(file.type));
        response.headers.emplace_back("Cache-Control", "private, max-age=3600");
        response.body = std::string(asset(file.asset));
        return response;
    }
    if (path == "/favicon.ico") return plain(404, "not found");
    // The API answers programs with a token, never a session (ConsoleApi.cpp).
    if (path == "/api" || startsWith(path, "/api/")) return api(request);
    if (path == "/signin") {
        if (get) {
            const auto signedIn = authenticate(request);
            return signInPage(request, 200, {}, {}, 0, signedIn ? &*signedIn : nullptr);
        }
        if (request.method == "POST") return signIn(request);
        return notAllowed("GET, HEAD, POST");
    }

    const auto auth = authenticate(request);
    if (!auth) {
        // Data for programs answer 401; pages send people to the sign-in form.
        if (isExport(path)) return plain(401, "sign in first");
        return redirect(signInAddress(request));
    }
    if (path == "/signout") {
        if (request.method != "POST") return notAllowed("POST");
        return signOut(request, *auth);
    }
    if (!get) {
        // Every other address only reads. A POST still needs the form token, so that a
        // forged request learns nothing, not even which addresses exist.
        if (request.method == "POST") {
            if (!formTokenMatches(*auth, parseForm(request.body.substr(
                                             0, std::min(request.body.size(), kMaxFormBytes))))) {
                return message(403, "Refused", "The form token is missing or wrong.", &*auth);
            }
            if (forAdmins(request) && !isAdmin(*auth)) return adminsOnly(*auth);
            if (startsWith(path, "/machines/") && endsWith(path, "/delete")) {
                const auto id = parseId(std::string_view(path).substr(10, path.size() - 17));
                if (!id) return notFound(*auth);
                return deleteMachine(request, *id, *auth);
            }
            if (startsWith(path, "/scans/") && endsWith(path, "/accept")) {
                const auto id = parseId(std::string_view(path).substr(7, path.size() - 14));
                if (!id) return notFound(*auth);
                return acceptScan(request, *id, *auth);
            }
            const Fields form =
                parseForm(request.body.substr(0, std::min(request.body.size(), kMaxFormBytes)));
            if (startsWith(path, "/scans/") && endsWith(path, "/split")) {
                const auto id = parseId(std::string_view(path).substr(7, path.size() - 13));
                if (!id) return notFound(*auth);
                return splitScan(request, *id, *auth);
            }
            if (startsWith(path, "/machines/") && endsWith(path, "/merge")) {
                const auto id = parseId(std::string_view(path).substr(10, path.size() - 16));
                if (!id) return notFound(*auth);
                return mergeMachines(request, *id, form, *auth);
            }
            if (startsWith(path, "/machines/") && endsWith(path, "/notes")) {
                const auto id = parseId(std::string_view(path).substr(10, path.size() - 16));
                if (!id) return notFound(*auth);
                return addNote(request, *id, form, *auth);
            }
            if (path == "/tokens") return changeToken(request, true, form, *auth);
            if (path == "/tokens/revoke") return changeToken(request, false, form, *auth);
            if (path == "/placeholders") return changePlaceholder(request, true, form, *auth);
            if (path == "/placeholders/delete")
                return changePlaceholder(request, false, form, *auth);
            if (path == "/webhooks") return changeWebhook(request, "add", form, *auth);
            if (path == "/webhooks/delete") return changeWebhook(request, "delete", form, *auth);
            if (path == "/webhooks/retry") return changeWebhook(request, "retry", form, *auth);
        }
        return notAllowed("GET, HEAD");
    }

    if (forAdmins(request) && !isAdmin(*auth)) return adminsOnly(*auth);
    const Fields query =
        parseForm(request.query.substr(0, std::min<std::size_t>(request.query.size(), 4096)));
    if (path == "/" || path == "/machines/") return redirect("/machines");
    if (path == "/machines") return machineList(query, *auth);
    if (path == "/machines.csv") return machineCsv(request, query, *auth);
    if (path == "/diff") return diffPage(request, query, *auth);
    if (path == "/changes") return changesPage(query, *auth);
    if (path == "/changes.csv") return changesExport(request, query, false, *auth);
    if (path == "/changes.json") return changesExport(request, query, true, *auth);
    if (path == "/survey") return surveyPage(query, *auth);
    if (path == "/survey.csv") return surveyExport(request, query, "csv", *auth);
    if (path == "/survey.json") return surveyExport(request, query, "json", *auth);
    if (path == "/survey.html") return surveyExport(request, query, "html", *auth);
    if (path == "/users") return usersPage(*auth);
    if (path == "/tokens") return tokensPage(*auth);
    if (path == "/audit") return auditPage(query, *auth);
    if (startsWith(path, "/machines/") && endsWith(path, "/delete")) {
        const auto id = parseId(std::string_view(path).substr(10, path.size() - 17));
        if (!id) return notFound(*auth);
        return deleteMachine(request, *id, *auth);
    }
    if (path == "/conflicts") return conflictsPage(query, *auth);
    if (path == "/placeholders") return placeholdersPage(*auth);
    if (path == "/webhooks") return webhooksPage(*auth);
    if (startsWith(path, "/machines/") && endsWith(path, "/merge")) {
        const auto id = parseId(std::string_view(path).substr(10, path.size() - 16));
        if (!id) return notFound(*auth);
        return mergeConfirmation(*id, query, *auth);
    }
    if (startsWith(path, "/machines/")) {
        const auto id = parseId(std::string_view(path).substr(10));
        if (!id) return notFound(*auth);
        return machinePage(request, *id, std::nullopt, *auth);
    }
    if (startsWith(path, "/scans/")) {
        std::string_view rest = std::string_view(path).substr(7);
        std::string_view kind;
        const auto slash = rest.find('/');
        if (slash != std::string_view::npos) {
            kind = rest.substr(slash + 1);
            rest = rest.substr(0, slash);
        } else if (endsWith(rest, ".json")) {
            kind = "json";
            rest.remove_suffix(5);
        }
        const auto id = parseId(rest);
        if (!id) return isExport(path) ? plain(404, "no such scan") : notFound(*auth);
        if (kind.empty()) return machinePage(request, std::nullopt, *id, *auth);
        if (kind == "report") return rawReport(request, *id, false, *auth);
        if (kind == "report.xml") return rawReport(request, *id, true, *auth);
        if (kind == "json") return scanJson(request, *id, *auth);
        if (kind == "accept" || kind == "split") return notAllowed("POST");
        return plain(404, "not found");
    }
    return notFound(*auth);
}

bool ConsoleImpl::forAdmins(const Request& request) {
    // Every POST the router takes past the form token changes data (signing out is routed
    // before); these pages read what only admins may read, or lead to a change.
    static constexpr std::string_view kAdminPages[] = {"/users",        "/audit",  "/conflicts",
                                                       "/placeholders", "/tokens", "/webhooks"};
    if (request.method == "POST") return true;
    const std::string_view path = request.path;
    if (path.starts_with("/machines/") && (path.ends_with("/delete") || path.ends_with("/merge")))
        return true;
    return std::find(std::begin(kAdminPages), std::end(kAdminPages), path) != std::end(kAdminPages);
}

bool ConsoleImpl::isExport(const std::string& path) {
    return endsWith(path, ".csv") || endsWith(path, ".json") || endsWith(path, ".xml") ||
           endsWith(path, "/report");
}

}  // namespace detail

server::Handler makeConsole(storage::Store& store, const ConsoleOptions& options) {
    auto console = std::make_shared<detail::ConsoleImpl>(store, options);
    return [console](const server::Request& request) { return console->handle(request); };
}

}  // namespace gravelin::console
