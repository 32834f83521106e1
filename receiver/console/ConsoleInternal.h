// The console's own header, shared by the files it is split into: the handler class
// (Console.cpp: answers and routing; ConsoleSessions.cpp: sign-in and sessions;
// ConsolePages.cpp: the machine list, one machine, changes; ConsoleIdentity.cpp: merging,
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
#include <vector>

#include "reading/Summary.h"
#include "receiver/console/Console.h"
#include "receiver/console/Throttle.h"
#include "receiver/console/Web.h"

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

struct Authenticated {
    storage::Session session;
};

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

    // ---- exports (ConsoleExports.cpp); each written to the audit log before it is given ----
    Response machineCsv(const Request& request, const Fields& fields, const Authenticated& auth);
    Response rawReport(const Request& request, std::int64_t scanId, bool utf8,
                       const Authenticated& auth);
    Response scanJson(const Request& request, std::int64_t scanId, const Authenticated& auth);

    // ---- admin pages (ConsoleAdmin.cpp) ----
    Response usersPage(const Authenticated& auth);
    Response auditPage(const Fields& fields, const Authenticated& auth);

    storage::Store& store_;
    ConsoleOptions options_;
    unsigned char key_[crypto_hash_sha256_BYTES]{};
    std::string sessionCookie_, signInCookie_;
    Throttle names_, addresses_;
    std::shared_ptr<HashQueue> hashQueue_;
    std::once_flag standInOnce_;
    std::string standInHash_;
};

}  // namespace gravelin::console::detail
