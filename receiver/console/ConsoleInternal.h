// The console's own header, shared by the files it is split into: the handler class
// (Console.cpp: answers and routing; ConsoleSessions.cpp: sign-in and sessions;
// ConsolePages.cpp: the machine list, one machine, changes; ConsoleChanges.cpp: the hardware
// change feed and a machine's timeline; ConsoleIdentity.cpp: merging,
// splitting, conflicting scans, placeholders, notes; ConsoleSummary.cpp: a summary as page
// rows; ConsoleExports.cpp: CSV, JSON and the stored report; ConsoleAdmin.cpp: the users and
// the audit log) and the helpers they share. Nothing outside receiver/console includes it.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <kainjow/mustache.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "reading/Summary.h"
#include "receiver/console/ApiTokens.h"
#include "reading/SurveyFacets.h"
#include "receiver/console/Console.h"
#include "receiver/console/RateLimit.h"
#include "receiver/console/Throttle.h"
#include "receiver/console/Web.h"
#include "receiver/survey/Survey.h"
#include "receiver/survey/Trend.h"

namespace gravelin::console::detail {

using server::Request;
using server::Response;
using Data = kainjow::mustache::data;

inline constexpr std::uint32_t kPageSize = 50;
inline constexpr std::size_t kMaxSearchBytes = 200;
inline constexpr std::size_t kMaxFormBytes = 8192;
// The longest address a sign-in leads back to; a longer one leads to the list.
inline constexpr std::size_t kMaxNextBytes = 2048;
inline constexpr std::uint64_t kMaxCsvRows = 1000000;
// The changes a machine's page shows before a link to the rest.
inline constexpr std::size_t kTimelineChanges = 30;
inline constexpr std::int64_t kSignInFormLifetimeMs = 3600LL * 1000;
// Retry-After of a sign-in refused because the password checks are all taken.
inline constexpr int kBusyRetrySeconds = 5;
// Unicode's first-strong isolate and its end: around untrusted text in the page title,
// where no element can isolate it.
inline constexpr const char* kIsolate = "\u2068";
inline constexpr const char* kIsolateEnd = "\u2069";

inline Data listData() {
    return Data(Data::type::list);
}
inline Data objectData() {
    return Data(Data::type::object);
}
inline std::string orDash(const std::string& s) {
    return s.empty() ? "—" : s;
}

std::string lowerCase(std::string s);
bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);
std::string randomBytes(std::size_t n);

// Where a sign-in may lead: `next` when it is a path on this site ("/scans/7",
// "/machines?q=dell"); nothing for anything that could leave it or break the header: a
// scheme, "//host" or "/\host", control characters, blanks or bytes past ASCII, the
// sign-in and sign-out addresses, anything over kMaxNextBytes.
std::optional<std::string> safeNext(std::string_view next);

// The report as UTF-8 text, whatever code page the machine wrote it in.
std::string reportUtf8(const storage::ScanRecord& record);

// A scan's summary, or why there is none.
struct SummaryOrProblem {
    std::optional<report::Summary> summary;
    std::string problem;
};

// The summary as the machine page's rows (ConsoleSummary.cpp).
Data summaryData(const report::Summary& summary);

// Sort keys of the machine list, as they appear in its links.
struct SortColumn {
    const char* key;
    const char* label;
    storage::MachineSort sort;
    bool descendingFirst;
};
extern const SortColumn kSortColumns[9];
const SortColumn& sortColumn(const std::string& key);

// The survey's rows (SurveyViews.cpp): one dimension's chart and table, each named value
// linked to the machines holding it when `links`.
std::string_view dimensionLabel(std::size_t dimension);
Data surveyDimensionData(const survey::Survey& survey, std::size_t dimension, bool links);
// A template of its own (no layout around it), escaping as the pages do.
std::string renderTemplate(const std::string& templateName, const Data& context);

struct Authenticated {
    storage::Session session;
};

// Where an API listing continues: opaque to clients (base64url of a small JSON object), made
// and read only by this pair, so that what it holds (today an offset; later a key to continue
// after) changes in one place. A cursor continues the listing of its scope only.
struct ApiCursor {
    std::string scope;  // "machines", "machine 12 scans"
    std::string search, sort, unseen;
    bool descending = true;
    std::uint64_t offset = 0;  // a machine's scans: how many were given before
    // Machines: the place of the last row given; the next page starts right after it, so
    // rows added or deleted meanwhile neither repeat a row nor skip one.
    std::optional<storage::MachineKey> after;
};
std::string encodeCursor(const ApiCursor& cursor);
// Nothing for anything encodeCursor did not make (or that was altered into nonsense).
std::optional<ApiCursor> decodeCursor(std::string_view text);

// How often a token's uses are written to the audit log at most.
inline constexpr std::int64_t kApiAuditIntervalMs = 60 * 1000;

class ConsoleImpl {
public:
    ConsoleImpl(storage::Store& store, ConsoleOptions options);
    Response handle(const Request& request);

private:
    std::int64_t now() const;

    // An audit entry for what `actor` (the signed-in account, or the name tried at sign-in)
    // did now from the request's client address. Destructive store calls take the entry and
    // write it in their own transaction; the rest append it with audit().
    storage::AuditEntry auditEntry(const Request& request, const std::string& actor,
                                   std::string_view action, std::string target,
                                   std::string detail = {}) const;
    // Throws what the store throws: an answer whose entry cannot be written is not given (a
    // log that silently misses reads is worthless); the request fails with 503 or 500.
    void audit(const Request& request, const std::string& actor, std::string_view action,
               std::string target, std::string detail = {});
    void audit(const Request& request, const Authenticated& auth, std::string_view action,
               std::string target, std::string detail = {});

    // ---- answers (Console.cpp) ----
    static void secure(Response& response);
    // A whole page: the layout around the named page template, both escaping every value.
    Response page(int status, const std::string& title, const std::string& templateName,
                  Data context, const Authenticated* auth) const;
    Response message(int status, const std::string& title, const std::string& text,
                     const Authenticated* auth = nullptr) const;
    static Response plain(int status, const std::string& text);
    static Response redirect(const std::string& location);
    static Response download(const std::string& contentType, const std::string& fileName,
                             std::string body);
    static Response notAllowed(const std::string& allow);
    Response notFound(const Authenticated& auth) const;
    // 403 for a viewer asking for what only admins may see or do.
    Response adminsOnly(const Authenticated& auth) const;

    // ---- routing (Console.cpp) ----
    Response route(const Request& request);
    static bool isExport(const std::string& path);
    // What only admins may reach: every page that changes or deletes data (every POST but
    // signing out), the users and the audit log.
    static bool forAdmins(const Request& request);

    // ---- sessions and sign-in (ConsoleSessions.cpp) ----
    std::string cookieHeader(const std::string& name, const std::string& value,
                             std::int64_t maxAgeSeconds, const Request& request) const;
    std::string mac(std::string_view message) const;
    static std::string tokenHash(const std::string& token);
    std::optional<std::string> sessionToken(const Request& request) const;
    std::optional<Authenticated> authenticate(const Request& request);
    static bool formTokenMatches(const Authenticated& auth, const Fields& form);
    const std::string& standInHash();
    Response signInPage(const Request& request, int status, const std::string& error,
                        const std::string& name, std::int64_t retryAfterSeconds = 0,
                        const Authenticated* signedIn = nullptr);
    bool signInFormValid(const Request& request, const Fields& form) const;
    bool postedFromAnotherOrigin(const Request& request) const;
    std::string clientAddressOf(const Request& request) const;
    Response tooManyFailures(const Request& request, std::int64_t lockedMs,
                             const std::string& name);
    Response signIn(const Request& request);
    Response signOut(const Request& request, const Authenticated& auth);
    // The sign-in form's address for a page asked for without a session: it leads back there.
    static std::string signInAddress(const Request& request);
    // The sign-in refused before its password was checked: written to the audit log.
    void auditThrottled(const Request& request, const std::string& name, std::string detail);

    // ---- pages (ConsolePages.cpp) ----
    // The summary stored with the scan. One stored by an older version that lacks fields
    // this one shows is made again from the report, once, and stored in its place.
    SummaryOrProblem summaryOf(const storage::ScanRecord& record);
    struct ListQuery {
        storage::MachineQuery query;
        std::string sortKey;
        std::string unseen;  // "not seen since" as YYYY-MM-DD; empty: no such filter
        // query.search is the search as typed (shown, kept in links); the store is asked
        // with its survey filters read out of it (storage::parseMachineSearch).
        storage::MachineSearch parsed;
        storage::MachineQuery storeQuery() const {
            storage::MachineQuery q = query;
            q.search = parsed.text;
            q.facets = parsed.facets;
            return q;
        }
    };
    static ListQuery listQuery(const Fields& fields);
    // A row of the machine list.
    static Data listRow(const storage::MachineRow& machine, const std::string& href);
    // The lines under a row saying which value the search terms matched where the row does
    // not show it (a serial number, the UUID). Reads the machine's latest summary only
    // when a serial number matched: at most the page's rows are read.
    std::vector<Data> matchLines(const storage::MachineRow& machine,
                                 const std::vector<std::string>& terms);
    Response machineList(const Fields& fields, const Authenticated& auth);
    Response machinePage(const Request& request, std::optional<std::int64_t> machineId,
                         std::optional<std::int64_t> scanId, const Authenticated& auth);
    // Whether the signed-in account may change or delete data (see storage::Role).
    static bool isAdmin(const Authenticated& auth);
    Response acceptScan(const Request& request, std::int64_t scanId, const Authenticated& auth);
    // The confirmation page (GET) and the deletion (POST) of a machine, admins only.
    Response deleteMachine(const Request& request, std::int64_t machineId,
                           const Authenticated& auth);
    Response diffPage(const Request& request, const Fields& fields, const Authenticated& auth);

    // ---- hardware changes (ConsoleChanges.cpp) ----
    Response changesPage(const Fields& fields, const Authenticated& auth);
    // The feed as CSV or JSON, with the page's filters (machine=ID: one machine's history).
    Response changesExport(const Request& request, const Fields& fields, bool json,
                           const Authenticated& auth);
    // A machine's newest `limit` changes grouped by scan, newest first; `more` when there
    // are older ones.
    Data machineChangesData(std::int64_t machineId, std::size_t limit, bool& more);

    // ---- identity, for admins (ConsoleIdentity.cpp) ----
    Response refusedToViewer(const Authenticated& auth) const;
    Response mergeConfirmation(std::int64_t into, const Fields& query, const Authenticated& auth);
    Response mergeMachines(const Request& request, std::int64_t into, const Fields& form,
                           const Authenticated& auth);
    Response splitScan(const Request& request, std::int64_t scanId, const Authenticated& auth);
    Response conflictsPage(const Fields& query, const Authenticated& auth);
    Response placeholdersPage(const Authenticated& auth, int status = 200,
                              const std::string& error = {});
    Response changePlaceholder(const Request& request, bool add, const Fields& form,
                               const Authenticated& auth);
    Response addNote(const Request& request, std::int64_t machineId, const Fields& form,
                     const Authenticated& auth);
    // A machine's notes as the machine page's rows.
    Data notesData(std::int64_t machineId);

    // ---- webhooks, for admins (ConsoleWebhooks.cpp) ----
    Response webhooksPage(const Authenticated& auth, int status = 200,
                          const std::string& error = {}, const std::string& secret = {},
                          std::int64_t secretHook = 0);
    Response changeWebhook(const Request& request, std::string_view what, const Fields& form,
                           const Authenticated& auth);

    // ---- exports (ConsoleExports.cpp); each written to the audit log before it is given ----
    Response machineCsv(const Request& request, const Fields& fields, const Authenticated& auth);
    Response rawReport(const Request& request, std::int64_t scanId, bool utf8,
                       const Authenticated& auth);
    Response scanJson(const Request& request, std::int64_t scanId, const Authenticated& auth);

    // ---- the API (ConsoleApi.cpp) ----
    struct ApiCall {
        const Request& http;
        Fields query;
        std::string id;  // the {id} segment of the address, as given
        storage::ApiToken token;
    };
    struct ApiRoute {
        std::string_view pattern;  // below /api/v1/, "{id}" standing for one segment
        storage::Role needs;
        Response (ConsoleImpl::*handler)(const ApiCall&);
    };
    struct ApiUse {
        std::int64_t loggedAtMs = 0;  // the last audit entry written; 0: none yet
        std::uint64_t requests = 0;   // requests since
    };
    Response api(const Request& request);
    static const std::vector<ApiRoute>& apiRoutes();
    static std::optional<std::pair<const ApiRoute*, std::string>> apiRoute(std::string_view path);
    // The token a request presents, or the 401 refusing it.
    std::variant<storage::ApiToken, Response> apiAuthenticate(const Request& request);
    // Counts the request, and writes the token's use to the audit log when a minute has
    // passed since its last entry.
    void apiNoteUse(const Request& request, const storage::ApiToken& token);
    static Response apiError(int status, std::string_view code, std::string_view text);
    static Response apiUnauthorized(std::string_view code, std::string_view text);
    static Response apiNotAllowed();
    static Response apiBadId();
    static std::optional<std::int64_t> apiId(const ApiCall& call);
    Response apiMachines(const ApiCall& call);
    Response apiMachine(const ApiCall& call);
    Response apiMachineScans(const ApiCall& call);
    Response apiScan(const ApiCall& call);
    Response apiReport(const ApiCall& call);
    Response apiDiff(const ApiCall& call);
    Response apiSurvey(const ApiCall& call);

    // ---- the survey (ConsoleSurvey.cpp) ----
    // The period asked for: a month (this month when none), or From and To days, which win.
    struct SurveyChoice {
        survey::Period period;
        survey::Month month;  // the month shown, whose trends end the page
        std::string monthField, sinceField, untilField;
        std::string query;  // the period as the downloads' query
        std::string error;  // what was wrong with the fields; the period is then the month
    };
    SurveyChoice surveyChoice(const Fields& fields) const;
    // The dimension a download is limited to; `unknown` when the name is none of them.
    static std::optional<report::survey::Dimension> surveyDimension(const Fields& fields,
                                                                    bool& unknown);
    Response surveyPage(const Fields& fields, const Authenticated& auth);
    // survey.csv, survey.json and survey.html (the snapshot to publish).
    Response surveyExport(const Request& request, const Fields& fields, std::string_view kind,
                          const Authenticated& auth);

    // ---- admin pages (ConsoleAdmin.cpp) ----
    Response usersPage(const Authenticated& auth);
    Response auditPage(const Fields& fields, const Authenticated& auth);
    Response tokensPage(const Authenticated& auth, int status = 200, const std::string& error = {},
                        const std::optional<IssuedToken>& issued = std::nullopt);
    Response changeToken(const Request& request, bool add, const Fields& form,
                         const Authenticated& auth);

    storage::Store& store_;
    ConsoleOptions options_;
    unsigned char key_[crypto_hash_sha256_BYTES]{};
    std::string sessionCookie_, signInCookie_;
    Throttle names_, addresses_;
    std::shared_ptr<HashQueue> hashQueue_;
    RateLimit apiRequests_;
    std::mutex apiUsesMutex_;
    std::unordered_map<std::int64_t, ApiUse> apiUses_;
    std::once_flag standInOnce_;
    std::string standInHash_;
};

}  // namespace gravelin::console::detail
