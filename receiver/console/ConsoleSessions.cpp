// The console's sessions and sign-in: the cookie key, session cookies made and checked with
// it, the sign-in form bound to a cookie of its own, the sign-in slow-down, password checks
// on the hashing threads, and signing out. Every sign-in, failed or throttled sign-in and
// sign-out is written to the audit log with the client's address.

#include <sodium.h>

#include <stdexcept>

#include "receiver/console/Accounts.h"
#include "receiver/console/ConsoleInternal.h"

namespace gravelin::console::detail {

namespace {

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

bool equalInConstantTime(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string randomBytes(std::size_t n) {
    std::string out(n, '\0');
    randombytes_buf(out.data(), n);
    return out;
}

ConsoleImpl::ConsoleImpl(storage::Store& store, ConsoleOptions options)
    : store_(store),
      options_(std::move(options)),
      names_(options_.freeFailuresPerName, options_.maxSignInLockMs),
      addresses_(options_.freeFailuresPerAddress, options_.maxSignInLockMs),
      hashQueue_(options_.hashQueue
                     ? options_.hashQueue
                     : std::make_shared<HashQueue>(options_.hashThreads, options_.hashWaiting)),
      apiRequests_(options_.apiRequestsPerMinute, options_.apiBurst) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
    // The cookie key: the secret's hash, or random bytes (sessions then end with the
    // process).
    const std::string secret =
        options_.secret.empty() ? randomBytes(crypto_auth_hmacsha256_KEYBYTES) : options_.secret;
    crypto_hash_sha256(key_, reinterpret_cast<const unsigned char*>(secret.data()), secret.size());
    sessionCookie_ = options_.secureCookies ? "__Host-gravelin-session" : "gravelin-session";
    signInCookie_ = options_.secureCookies ? "__Host-gravelin-signin" : "gravelin-signin";
}

// Secure when the console says so, and whenever the request came over TLS or through a
// proxy that terminated TLS (X-Forwarded-Proto: https), even if the console was set up
// for plain HTTP. A forged header only makes the cookie stricter.
std::string ConsoleImpl::cookieHeader(const std::string& name, const std::string& value,
                                      std::int64_t maxAgeSeconds, const Request& request) const {
    std::string header = name + "=" + value + "; Path=/; Max-Age=" + std::to_string(maxAgeSeconds) +
                         "; HttpOnly; SameSite=Strict";
    if (options_.secureCookies || request.secure ||
        lowerCase(request.header("x-forwarded-proto")) == "https") {
        header += "; Secure";
    }
    return header;
}

// ---- sessions ----

std::string ConsoleImpl::mac(std::string_view message) const {
    unsigned char out[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256(out, reinterpret_cast<const unsigned char*>(message.data()),
                           message.size(), key_);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

std::string ConsoleImpl::tokenHash(const std::string& token) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()), token.size());
    return toHex(digest, sizeof digest);
}

// The session cookie's token when the cookie is well-formed and was made with our key.
std::optional<std::string> ConsoleImpl::sessionToken(const Request& request) const {
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

std::optional<Authenticated> ConsoleImpl::authenticate(const Request& request) {
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

bool ConsoleImpl::formTokenMatches(const Authenticated& auth, const Fields& form) {
    const std::string sent = field(form, "token");
    return !auth.session.formToken.empty() && equalInConstantTime(sent, auth.session.formToken);
}

// The password hash checked for names that have no account, so that they cost the same.
const std::string& ConsoleImpl::standInHash() {
    std::call_once(standInOnce_, [this] {
        standInHash_ =
            hashPassword(toHex(reinterpret_cast<const unsigned char*>(randomBytes(16).data()), 16),
                         options_.passwordCost);
    });
    return standInHash_;
}

// ---- sign-in ----

std::optional<std::string> safeNext(std::string_view next) {
    if (next.empty() || next.size() > kMaxNextBytes || next[0] != '/') return std::nullopt;
    // "//host" and "/\host" are other sites to a browser.
    if (next.size() > 1 && (next[1] == '/' || next[1] == '\\')) return std::nullopt;
    for (const char c : next) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '\\') return std::nullopt;
    }
    const std::string_view path = next.substr(0, next.find('?'));
    if (path == "/signin" || path == "/signout") return std::nullopt;
    return std::string(next);
}

std::string ConsoleImpl::signInAddress(const Request& request) {
    if (request.method != "GET" && request.method != "HEAD") return "/signin";
    const std::string target = request.path + (request.query.empty() ? "" : "?" + request.query);
    // The list is where a sign-in leads anyway.
    if (target == "/" || target == "/machines") return "/signin";
    const auto next = safeNext(target);
    return next ? "/signin?next=" + urlEncode(*next) : "/signin";
}

// The sign-in form carries a token bound to a short-lived cookie of its own, so that no
// other site can sign a browser in to an account of its choosing.

Response ConsoleImpl::signInPage(const Request& request, int status, const std::string& error,
                                 const std::string& name, std::int64_t retryAfterSeconds,
                                 const Authenticated* signedIn) {
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
    // Where the form leads once signed in: the page asked for (GET), or what the form
    // posted carried (a failed attempt shows the form again).
    const std::string_view carried = request.method == "POST" ? request.body : request.query;
    const Fields fields = parseForm(carried.substr(0, std::min(carried.size(), kMaxFormBytes)));
    if (const auto next = safeNext(field(fields, "next"))) context.set("next", *next);
    Response response = page(status, "Sign in", "signin", context, signedIn);
    response.headers.emplace_back(
        "Set-Cookie",
        cookieHeader(signInCookie_, nonceText, kSignInFormLifetimeMs / 1000, request));
    if (retryAfterSeconds > 0) {
        response.headers.emplace_back("Retry-After", std::to_string(retryAfterSeconds));
    }
    return response;
}

bool ConsoleImpl::signInFormValid(const Request& request, const Fields& form) const {
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
bool ConsoleImpl::postedFromAnotherOrigin(const Request& request) const {
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

std::string ConsoleImpl::clientAddressOf(const Request& request) const {
    return clientAddress(request.remoteAddress, request.header("x-forwarded-for"),
                         options_.trustedProxy);
}

// The name tried is the client's text: the actor only when it could be an account's name (it
// cannot then pose as "cli:USER"), and in the target always (cut to its bound by the store,
// escaped wherever it is shown).
namespace {
std::string actorTried(const std::string& name) {
    return validUserName(name) ? name : std::string("-");
}
}  // namespace

void ConsoleImpl::auditThrottled(const Request& request, const std::string& name,
                                 std::string detail) {
    audit(request, actorTried(name), storage::audit::kSignInThrottled, "user " + name,
          std::move(detail));
}

Response ConsoleImpl::tooManyFailures(const Request& request, std::int64_t lockedMs,
                                      const std::string& name) {
    const std::int64_t seconds = (lockedMs + 999) / 1000;
    auditThrottled(request, name,
                   "too many failures: locked for " + std::to_string(seconds) + " s");
    return signInPage(request, 429,
                      "Too many failed sign-ins. Try again in " + std::to_string(seconds) +
                          (seconds == 1 ? " second." : " seconds."),
                      validUserName(name) ? name : std::string{}, seconds);
}

Response ConsoleImpl::signIn(const Request& request) {
    if (request.body.size() > kMaxFormBytes) return plain(413, "form too large");
    if (postedFromAnotherOrigin(request)) {
        return signInPage(request, 403,
                          "This sign-in form was sent from another site. Please sign in here.", {});
    }
    const Fields form = parseForm(request.body);
    if (!signInFormValid(request, form)) {
        return signInPage(request, 403, "This sign-in form has expired. Please sign in again.", {});
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
            auditThrottled(request, name, "password checks busy");
            return signInPage(request, 503,
                              "The console is busy checking other sign-ins. Try again in a "
                              "few seconds.",
                              validUserName(name) ? name : std::string{}, kBusyRetrySeconds);
        }
        // A disabled account is refused like a wrong password, after the same work, so
        // that the answer does not tell which accounts exist or are disabled.
        ok = check->get() && account.has_value() && !account->disabled;
    } catch (...) {
        unchecked();
        throw;
    }
    if (!ok) {
        names_.failure(nameKey, t);
        addresses_.failure(addressKey, t);
        // The same entry for an unknown name, a wrong password and a disabled account: the
        // log's readers may tell them apart from the users page, a client may not.
        audit(request, actorTried(name), storage::audit::kSignInFailed, "user " + name);
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
    store_.noteSignIn(account->id, t);
    // Written before the cookie is given: a sign-in the log misses gives no session.
    audit(request, account->name, storage::audit::kSignIn, "user " + account->name);

    const std::string tag = mac(token);
    const std::string value =
        base64url(reinterpret_cast<const unsigned char*>(token.data()), token.size()) + "." +
        base64url(reinterpret_cast<const unsigned char*>(tag.data()), tag.size());
    Response response = redirect(safeNext(field(form, "next")).value_or("/machines"));
    response.headers.emplace_back(
        "Set-Cookie",
        cookieHeader(sessionCookie_, value, options_.sessionLifetimeMs / 1000, request));
    response.headers.emplace_back("Set-Cookie", cookieHeader(signInCookie_, "", 0, request));
    return response;
}

Response ConsoleImpl::signOut(const Request& request, const Authenticated& auth) {
    if (request.body.size() > kMaxFormBytes) return plain(413, "form too large");
    if (!formTokenMatches(auth, parseForm(request.body))) {
        return message(403, "Refused", "The form token is missing or wrong.", &auth);
    }
    store_.dropSession(auth.session.tokenHash);
    audit(request, auth, storage::audit::kSignOut, "user " + auth.session.accountName);
    Response response = redirect("/signin");
    response.headers.emplace_back("Set-Cookie", cookieHeader(sessionCookie_, "", 0, request));
    return response;
}

}  // namespace gravelin::console::detail
