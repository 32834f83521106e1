// Tokens for the console's API: random bytes from libsodium, SHA-256 and base64url from it too.
#include "receiver/console/ApiTokens.h"

#include <sodium.h>

#include <stdexcept>

#include "receiver/http/Time.h"

namespace gravelin::console {

namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

bool base64UrlCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

}  // namespace

bool validTokenName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name) {
        if (!base64UrlCharacter(c) && c != '.') return false;
    }
    return true;
}

std::string apiTokenHash(std::string_view token) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()), token.size());
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

bool tokenShaped(std::string_view text) {
    if (!text.starts_with(kApiTokenPrefix)) return false;
    text.remove_prefix(kApiTokenPrefix.size());
    if (text.size() !=
        sodium_base64_ENCODED_LEN(kTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING) - 1)
        return false;
    for (const char c : text) {
        if (!base64UrlCharacter(c)) return false;
    }
    return true;
}

std::string base64Url(std::string_view bytes) {
    constexpr int kVariant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), kVariant), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), kVariant);
    out.resize(out.size() - 1);  // the terminating NUL
    return out;
}

std::optional<std::string> fromBase64Url(std::string_view text) {
    std::string out(text.size() * 3 / 4 + 1, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(),
                          text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != text.data() + text.size())
        return std::nullopt;
    out.resize(length);
    return out;
}

std::optional<IssuedToken> issueApiToken(storage::Store& store, const std::string& name,
                                         storage::Role role, std::uint32_t days, std::int64_t nowMs,
                                         storage::AuditEntry audit) {
    if (!validTokenName(name))
        throw std::invalid_argument("a token name is 1 to 64 letters, digits, '.', '_' or '-'");
    if (days > kMaxTokenDays)
        throw std::invalid_argument("a token lasts at most " + std::to_string(kMaxTokenDays) +
                                    " days");
    if (sodium_init() < 0) throw std::runtime_error("libsodium could not start");
    unsigned char random[kTokenBytes];
    randombytes_buf(random, sizeof random);
    IssuedToken issued;
    issued.token =
        std::string(kApiTokenPrefix) +
        base64Url(std::string_view(reinterpret_cast<const char*>(random), sizeof random));
    sodium_memzero(random, sizeof random);
    storage::ApiToken& t = issued.stored;
    t.name = name;
    t.tokenHash = apiTokenHash(issued.token);
    t.role = role;
    t.createdBy = audit.actor;
    t.createdAtMs = nowMs;
    t.expiresAtMs = days == 0 ? 0 : nowMs + static_cast<std::int64_t>(days) * kDayMs;
    audit.detail =
        std::string("role ") + storage::roleName(role) + ", " +
        (days == 0 ? std::string("no expiry") : "expires " + server::isoTime(t.expiresAtMs));
    if (!store.addApiToken(t, audit)) return std::nullopt;
    if (const auto stored = store.apiTokenWithHash(t.tokenHash)) t = *stored;
    return issued;
}

}  // namespace gravelin::console
