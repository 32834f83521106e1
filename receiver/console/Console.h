// The console: signed-in pages over the stored scans, served on their own listener.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "receiver/console/Accounts.h"
#include "receiver/console/HashQueue.h"
#include "receiver/http/Http.h"
#include "receiver/storage/Store.h"

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
    // Password checks run on threads of their own (receiver/console/HashQueue.h): this many at once,
    // this many more waiting; past that a sign-in is answered 503 with Retry-After at once.
    unsigned hashThreads = 1;
    std::size_t hashWaiting = 4;
    // The queue to use instead of one of the console's own (tests fill it on purpose).
    std::shared_ptr<HashQueue> hashQueue;
    // Requests from this address (a reverse proxy) are counted against the last address in
    // their X-Forwarded-For header, as on the public site (--trusted-proxy).
    std::string trustedProxy;
    // Webhooks added on the /webhooks page may have http: addresses (serve
    // --allow-http-webhooks); otherwise https: only.
    bool allowHttpWebhooks = false;
    // Requests each API token may make: this many a minute, in bursts of up to apiBurst
    // (receiver/console/RateLimit.h); past that the API answers 429 with Retry-After.
    unsigned apiRequestsPerMinute = 600;
    unsigned apiBurst = 60;
};

// Builds the console's request handler over a store. Thread-safe: the listener calls it from
// several threads.
server::Handler makeConsole(storage::Store& store, const ConsoleOptions& options);

}  // namespace gravelin::console
