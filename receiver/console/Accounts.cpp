#include "receiver/console/Accounts.h"

#include <sodium.h>

#include <stdexcept>

namespace gravelin::console {

namespace {

void initSodium() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
}

}  // namespace

bool validUserName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '@';
        if (!ok) return false;
    }
    return true;
}

std::string hashPassword(std::string_view password, PasswordCost cost) {
    initSodium();
    const bool moderate = cost == PasswordCost::Moderate;
    const unsigned long long ops =
        moderate ? crypto_pwhash_OPSLIMIT_MODERATE : crypto_pwhash_OPSLIMIT_INTERACTIVE;
    const std::size_t mem =
        moderate ? crypto_pwhash_MEMLIMIT_MODERATE : crypto_pwhash_MEMLIMIT_INTERACTIVE;
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), ops, mem) != 0) {
        throw std::runtime_error("password hashing failed (out of memory)");
    }
    return std::string(out);
}

bool verifyPassword(const std::string& encodedHash, std::string_view password) {
    initSodium();
    if (encodedHash.empty() || encodedHash.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(encodedHash.c_str(), password.data(), password.size()) == 0;
}

void addUser(storage::Store& store, const std::string& name, const std::string& password,
             storage::Role role, PasswordCost cost) {
    if (!validUserName(name)) {
        throw std::invalid_argument("a user name is 1 to 64 letters, digits, '.', '_', '-' or '@'");
    }
    if (password.size() < 8)
        throw std::invalid_argument("the password is shorter than 8 characters");
    if (password.size() > 1024)
        throw std::invalid_argument("the password is longer than 1024 bytes");
    store.putAccount(name, hashPassword(password, cost), role);
}

}  // namespace gravelin::console
