// gravelin-receiver's command line, private to the program: what the subcommand families
// (Serve.cpp; Scans.cpp: import, scans, machines; Survey.cpp: survey; Changes.cpp: changes; Users.cpp: user ...; Audit.cpp: audit;
// Retention.cpp: prune, machine delete; Machines.cpp: machine merge and split, placeholder,
// reidentify) share, and how each puts its subcommands on the CLI11 command line. Every
// subcommand parses into a struct of options, checks and builds from it, then runs.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "receiver/storage/Retention.h"
#include "receiver/storage/Store.h"

namespace gravelin::server {

// The overview --help prints (Usage.cpp).
extern const char* const kUsage;

// A command line that names no valid command: one line on stderr, exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The subcommand the command line chose, ready to run; returns the exit code.
using Command = std::function<int()>;

// Each family adds its subcommands to the program's; the one given sets `chosen`.
void addServe(CLI::App& program, Command& chosen);
void addScans(CLI::App& program, Command& chosen);
void addSurvey(CLI::App& program, Command& chosen);
void addChanges(CLI::App& program, Command& chosen);  // Changes.cpp: changes, changes --rebuild
void addUsers(CLI::App& program, Command& chosen);
void addTokens(CLI::App& program, Command& chosen);  // Tokens.cpp: token ...
void addAudit(CLI::App& program, Command& chosen);
void addRetention(CLI::App& program, Command& chosen);  // Retention.cpp: prune, machine delete
void addMachines(CLI::App& program, Command& chosen);
void addWebhooks(CLI::App& program, Command& chosen);  // Webhooks.cpp: webhook ...

// What is left over on a subcommand's line (CLI11 keeps it with allow_extras): an unknown
// option, or an argument the subcommand takes none of.
void refuseExtras(const CLI::App& command);

// "--threads N" and the like: decimal digits only (no sign, no 0x, at most 12), at least
// `lowest`. Leading zeros are dropped before CLI11 converts, which would read them as octal.
CLI::Validator wholeNumber(std::uint64_t lowest = 1);

// --data DIR | --database URI, which every subcommand but --version takes.
struct StoreChoice {
    std::optional<std::string> data;
    std::optional<std::string> database;
    std::uint64_t timeoutMs = static_cast<std::uint64_t>(storage::StoreLocation{}.deadline.count());
};
void addStoreOptions(CLI::App& command, StoreChoice& choice);
// Opens the chosen store; a bad choice is a UsageError, a store that does not open a
// runtime_error saying so.
// `doorbell`: rung after each commit that enqueued webhook deliveries (serve's worker waits
// on it).
std::unique_ptr<storage::Store> openStore(
    const StoreChoice& choice, bool readOnly = false,
    std::shared_ptr<storage::WebhookDoorbell> doorbell = nullptr);

// --keep-scans, --keep-machines, --keep-audit DAYS, which serve and prune take (Retention.cpp).
struct RetentionChoice {
    std::optional<std::uint64_t> scans, machines, audit;
};
void addRetentionOptions(CLI::App& command, RetentionChoice& keep);
// The audit log is kept 400 days unless told otherwise (0: for ever).
storage::RetentionPolicy retentionPolicy(const RetentionChoice& keep);

// Records a change made on the command line in the audit log, as "cli:USER" (the
// operating-system user; the one who ran sudo, when it was sudo).
storage::AuditEntry commandAuditEntry(std::string_view action, std::string target,
                                      std::string detail = {});
void auditCommand(storage::Store& store, std::string_view action, std::string target,
                  std::string detail = {});

// Keeps freed heap memory in the process for the next request body (see Commands.cpp).
void keepFreedMemory();

// Library messages may span lines (libpq's do): errors stay one line, terminal-safe.
std::string oneLine(std::string text);

}  // namespace gravelin::server
