#include "programs/gravelin-receiver/Commands.h"

#include <malloc.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "reading/TerminalText.h"

namespace gravelin::server {

void refuseExtras(const CLI::App& command) {
    const auto extras = command.remaining(false);
    if (extras.empty()) return;
    if (extras.front().starts_with("-")) throw UsageError("unknown option " + extras.front());
    throw UsageError(command.get_name() + " takes no argument " + extras.front());
}

CLI::Validator wholeNumber(std::uint64_t lowest) {
    return CLI::Validator(
        [lowest](std::string& text) -> std::string {
            if (text.empty() || text.size() > 12 ||
                !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return "needs a whole number, not \"" + text + "\"";
            const auto value = std::stoull(text);
            if (value < lowest) return "must be at least " + std::to_string(lowest);
            text = std::to_string(value);
            return {};
        },
        "N");
}

void addStoreOptions(CLI::App& command, StoreChoice& choice) {
    command
        .add_option("--data", choice.data,
                    "keep everything in DIR/receiver.sqlite3 (SQLite) [gravelin-data]")
        ->option_text("DIR");
    command
        .add_option("--database", choice.database,
                    "a postgresql:// URI: PostgreSQL, which several receivers can share")
        ->option_text("URI");
}

std::unique_ptr<storage::Store> openStore(const StoreChoice& choice, bool readOnly,
                                          std::shared_ptr<storage::WebhookDoorbell> doorbell) {
    storage::StoreLocation location;
    location.deadline = std::chrono::milliseconds(choice.timeoutMs);
    location.readOnly = readOnly;
    if (choice.data && choice.database) throw UsageError("give --data or --database, not both");
    if (choice.database) {
        if (!choice.database->starts_with("postgresql://") &&
            !choice.database->starts_with("postgres://"))
            throw UsageError("--database needs a postgresql:// URI");
        location.databaseUri = *choice.database;
    } else {
        location.dataDirectory = choice.data.value_or("gravelin-data");
    }
    try {
        return storage::openStore(location, std::move(doorbell));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot open the database: ") + e.what());
    }
}

void keepFreedMemory() {
    // glibc hands freed memory of its thread arenas back to the kernel (madvise) as soon as
    // 128 KiB at a heap's top are free, and every post then faults it in again: under load that
    // cost a few per cent of the receiver's CPU (TLB shootdowns, page clearing). Keep 8 MiB per
    // arena; blocks over 1 MiB (only oversized, hostile bodies) still come from mmap and go back.
    ::mallopt(M_TRIM_THRESHOLD, 8 << 20);
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
}

std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::string out;
    for (char c : text) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    return report::terminalText(out);
}

storage::AuditEntry commandAuditEntry(std::string_view action, std::string target,
                                      std::string detail) {
    std::string user;
    if (const char* sudo = std::getenv("SUDO_USER"); sudo != nullptr && ::geteuid() == 0)
        user = sudo;
    if (user.empty()) {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr)
            user = pw->pw_name;
        else
            user = std::to_string(::geteuid());
    }
    storage::AuditEntry entry;
    entry.atMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    entry.actor = std::string(storage::audit::kCommandLine) + ":" + user;
    entry.action = std::string(action);
    entry.target = std::move(target);
    entry.detail = std::move(detail);
    return entry;
}

void auditCommand(storage::Store& store, std::string_view action, std::string target,
                  std::string detail) {
    store.appendAudit(commandAuditEntry(action, std::move(target), std::move(detail)));
}

}  // namespace gravelin::server
