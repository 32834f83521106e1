// The console's handler: sign-in and sessions, the pages (rendered from the templates under
// receiver/console/templates/, escaping every value), the exports, and the security headers every
// answer carries.

#include "receiver/console/Console.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <kainjow/mustache.hpp>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "receiver/console/Assets.h"
#include "receiver/console/Csv.h"
#include "receiver/console/Throttle.h"
#include "receiver/console/Web.h"
#include "reading/Intake.h"
#include "reading/Summary.h"
#include "reading/SummaryJson.h"
#include "shared/CodePage.h"

namespace gravelin::console {

namespace {

using server::Request;
using server::Response;
using Data = kainjow::mustache::data;

constexpr std::uint32_t kPageSize = 50;
constexpr std::size_t kMaxSearchBytes = 200;
constexpr std::size_t kMaxFormBytes = 8192;
constexpr std::uint64_t kMaxCsvRows = 1000000;
constexpr std::int64_t kSignInFormLifetimeMs = 3600LL * 1000;
// Retry-After of a sign-in refused because the password checks are all taken.
constexpr int kBusyRetrySeconds = 5;
// Unicode's first-strong isolate and its end: around untrusted text in the page title,
// where no element can isolate it.
constexpr const char* kIsolate = "\u2068";
constexpr const char* kIsolateEnd = "\u2069";

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

Data listData() {
    return Data(Data::type::list);
}
Data objectData() {
    return Data(Data::type::object);
}
std::string orDash(const std::string& s) {
    return s.empty() ? "—" : s;
}
template <typename T>
std::string numberOrDash(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "—";
}

std::string toHex(const unsigned char* bytes, std::size_t n) {
    std::string out(n * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.resize(n * 2);
    return out;
}

std::string base64url(const unsigned char* bytes, std::size_t n) {
    const int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string out(sodium_base64_encoded_len(n, variant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes, n, variant);
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

// Exactly `size` bytes decoded from base64url, or nothing.
std::optional<std::string> fromBase64url(std::string_view text, std::size_t size) {
    std::string out(size + 1, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(),
                          text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != text.data() + text.size() || length != size) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::string randomBytes(std::size_t n) {
    std::string out(n, '\0');
    randombytes_buf(out.data(), n);
    return out;
}

bool equalInConstantTime(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

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

// Text order with runs of digits compared as numbers: "DIMM 2" < "DIMM 10".
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] == '0') ++ei;
            while (ej < b.size() && b[ej] == '0') ++ej;
            std::size_t ni = ei, nj = ej;
            while (ni < a.size() && a[ni] >= '0' && a[ni] <= '9') ++ni;
            while (nj < b.size() && b[nj] >= '0' && b[nj] <= '9') ++nj;
            if (ni - ei != nj - ej) return ni - ei < nj - ej;
            const int c = a.compare(ei, ni - ei, b, ej, nj - ej);
            if (c != 0) return c < 0;
            i = ni;
            j = nj;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The report as UTF-8 text, whatever code page the machine wrote it in.
std::string reportUtf8(const storage::ScanRecord& record) {
    if (record.row.encoding == "windows-1252") return windows1252().toUtf8(record.reportBytes);
    return record.reportBytes;
}

struct SummaryOrProblem {
    std::optional<report::Summary> summary;
    std::string problem;
};

SummaryOrProblem summaryOf(const storage::ScanRecord& record) {
    const report::IntakeResult parsed = report::receiveText(reportUtf8(record));
    if (parsed.rejection != report::Rejection::None || !parsed.report.document) {
        return {std::nullopt, std::string("the stored report cannot be read: ") +
                                  report::rejectionReason(parsed.rejection)};
    }
    return {report::summarise(*parsed.report.document), {}};
}

// Sort keys of the machine list, as they appear in its links.
struct SortColumn {
    const char* key;
    const char* label;
    storage::MachineSort sort;
    bool descendingFirst;
};
constexpr SortColumn kSortColumns[] = {
    {"maker", "Maker", storage::MachineSort::Maker, false},
    {"model", "Model", storage::MachineSort::Model, false},
    {"processor", "Processor", storage::MachineSort::Processor, false},
    {"cores", "Cores / threads", storage::MachineSort::Cores, true},
    {"memory", "Memory", storage::MachineSort::Memory, true},
    {"disks", "Disks", storage::MachineSort::Disks, false},
    {"os", "Operating system", storage::MachineSort::Os, false},
    {"seen", "Last seen", storage::MachineSort::LastSeen, true},
    {"scans", "Scans", storage::MachineSort::Scans, true},
};

const SortColumn& sortColumn(const std::string& key) {
    for (const auto& column : kSortColumns) {
        if (key == column.key) return column;
    }
    return kSortColumns[7];  // last seen
}

struct Authenticated {
    storage::Session session;
};

class ConsoleImpl {
public:
    ConsoleImpl(storage::Store& store, ConsoleOptions options)
        : store_(store),
          options_(std::move(options)),
          names_(options_.freeFailuresPerName, options_.maxSignInLockMs),
          addresses_(options_.freeFailuresPerAddress, options_.maxSignInLockMs),
          hashQueue_(options_.hashQueue ? options_.hashQueue
                                        : std::make_shared<HashQueue>(options_.hashThreads,
                                                                      options_.hashWaiting)) {
        if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
        // The cookie key: the secret's hash, or random bytes (sessions then end with the
        // process).
        const std::string secret = options_.secret.empty()
                                       ? randomBytes(crypto_auth_hmacsha256_KEYBYTES)
                                       : options_.secret;
        crypto_hash_sha256(key_, reinterpret_cast<const unsigned char*>(secret.data()),
                           secret.size());
        sessionCookie_ = options_.secureCookies ? "__Host-gravelin-session" : "gravelin-session";
        signInCookie_ = options_.secureCookies ? "__Host-gravelin-signin" : "gravelin-signin";
    }

    Response handle(const Request& request) {
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

private:
    std::int64_t now() const {
        if (options_.clock) return options_.clock();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    // ---- answers ----

    static void secure(Response& response) {
        auto& h = response.headers;
        const bool hasCache = std::any_of(h.begin(), h.end(),
                                          [](const auto& p) { return p.first == "Cache-Control"; });
        h.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
        h.emplace_back("X-Content-Type-Options", "nosniff");
        h.emplace_back("Referrer-Policy", "no-referrer");
        h.emplace_back("X-Frame-Options", "DENY");
        h.emplace_back("Cross-Origin-Opener-Policy", "same-origin");
        h.emplace_back("Cross-Origin-Resource-Policy", "same-origin");
        if (!hasCache) h.emplace_back("Cache-Control", "no-store");
    }

    // A whole page: the layout around the named page template, both escaping every value.
    Response page(int status, const std::string& title, const std::string& templateName,
                  Data context, const Authenticated* auth) const {
        const std::string pageText(asset(templateName + ".mustache"));
        context.set("title", kIsolate + title + kIsolateEnd);
        if (auth) {
            // Who is signed in, on every page: a browser signed in to someone else's account
            // (a session cookie planted from another port of this host) shows it.
            Data user = objectData();
            user.set("formToken", auth->session.formToken);
            user.set("name", auth->session.accountName);
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

    Response message(int status, const std::string& title, const std::string& text,
                     const Authenticated* auth = nullptr) const {
        Data context = objectData();
        context.set("heading", title);
        context.set("message", text);
        return page(status, title, "message", context, auth);
    }

    static Response plain(int status, const std::string& text) {
        Response response;
        response.status = status;
        response.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
        response.body = text + "\n";
        return response;
    }

    static Response redirect(const std::string& location) {
        Response response;
        response.status = 303;
        response.headers.emplace_back("Location", location);
        response.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
        response.body = "See " + location + "\n";
        return response;
    }

    static Response download(const std::string& contentType, const std::string& fileName,
                             std::string body) {
        Response response;
        response.headers.emplace_back("Content-Type", contentType);
        response.headers.emplace_back("Content-Disposition",
                                      "attachment; filename=\"" + fileName + "\"");
        response.body = std::move(body);
        return response;
    }

    static Response notAllowed(const std::string& allow) {
        Response response = plain(405, "method not allowed");
        response.headers.emplace_back("Allow", allow);
        return response;
    }

    // Secure when the console says so, and whenever the request came over TLS or through a
    // proxy that terminated TLS (X-Forwarded-Proto: https), even if the console was set up
    // for plain HTTP. A forged header only makes the cookie stricter.
    std::string cookieHeader(const std::string& name, const std::string& value,
                             std::int64_t maxAgeSeconds, const Request& request) const {
        std::string header = name + "=" + value +
                             "; Path=/; Max-Age=" + std::to_string(maxAgeSeconds) +
                             "; HttpOnly; SameSite=Strict";
        if (options_.secureCookies || request.secure ||
            lowerCase(request.header("x-forwarded-proto")) == "https") {
            header += "; Secure";
        }
        return header;
    }

    // ---- sessions ----

    std::string mac(std::string_view message) const {
        unsigned char out[crypto_auth_hmacsha256_BYTES];
        crypto_auth_hmacsha256(out, reinterpret_cast<const unsigned char*>(message.data()),
                               message.size(), key_);
        return std::string(reinterpret_cast<const char*>(out), sizeof out);
    }

    static std::string tokenHash(const std::string& token) {
        unsigned char digest[crypto_hash_sha256_BYTES];
        crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()),
                           token.size());
        return toHex(digest, sizeof digest);
    }

    // The session cookie's token when the cookie is well-formed and was made with our key.
    std::optional<std::string> sessionToken(const Request& request) const {
        const auto value = cookie(request.header("cookie"), sessionCookie_);
        if (!value || value->size() > 200) return std::nullopt;
        const auto dot = value->find('.');
        if (dot == std::string::npos) return std::nullopt;
        const auto token = fromBase64url(std::string_view(*value).substr(0, dot), 32);
        const auto tag =
            fromBase64url(std::string_view(*value).substr(dot + 1), crypto_auth_hmacsha256_BYTES);
        if (!token || !tag) return std::nullopt;
        if (crypto_auth_hmacsha256_verify(reinterpret_cast<const unsigned char*>(tag->data()),
                                          reinterpret_cast<const unsigned char*>(token->data()),
                                          token->size(), key_) != 0) {
            return std::nullopt;
        }
        return token;
    }

    std::optional<Authenticated> authenticate(const Request& request) {
        const auto token = sessionToken(request);
        if (!token) return std::nullopt;
        const std::string hash = tokenHash(*token);
        auto session = store_.session(hash);
        if (!session) return std::nullopt;
        if (session->expiresAtMs <= now()) {
            store_.dropSession(hash);
            return std::nullopt;
        }
        return Authenticated{*session};
    }

    static bool formTokenMatches(const Authenticated& auth, const Fields& form) {
        const std::string sent = field(form, "token");
        return !auth.session.formToken.empty() && equalInConstantTime(sent, auth.session.formToken);
    }

    // The password hash checked for names that have no account, so that they cost the same.
    const std::string& standInHash() {
        std::call_once(standInOnce_, [this] {
            standInHash_ = hashPassword(
                toHex(reinterpret_cast<const unsigned char*>(randomBytes(16).data()), 16),
                options_.passwordCost);
        });
        return standInHash_;
    }

    // ---- routing ----

    Response route(const Request& request) {
        const std::string& path = request.path;
        const bool get = request.method == "GET" || request.method == "HEAD";

        if (path == "/console.css") {
            if (!get) return notAllowed("GET, HEAD");
            Response response;
            response.headers.emplace_back("Content-Type", "text/css; charset=utf-8");
            response.headers.emplace_back("Cache-Control", "private, max-age=3600");
            response.body = std::string(asset("console.css"));
            return response;
        }
        if (path == "/favicon.ico") return plain(404, "not found");
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
            return redirect("/signin");
        }
        if (path == "/signout") {
            if (request.method != "POST") return notAllowed("POST");
            return signOut(request, *auth);
        }
        if (!get) {
            // Every other address only reads. A POST still needs the form token, so that a
            // forged request learns nothing, not even which addresses exist.
            if (request.method == "POST") {
                if (!formTokenMatches(*auth,
                                      parseForm(request.body.substr(
                                          0, std::min(request.body.size(), kMaxFormBytes))))) {
                    return message(403, "Refused", "The form token is missing or wrong.", &*auth);
                }
                if (startsWith(path, "/scans/") && endsWith(path, "/accept")) {
                    const auto id = parseId(std::string_view(path).substr(7, path.size() - 14));
                    if (!id) return notFound(*auth);
                    return acceptScan(*id, *auth);
                }
            }
            return notAllowed("GET, HEAD");
        }

        const Fields query =
            parseForm(request.query.substr(0, std::min<std::size_t>(request.query.size(), 4096)));
        if (path == "/" || path == "/machines/") return redirect("/machines");
        if (path == "/machines") return machineList(query, *auth);
        if (path == "/machines.csv") return machineCsv(query);
        if (path == "/diff") return diffPage(query, *auth);
        if (startsWith(path, "/machines/")) {
            const auto id = parseId(std::string_view(path).substr(10));
            if (!id) return notFound(*auth);
            return machinePage(*id, std::nullopt, *auth);
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
            if (kind.empty()) return machinePage(std::nullopt, *id, *auth);
            if (kind == "report") return rawReport(*id, false);
            if (kind == "report.xml") return rawReport(*id, true);
            if (kind == "json") return scanJson(*id);
            if (kind == "accept") return notAllowed("POST");
            return plain(404, "not found");
        }
        return notFound(*auth);
    }

    static bool isExport(const std::string& path) {
        return endsWith(path, ".csv") || endsWith(path, ".json") || endsWith(path, ".xml") ||
               endsWith(path, "/report");
    }

    Response notFound(const Authenticated& auth) const {
        return message(404, "Not found", "There is nothing at this address.", &auth);
    }

    // ---- sign-in ----

    // The sign-in form carries a token bound to a short-lived cookie of its own, so that no
    // other site can sign a browser in to an account of its choosing.
    Response signInPage(const Request& request, int status, const std::string& error,
                        const std::string& name, std::int64_t retryAfterSeconds = 0,
                        const Authenticated* signedIn = nullptr) {
        const std::string nonce = randomBytes(24);
        const std::string nonceText =
            base64url(reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size());
        const std::string expires = std::to_string(now() + kSignInFormLifetimeMs);
        const std::string formValue = nonceText + "." + expires;
        const std::string tag = mac("signin|" + formValue);
        Data context = objectData();
        context.set("token",
                    formValue + "." +
                        base64url(reinterpret_cast<const unsigned char*>(tag.data()), tag.size()));
        context.set("name", name);
        if (!error.empty()) context.set("error", error);
        Response response = page(status, "Sign in", "signin", context, signedIn);
        response.headers.emplace_back(
            "Set-Cookie",
            cookieHeader(signInCookie_, nonceText, kSignInFormLifetimeMs / 1000, request));
        if (retryAfterSeconds > 0) {
            response.headers.emplace_back("Retry-After", std::to_string(retryAfterSeconds));
        }
        return response;
    }

    bool signInFormValid(const Request& request, const Fields& form) const {
        const std::string token = field(form, "token");
        const auto nonce = cookie(request.header("cookie"), signInCookie_);
        const auto first = token.find('.');
        const auto second = token.find('.', first == std::string::npos ? first : first + 1);
        if (!nonce || first == std::string::npos || second == std::string::npos) return false;
        const std::string formValue = token.substr(0, second);
        const auto tag =
            fromBase64url(std::string_view(token).substr(second + 1), crypto_auth_hmacsha256_BYTES);
        if (!tag || !equalInConstantTime(*tag, mac("signin|" + formValue))) return false;
        if (!equalInConstantTime(token.substr(0, first), *nonce)) return false;
        const auto expires = parseId(std::string_view(token).substr(first + 1, second - first - 1));
        return expires && *expires > now();
    }

    // A browser says where a form was posted from: Sec-Fetch-Site, else Origin. Other ports
    // of this host count as other sites here: they share its cookies (cookies do not keep
    // ports apart), so a page on one could plant a sign-in form's cookie and post the form
    // with a token of its own. Clients that say neither (not browsers) pass.
    bool postedFromAnotherOrigin(const Request& request) const {
        const std::string site = lowerCase(request.header("sec-fetch-site"));
        if (!site.empty()) return site != "same-origin" && site != "none";
        const std::string origin = lowerCase(request.header("origin"));
        if (origin.empty()) return false;
        const auto scheme = origin.find("://");
        if (scheme == std::string::npos) return true;  // "null": a sandboxed or opaque origin
        std::string host = lowerCase(request.header("host"));
        if (!options_.trustedProxy.empty() && request.remoteAddress == options_.trustedProxy &&
            !request.header("x-forwarded-host").empty()) {
            host = lowerCase(request.header("x-forwarded-host"));
        }
        return origin.substr(scheme + 3) != host;
    }

    std::string clientAddressOf(const Request& request) const {
        return clientAddress(request.remoteAddress, request.header("x-forwarded-for"),
                             options_.trustedProxy);
    }

    Response tooManyFailures(const Request& request, std::int64_t lockedMs,
                             const std::string& name) {
        const std::int64_t seconds = (lockedMs + 999) / 1000;
        return signInPage(request, 429,
                          "Too many failed sign-ins. Try again in " + std::to_string(seconds) +
                              (seconds == 1 ? " second." : " seconds."),
                          validUserName(name) ? name : std::string{}, seconds);
    }

    Response signIn(const Request& request) {
        if (request.body.size() > kMaxFormBytes) return plain(413, "form too large");
        if (postedFromAnotherOrigin(request)) {
            return signInPage(request, 403,
                              "This sign-in form was sent from another site. Please sign in here.",
                              {});
        }
        const Fields form = parseForm(request.body);
        if (!signInFormValid(request, form)) {
            return signInPage(request, 403, "This sign-in form has expired. Please sign in again.",
                              {});
        }
        const std::string name = field(form, "name");
        const std::string password = field(form, "password");
        const std::string nameKey = "name:" + lowerCase(name.substr(0, 64));
        const std::string addressKey = "address:" + clientAddressOf(request);
        const std::int64_t t = now();
        // The attempt is reserved before its password is checked: parallel guesses get no
        // more checks than the same guesses one after another.
        if (const std::int64_t lockedMs = names_.reserve(nameKey, t); lockedMs > 0) {
            return tooManyFailures(request, lockedMs, name);
        }
        if (const std::int64_t lockedMs = addresses_.reserve(addressKey, t); lockedMs > 0) {
            names_.cancel(nameKey);
            return tooManyFailures(request, lockedMs, name);
        }
        const auto unchecked = [&] {
            names_.cancel(nameKey);
            addresses_.cancel(addressKey);
        };

        std::optional<storage::Account> account;
        bool ok = false;
        try {
            if (validUserName(name) && password.size() <= 1024) account = store_.account(name);
            // The check runs on the hashing threads; this worker only waits for it, and only
            // when there is room in their queue.
            // (The stand-in hash for unknown names is made there too, the first time.)
            std::optional<std::string> hash;
            if (account) hash = account->passwordHash;
            auto check = hashQueue_->submit([this, hash, attempt = password.substr(0, 1024)] {
                return verifyPassword(hash ? *hash : standInHash(), attempt);
            });
            if (!check) {
                unchecked();
                return signInPage(request, 503,
                                  "The console is busy checking other sign-ins. Try again in a "
                                  "few seconds.",
                                  validUserName(name) ? name : std::string{}, kBusyRetrySeconds);
            }
            ok = check->get() && account.has_value();
        } catch (...) {
            unchecked();
            throw;
        }
        if (!ok) {
            names_.failure(nameKey, t);
            addresses_.failure(addressKey, t);
            return signInPage(request, 401, "Wrong name or password.",
                              validUserName(name) ? name : std::string{});
        }
        addresses_.cancel(addressKey);
        names_.success(nameKey);

        const std::string token = randomBytes(32);
        const std::string formToken = randomBytes(32);
        storage::Session session;
        session.tokenHash = tokenHash(token);
        session.accountId = account->id;
        session.expiresAtMs = t + options_.sessionLifetimeMs;
        session.formToken =
            toHex(reinterpret_cast<const unsigned char*>(formToken.data()), formToken.size());
        store_.putSession(session);

        const std::string tag = mac(token);
        const std::string value =
            base64url(reinterpret_cast<const unsigned char*>(token.data()), token.size()) + "." +
            base64url(reinterpret_cast<const unsigned char*>(tag.data()), tag.size());
        Response response = redirect("/machines");
        response.headers.emplace_back(
            "Set-Cookie",
            cookieHeader(sessionCookie_, value, options_.sessionLifetimeMs / 1000, request));
        response.headers.emplace_back("Set-Cookie", cookieHeader(signInCookie_, "", 0, request));
        return response;
    }

    Response signOut(const Request& request, const Authenticated& auth) {
        if (request.body.size() > kMaxFormBytes) return plain(413, "form too large");
        if (!formTokenMatches(auth, parseForm(request.body))) {
            return message(403, "Refused", "The form token is missing or wrong.", &auth);
        }
        store_.dropSession(auth.session.tokenHash);
        Response response = redirect("/signin");
        response.headers.emplace_back("Set-Cookie", cookieHeader(sessionCookie_, "", 0, request));
        return response;
    }

    // ---- machine list ----

    struct ListQuery {
        storage::MachineQuery query;
        std::string sortKey;
        std::uint64_t page = 1;
    };

    static ListQuery listQuery(const Fields& fields) {
        ListQuery list;
        list.query.search = field(fields, "q").substr(0, kMaxSearchBytes);
        const SortColumn& column = sortColumn(field(fields, "sort"));
        list.sortKey = column.key;
        list.query.sort = column.sort;
        const std::string dir = field(fields, "dir");
        list.query.descending = dir.empty() ? column.descendingFirst : dir != "asc";
        const auto page = parseId(field(fields, "page"));
        list.page = page && *page >= 1 ? std::min<std::uint64_t>(*page, 100000000) : 1;
        list.query.limit = kPageSize;
        list.query.offset = (list.page - 1) * kPageSize;
        return list;
    }

    static std::string listHref(const std::string& search, const std::string& sort, bool descending,
                                std::uint64_t page) {
        std::string href = "/machines?";
        if (!search.empty()) href += "q=" + urlEncode(search) + "&";
        href += "sort=" + sort + "&dir=" + (descending ? "desc" : "asc");
        if (page > 1) href += "&page=" + std::to_string(page);
        return href;
    }

    static std::string coresThreads(const storage::ScanColumns& c) {
        if (c.cores == 0 && c.threads == 0) return "—";
        return std::to_string(c.cores) + " / " + std::to_string(c.threads);
    }

    Response machineList(const Fields& fields, const Authenticated& auth) {
        const ListQuery list = listQuery(fields);
        const storage::MachinePage result = store_.machines(list.query);
        const std::string& search = list.query.search;

        Data columns = listData();
        for (const auto& column : kSortColumns) {
            Data c = objectData();
            c.set("label", column.label);
            const bool active = list.sortKey == column.key;
            const bool nextDescending = active ? !list.query.descending : column.descendingFirst;
            c.set("href", listHref(search, column.key, nextDescending, 1));
            if (active) c.set("arrow", list.query.descending ? "▼" : "▲");
            c.set("sorted", active ? (list.query.descending ? "descending" : "ascending") : "none");
            columns.push_back(c);
        }

        Data rows = listData();
        for (const auto& m : result.machines) {
            const auto& c = m.latest;
            Data row = objectData();
            row.set("href", "/machines/" + std::to_string(m.id));
            row.set("maker", orDash(c.maker));
            row.set("model", c.model.empty() ? "Unknown model" : c.model);
            row.set("processor", orDash(c.processor));
            row.set("coresThreads", coresThreads(c));
            row.set("memory", c.memoryBytes ? memorySize(c.memoryBytes) : "—");
            row.set("disks", orDash(c.disks));
            row.set("os", orDash(c.os));
            row.set("lastSeen", displayTime(m.lastSeenMs));
            row.set("scans", grouped(m.scanCount));
            rows.push_back(row);
        }

        const std::uint64_t pages =
            std::max<std::uint64_t>(1, (result.total + kPageSize - 1) / kPageSize);
        Data context = objectData();
        context.set("search", search);
        context.set("hasSearch", !search.empty());
        context.set("columns", columns);
        context.set("rows", rows);
        context.set("hasRows", !result.machines.empty());
        context.set("total", grouped(result.total));
        context.set("first", grouped(result.machines.empty() ? 0 : list.query.offset + 1));
        context.set("last", grouped(list.query.offset + result.machines.size()));
        context.set("page", grouped(list.page));
        context.set("pages", grouped(pages));
        const bool desc = list.query.descending;
        if (list.page > 1) {
            context.set("firstHref", listHref(search, list.sortKey, desc, 1));
            context.set("prevHref",
                        listHref(search, list.sortKey, desc, std::min(list.page - 1, pages)));
        }
        if (list.page < pages) {
            context.set("nextHref", listHref(search, list.sortKey, desc, list.page + 1));
            context.set("lastHref", listHref(search, list.sortKey, desc, pages));
        }
        std::string csv = "/machines.csv?";
        if (!search.empty()) csv += "q=" + urlEncode(search) + "&";
        csv += std::string("sort=") + list.sortKey + "&dir=" + (desc ? "desc" : "asc");
        context.set("csvHref", csv);
        return page(200,
                    search.empty() ? "Machines" : "Machines: " + (kIsolate + search + kIsolateEnd),
                    "machines", context, &auth);
    }

    Response machineCsv(const Fields& fields) {
        ListQuery list = listQuery(fields);
        list.query.offset = 0;
        list.query.limit = 1000;
        std::string out = "\xEF\xBB\xBF";
        appendCsvRecord(out, {"id", "maker", "model", "processor", "cores", "threads",
                              "memory_bytes", "memory_modules", "disks", "disk_bytes", "os",
                              "serial_numbers", "uuid", "first_seen", "last_seen", "scans"});
        for (std::uint64_t rows = 0; rows < kMaxCsvRows;) {
            const storage::MachinePage result = store_.machines(list.query);
            for (const auto& m : result.machines) {
                const auto& c = m.latest;
                appendCsvRecord(
                    out,
                    {std::to_string(m.id), c.maker, c.model, c.processor, std::to_string(c.cores),
                     std::to_string(c.threads), std::to_string(c.memoryBytes),
                     std::to_string(c.memoryModules), c.disks, std::to_string(c.diskBytes), c.os,
                     c.serialNumbers, c.uuid, isoTime(m.firstSeenMs), isoTime(m.lastSeenMs),
                     std::to_string(m.scanCount)});
            }
            rows += result.machines.size();
            if (result.machines.size() < list.query.limit) break;
            list.query.offset += result.machines.size();
        }
        return download("text/csv; charset=utf-8; header=present", "machines.csv", std::move(out));
    }

    // ---- one machine ----

    static Data summaryData(const report::Summary& s) {
        Data d = objectData();
        const auto pair = [](const std::string& label, const std::string& value) {
            Data p = objectData();
            p.set("label", label);
            p.set("value", orDash(value));
            return p;
        };
        Data board = listData();
        board.push_back(pair("Maker", s.maker));
        board.push_back(pair("Model", s.model));
        board.push_back(pair("Serial number", s.serialNumber));
        board.push_back(pair("UUID", s.uuid));
        board.push_back(
            pair("Board", s.boardMaker + (s.boardProduct.empty() ? "" : " " + s.boardProduct)));
        board.push_back(pair("Board version", s.boardVersion));
        board.push_back(pair("Board serial", s.boardSerial));
        board.push_back(
            pair("Enclosure",
                 s.enclosureMaker + (s.enclosureType.empty() ? "" : " (" + s.enclosureType + ")")));
        board.push_back(pair("Enclosure serial", s.enclosureSerial));
        board.push_back(pair("Asset tag", s.enclosureAssetTag));
        d.set("board", board);

        Data processors = listData();
        for (const auto& p : s.processors) {
            Data row = objectData();
            row.set("model", orDash(p.model));
            row.set("maker", orDash(p.maker));
            row.set("socket", orDash(p.socket));
            row.set("cores", numberOrDash(p.cores));
            row.set("threads", numberOrDash(p.threads));
            row.set("clock", p.maxClockMHz ? std::to_string(*p.maxClockMHz) + " MHz" : "—");
            processors.push_back(row);
        }
        d.set("processors", processors);
        d.set("hasProcessors", !s.processors.empty());

        // Slots in the order people count them (DIMM_2 before DIMM_10), not report order.
        std::vector<const report::MemorySlotSummary*> slotsInOrder;
        for (const auto& m : s.memory) slotsInOrder.push_back(&m);
        std::stable_sort(slotsInOrder.begin(), slotsInOrder.end(),
                         [](const auto* a, const auto* b) {
                             return naturalLess(a->bankLocator + " " + a->locator,
                                                b->bankLocator + " " + b->locator);
                         });
        Data memory = listData();
        std::size_t used = 0;
        for (const auto* slot : slotsInOrder) {
            const auto& m = *slot;
            Data row = objectData();
            row.set("locator", orDash(m.locator));
            row.set("bank", orDash(m.bankLocator));
            const bool empty = m.empty || !m.sizeBytes || *m.sizeBytes == 0;
            row.set("empty", empty);
            if (!empty) {
                ++used;
                row.set("size", memorySize(*m.sizeBytes));
                row.set("type", orDash(m.type));
                row.set("formFactor", orDash(m.formFactor));
                row.set("speed", m.speedMTs ? std::to_string(*m.speedMTs) + " MT/s" : "—");
                row.set("maker", orDash(m.maker));
                row.set("partNumber", orDash(m.partNumber));
                row.set("serial", orDash(m.serialNumber));
            }
            memory.push_back(row);
        }
        d.set("memory", memory);
        d.set("hasMemory", !s.memory.empty());
        d.set("memoryTotal", s.memoryBytes ? memorySize(s.memoryBytes) : "—");
        d.set("slotsUsed",
              std::to_string(used) + " of " + std::to_string(s.memory.size()) + " slots in use");

        Data disks = listData();
        for (const auto& disk : s.disks) {
            Data row = objectData();
            row.set("model", orDash(disk.model));
            row.set("size", disk.sizeBytes ? diskSize(*disk.sizeBytes) : "—");
            row.set("interface", orDash(disk.interfaceType));
            row.set("serial", orDash(disk.serialNumber));
            row.set("firmware", orDash(disk.firmware));
            row.set("device", orDash(disk.deviceId));
            disks.push_back(row);
        }
        d.set("disks", disks);
        d.set("hasDisks", !s.disks.empty());

        Data volumes = listData();
        for (const auto& v : s.volumes) {
            Data row = objectData();
            row.set("device", orDash(v.deviceId));
            row.set("fileSystem", orDash(v.fileSystem));
            row.set("name", orDash(v.volumeName));
            row.set("driveType", orDash(v.driveType));
            row.set("size", v.sizeBytes ? diskSize(*v.sizeBytes) : "—");
            row.set("free", v.freeBytes ? diskSize(*v.freeBytes) : "—");
            if (v.sizeBytes && *v.sizeBytes > 0 && v.freeBytes && *v.freeBytes <= *v.sizeBytes) {
                const auto usedBytes = *v.sizeBytes - *v.freeBytes;
                const auto percent = static_cast<unsigned>(
                    // NOLINTNEXTLINE(bugprone-integer-division): half the size, whole bytes
                    (static_cast<long double>(usedBytes) * 100 + *v.sizeBytes / 2) / *v.sizeBytes);
                Data bar = objectData();
                bar.set("percent", std::to_string(percent));
                bar.set("level", percent >= 90 ? "full" : percent >= 75 ? "high" : "ok");
                row.set("usage", bar);
            }
            volumes.push_back(row);
        }
        d.set("volumes", volumes);
        d.set("hasVolumes", !s.volumes.empty());

        Data slots = listData();
        for (const auto& slot : s.slots) {
            Data row = objectData();
            row.set("designation", orDash(slot.designation));
            row.set("type", orDash(slot.type));
            row.set("usage", orDash(slot.usage));
            row.set("inUse", lowerCase(slot.usage).find("in use") != std::string::npos);
            slots.push_back(row);
        }
        d.set("slots", slots);
        d.set("hasSlots", !s.slots.empty());

        Data controllers = listData();
        for (const auto& c : s.controllers) {
            Data row = objectData();
            row.set("name", orDash(c.name));
            row.set("kind", orDash(c.kind));
            row.set("maker", orDash(c.maker));
            row.set("device", orDash(c.deviceId));
            controllers.push_back(row);
        }
        d.set("controllers", controllers);
        d.set("hasControllers", !s.controllers.empty());

        Data system = listData();
        system.push_back(pair("Operating system", s.os));
        system.push_back(pair("OS version", s.osVersion));
        system.push_back(pair("Reported by the scanner", s.osDescription));
        system.push_back(pair("Program", s.programName));
        system.push_back(pair("Program version", s.programVersion));
        d.set("system", system);

        Data explained = listData();
        for (const auto& e : s.errorsExplained) explained.push_back(Data(e));
        d.set("errorsExplained", explained);
        d.set("hasExplained", !s.errorsExplained.empty());
        d.set("hasErrors", !s.errors.empty() || !s.errorsExplained.empty());
        d.set("errorsRaw", s.errors);
        d.set("hasErrorsRaw", !s.errors.empty());
        return d;
    }

    static std::vector<storage::ScanRow> newestFirst(std::vector<storage::ScanRow> scans) {
        std::sort(scans.begin(), scans.end(), [](const auto& a, const auto& b) {
            return a.receivedAtMs != b.receivedAtMs ? a.receivedAtMs > b.receivedAtMs : a.id > b.id;
        });
        return scans;
    }

    Response machinePage(std::optional<std::int64_t> machineId, std::optional<std::int64_t> scanId,
                         const Authenticated& auth) {
        std::optional<storage::ScanRecord> record;
        if (scanId) {
            record = store_.scan(*scanId);
            if (!record) return notFound(auth);
            machineId = record->row.machineId;
        }
        const auto machine = store_.machine(*machineId);
        if (!machine) return notFound(auth);
        if (!record) record = store_.scan(machine->latestScanId);
        if (!record) return notFound(auth);
        const auto& row = record->row;

        Data context = objectData();
        const std::string maker =
            row.columns.maker.empty() ? std::string("Unknown maker") : row.columns.maker;
        const std::string model =
            row.columns.model.empty() ? std::string("unknown model") : row.columns.model;
        // Each shown in an element of its own, which keeps its writing direction to itself.
        context.set("machineMaker", maker);
        context.set("machineModel", model);
        const std::string name = maker + kIsolateEnd + " " + kIsolate + model;
        context.set("machineHref", "/machines/" + std::to_string(machine->id));
        context.set("identityRule", orDash(machine->identityRule));
        context.set("firstSeen", displayTime(machine->firstSeenMs));
        context.set("lastSeen", displayTime(machine->lastSeenMs));
        context.set("scanCount", grouped(machine->scanCount));
        context.set("scanTime", displayTime(row.receivedAtMs, true));
        context.set("scanAddress", orDash(row.remoteAddress));
        context.set("receipt", orDash(row.receipt));
        context.set("encoding", orDash(row.encoding));
        context.set("isLatest", row.id == machine->latestScanId);
        context.set("conflicting", row.conflict == storage::ScanConflict::Conflicting);
        context.set("accepted", row.conflict == storage::ScanConflict::Accepted);
        context.set("mayAccept", mayAcceptScans(auth));
        context.set("acceptHref", "/scans/" + std::to_string(row.id) + "/accept");
        const std::string base = "/scans/" + std::to_string(row.id);
        context.set("rawHref", base + "/report");
        context.set("xmlHref", base + "/report.xml");
        context.set("jsonHref", base + ".json");

        const SummaryOrProblem summary = summaryOf(*record);
        if (summary.summary) {
            context.set("summary", summaryData(*summary.summary));
        } else {
            context.set("problem", summary.problem);
        }

        const auto history = newestFirst(store_.scans(machine->id, 1000, 0));
        Data scans = listData();
        for (std::size_t i = 0; i < history.size(); ++i) {
            const auto& h = history[i];
            Data s = objectData();
            s.set("id", std::to_string(h.id));
            s.set("href", "/scans/" + std::to_string(h.id));
            s.set("time", displayTime(h.receivedAtMs, true));
            s.set("os", orDash(h.osDescription));
            s.set("version", orDash(h.programVersion));
            s.set("receipt", orDash(h.receipt));
            s.set("current", h.id == row.id);
            // Preselected: the two newest scans, older as "before".
            s.set("checkedBefore", i == 1);
            s.set("checkedAfter", i == 0);
            s.set("hasErrors", !h.errors.empty());
            s.set("conflicting", h.conflict == storage::ScanConflict::Conflicting);
            s.set("accepted", h.conflict == storage::ScanConflict::Accepted);
            s.set("address", orDash(h.remoteAddress));
            scans.push_back(s);
        }
        context.set("history", scans);
        context.set("canCompare", history.size() >= 2);
        return page(200, name, "machine", context, &auth);
    }

    // Who may take a conflicting scan as its machine's. There are no roles yet: everyone who
    // is signed in administers the console.
    static bool mayAcceptScans(const Authenticated&) { return true; }

    // POST /scans/ID/accept (form token checked by the router): the scan becomes its
    // machine's, and its latest when it is the newest; back to the scan's page.
    Response acceptScan(std::int64_t scanId, const Authenticated& auth) {
        if (!mayAcceptScans(auth))
            return message(403, "Refused", "Your account may not accept scans.", &auth);
        if (store_.acceptScan(scanId) == storage::Acceptance::NoSuchScan) return notFound(auth);
        return redirect("/scans/" + std::to_string(scanId));
    }

    // ---- changes between two scans ----

    Response diffPage(const Fields& fields, const Authenticated& auth) {
        const auto a = parseId(field(fields, "a"));
        const auto b = parseId(field(fields, "b"));
        if (!a || !b)
            return message(400, "Pick two scans", "Choose two scans of one machine to compare.",
                           &auth);
        auto first = store_.scan(*a);
        auto second = store_.scan(*b);
        if (!first || !second) return notFound(auth);
        if (first->row.machineId != second->row.machineId) {
            return message(400, "Different machines",
                           "These two scans are of different machines; changes are shown only "
                           "between scans of one machine.",
                           &auth);
        }
        // Before is the older scan, whichever order they were picked in.
        if (std::make_pair(first->row.receivedAtMs, first->row.id) >
            std::make_pair(second->row.receivedAtMs, second->row.id)) {
            std::swap(first, second);
        }
        const SummaryOrProblem before = summaryOf(*first);
        const SummaryOrProblem after = summaryOf(*second);
        if (!before.summary || !after.summary) {
            return message(422, "Cannot compare", before.summary ? after.problem : before.problem,
                           &auth);
        }
        const auto changes = report::diff(*before.summary, *after.summary);

        Data rows = listData();
        for (const auto& change : changes) {
            Data c = objectData();
            const char* kind = change.kind == report::Change::Kind::Added     ? "Added"
                               : change.kind == report::Change::Kind::Removed ? "Removed"
                                                                              : "Changed";
            c.set("kind", kind);
            c.set("kindClass", lowerCase(kind));
            c.set("component", orDash(change.component));
            c.set("key", orDash(change.key));
            // Added: what is there now; removed: what was there; changed: the fields.
            c.set("description",
                  orDash(change.kind == report::Change::Kind::Added ? change.after
                         : change.kind == report::Change::Kind::Removed
                             ? change.before
                             : (change.before.empty() ? change.after
                                                      : change.before + " → " + change.after)));
            Data changedFields = listData();
            for (const auto& f : change.fields) {
                Data fd = objectData();
                fd.set("name", f.name);
                fd.set("was", orDash(f.before));
                fd.set("now", orDash(f.after));
                changedFields.push_back(fd);
            }
            c.set("fields", changedFields);
            c.set("hasFields", !change.fields.empty());
            rows.push_back(c);
        }
        const auto machine = store_.machine(first->row.machineId);
        Data context = objectData();
        const auto& cols = second->row.columns;
        context.set("machineMaker", cols.maker.empty() ? std::string("Unknown maker") : cols.maker);
        context.set("machineModel", cols.model.empty() ? std::string("unknown model") : cols.model);
        context.set("machineHref", "/machines/" + std::to_string(first->row.machineId));
        context.set("beforeHref", "/scans/" + std::to_string(first->row.id));
        context.set("afterHref", "/scans/" + std::to_string(second->row.id));
        context.set("beforeTime", displayTime(first->row.receivedAtMs, true));
        context.set("afterTime", displayTime(second->row.receivedAtMs, true));
        context.set("changes", rows);
        context.set("hasChanges", !changes.empty());
        context.set("changeCount", std::to_string(changes.size()) +
                                       (changes.size() == 1 ? " change" : " changes"));
        (void)machine;
        return page(200, "Changes", "diff", context, &auth);
    }

    // ---- exports ----

    Response rawReport(std::int64_t scanId, bool utf8) {
        const auto record = store_.scan(scanId);
        if (!record) return plain(404, "no such scan");
        const std::string name = "scan-" + std::to_string(scanId);
        if (!utf8) {
            return download("application/octet-stream", name + "-as-sent.xml", record->reportBytes);
        }
        return download("application/xml; charset=utf-8", name + "-utf8.xml", reportUtf8(*record));
    }

    Response scanJson(std::int64_t scanId) {
        const auto record = store_.scan(scanId);
        if (!record) return plain(404, "no such scan");
        const auto& r = record->row;
        nlohmann::json scan = {
            {"id", r.id},
            {"machineId", r.machineId},
            {"receivedAt", isoTime(r.receivedAtMs)},
            {"receivedAtMs", r.receivedAtMs},
            {"remoteAddress", r.remoteAddress},
            {"receipt", r.receipt},
            {"encoding", r.encoding},
            {"identityKey", r.identityKey},
            {"identityRule", r.identityRule},
            {"osDescription", r.osDescription},
            {"programName", r.programName},
            {"programVersion", r.programVersion},
            {"errors", r.errors},
            {"storedBytes", r.storedBytes},
        };
        // The summary as this version reads the stored report; what was stored with the scan
        // when the report itself cannot be read.
        nlohmann::json summary;
        if (const SummaryOrProblem fresh = summaryOf(*record); fresh.summary) {
            summary = report::toJson(*fresh.summary);
        } else {
            summary = nlohmann::json::parse(record->summaryJson, nullptr, false);
            if (summary.is_discarded()) summary = nullptr;
        }
        const nlohmann::json document = {{"scan", scan}, {"summary", summary}};
        return download(
            "application/json; charset=utf-8", "scan-" + std::to_string(scanId) + ".json",
            document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    }

    storage::Store& store_;
    ConsoleOptions options_;
    unsigned char key_[crypto_hash_sha256_BYTES]{};
    std::string sessionCookie_, signInCookie_;
    Throttle names_, addresses_;
    std::shared_ptr<HashQueue> hashQueue_;
    std::once_flag standInOnce_;
    std::string standInHash_;
};

}  // namespace

server::Handler makeConsole(storage::Store& store, const ConsoleOptions& options) {
    auto console = std::make_shared<ConsoleImpl>(store, options);
    return [console](const server::Request& request) { return console->handle(request); };
}

}  // namespace gravelin::console
