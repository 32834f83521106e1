// Tokens for the console's API: made on the command line or by an admin in the console,
// shown once, stored only as their SHA-256 (see storage::ApiToken for why not a password
// hash), and presented by programs as "Authorization: Bearer TOKEN".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "receiver/storage/Store.h"

namespace gravelin::console {

// Every token starts with this, so that one pasted where it should not be (a log, a ticket,
// a repository) is recognised for what it is.
inline constexpr std::string_view kApiTokenPrefix = "grvt_";
// The longest lifetime a token may be given, in days (--expires).
inline constexpr std::uint32_t kMaxTokenDays = 3660;

// A name is 1 to 64 characters of letters, digits, '.', '_' and '-'.
bool validTokenName(std::string_view name);

// The stored form of a token: its SHA-256, lower-case hex.
std::string apiTokenHash(std::string_view token);

// Whether the text has the shape of a token (the prefix, then 43 base64url characters):
// anything else is refused before the store is asked.
bool tokenShaped(std::string_view text);

struct IssuedToken {
    std::string token;  // shown once, never stored
    storage::ApiToken stored;
};

// Makes the token NAME with `role`, valid for `days` days from nowMs (0: no expiry), and
// stores it with an audit entry (`audit`'s detail is set to the role and expiry). Nothing when
// the name is taken. Throws std::invalid_argument for an invalid name or too many days.
std::optional<IssuedToken> issueApiToken(storage::Store& store, const std::string& name,
                                         storage::Role role, std::uint32_t days, std::int64_t nowMs,
                                         storage::AuditEntry audit);

// base64url without padding (RFC 4648 section 5), and back: nothing for text that is not.
std::string base64Url(std::string_view bytes);
std::optional<std::string> fromBase64Url(std::string_view text);

}  // namespace gravelin::console
