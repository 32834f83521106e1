// The console: signed-in pages over the stored scans, served on their own listener.
#pragma once

#include <cstdint>
#include <string>

#include "server/Http.h"
#include "storage/Store.h"

namespace gravelin::console {

struct ConsoleOptions {
    std::string secret;          // server-side secret for cookie integrity; random when empty
    bool secureCookies = true;   // the Secure attribute; off only for plain-HTTP tests
    std::int64_t sessionLifetimeMs = 8LL * 3600 * 1000;
};

// Builds the console's request handler over a store. Thread-safe: the listener calls it from
// several threads.
server::Handler makeConsole(storage::Store& store, const ConsoleOptions& options);

}  // namespace gravelin::console
