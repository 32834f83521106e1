// The console: signed-in pages over the stored scans, served on their own listener.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "console/Accounts.h"
#include "server/Http.h"
#include "storage/Store.h"

namespace gravelin::console {

struct ConsoleOptions {
    std::string secret;         // server-side secret for cookie integrity; random when empty
    bool secureCookies = true;  // the Secure attribute; off only for plain-HTTP tests
    std::int64_t sessionLifetimeMs = 8LL * 3600 * 1000;

    // Unix time in milliseconds; the system clock when empty (tests bring their own).
    std::function<std::int64_t()> clock;
    // Sign-in slow-down, kept in memory: after this many failed sign-ins in a row for one
    // account name (or from one address), each further failure locks that name (address) out
    // for 1 s, 2 s, 4 s, ... up to maxSignInLockMs. A success clears the name's count.
    unsigned freeFailuresPerName = 3;
    unsigned freeFailuresPerAddress = 10;
    std::int64_t maxSignInLockMs = 15LL * 60 * 1000;
    // The cost of the stand-in hash verified for unknown account names, so that an unknown
    // name costs as much time as a known one: the cost accounts are made with.
    PasswordCost passwordCost = PasswordCost::Moderate;
};

// Builds the console's request handler over a store. Thread-safe: the listener calls it from
// several threads.
server::Handler makeConsole(storage::Store& store, const ConsoleOptions& options);

}  // namespace gravelin::console
