// Console accounts: made on the command line (gravelin-receiver user add NAME), stored only
// as an Argon2id hash (libsodium's crypto_pwhash_str, salted, memory-hard).
#pragma once

#include <string>
#include <string_view>

#include "receiver/storage/Store.h"

namespace gravelin::console {

// Moderate: libsodium's MODERATE limits (256 MiB, 3 passes), the default for accounts.
// Interactive: its INTERACTIVE limits (64 MiB, 2 passes), for tests that sign in often.
enum class PasswordCost { Moderate, Interactive };

// A name is 1 to 64 characters of letters, digits, '.', '_', '-' and '@'.
bool validUserName(std::string_view name);

// Makes the account NAME with `role`, or replaces its password (its role stays). Throws
// std::invalid_argument for an invalid name or a password shorter than 8 or longer than 1024 bytes,
// std::runtime_error when hashing fails (out of memory), and whatever the store throws.
void addUser(storage::Store& store, const std::string& name, const std::string& password,
             storage::Role role, PasswordCost cost = PasswordCost::Moderate);

// The encoded hash ("$argon2id$v=19$m=...") of a password.
std::string hashPassword(std::string_view password, PasswordCost cost = PasswordCost::Moderate);

// True when the password matches the encoded hash; false for a malformed hash.
bool verifyPassword(const std::string& encodedHash, std::string_view password);

}  // namespace gravelin::console
