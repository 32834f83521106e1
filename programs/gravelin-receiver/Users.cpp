// gravelin-receiver user add|list|password|role|disable|enable|delete: the console's accounts,
// managed from the command line. Every change is recorded in the audit log as cli:USER.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/TerminalText.h"
#include "receiver/console/Accounts.h"
#include "receiver/http/Time.h"

namespace gravelin::server {

namespace {

constexpr const char* kUserUsage =
    "expected: user add NAME [--role viewer|admin], user list [--json], user password NAME, "
    "user role NAME viewer|admin, user disable NAME, user enable NAME or user delete NAME";

struct UserOptions {
    StoreChoice store;
    std::string name;
    std::string role = "viewer";  // add: the new account's; role: the one it gets
    bool roleGiven = false;       // add: --role was on the command line
    bool json = false;
};

std::string readPassword(const char* prompt) {
    if (::isatty(STDIN_FILENO) == 0) {
        std::string line;
        if (!std::getline(std::cin, line)) throw std::runtime_error("no password on stdin");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    std::cerr << prompt << std::flush;
    termios saved{};
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    if (!read) throw std::runtime_error("no password given");
    return line;
}

// The password, asked twice on a terminal, and stored for NAME (made with `role` when new).
void savePassword(storage::Store& store, const std::string& name, storage::Role role) {
    const std::string password = readPassword("Password: ");
    if (::isatty(STDIN_FILENO) != 0 && readPassword("Again: ") != password)
        throw std::runtime_error("the passwords differ");
    try {
        console::addUser(store, name, password, role);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(e.what());
    }
}

// The change is made first, then recorded: an entry never claims a change that failed. When
// the record cannot be written the change stands, and the command says so and fails.
void record(storage::Store& store, std::string_view action, const std::string& name,
            std::string detail = {}) {
    try {
        auditCommand(store, action, "user " + name, std::move(detail));
    } catch (const std::exception& e) {
        throw std::runtime_error("done, but the audit log could not record it (" +
                                 std::string(action) + " user " + name + "): " + e.what());
    }
}

storage::Account existing(storage::Store& store, const std::string& name) {
    std::optional<storage::Account> account;
    if (console::validUserName(name)) account = store.account(name);
    if (!account) throw std::runtime_error("no user " + report::terminalText(name));
    return *account;
}

// Nobody locks every admin out by accident: a change that would leave no enabled admin
// (the last one disabled, deleted or made a viewer) is refused. A console with no admin at
// all (only viewers) is not made worse by any change, and is let be.
void keepAnAdmin(storage::Store& store, const storage::Account& account, const char* change) {
    if (account.role != storage::Role::Admin || account.disabled) return;
    const auto accounts = store.accounts();
    const auto admins = std::count_if(accounts.begin(), accounts.end(), [](const auto& a) {
        return a.role == storage::Role::Admin && !a.disabled;
    });
    if (admins > 1) return;
    throw std::runtime_error("refused: " + account.name + " is the last enabled admin; " + change +
                             " it would leave nobody who can manage the console (make another "
                             "admin first: user add NAME --role admin)");
}

int addUser(const UserOptions& options) {
    const std::string& name = options.name;
    if (!console::validUserName(name))
        throw UsageError("a user name is 1 to 64 letters, digits, '.', '_', '-' or '@'");
    const auto role = storage::roleNamed(options.role);
    if (!role) throw UsageError("--role is viewer or admin");
    auto store = openStore(options.store);
    // An existing name keeps its role and gets the new password (see `user password`).
    const bool known = store->account(name).has_value();
    savePassword(*store, name, *role);
    if (known) {
        record(*store, storage::audit::kUserPassword, name, "by user add");
        if (const auto account = store->account(name);
            options.roleGiven && account && account->role != *role)
            std::cerr << "gravelin-receiver: " << name << " keeps its role "
                      << storage::roleName(account->role) << " (user role changes it)\n";
    } else {
        record(*store, storage::audit::kUserAdded, name,
               std::string("role ") + storage::roleName(*role));
    }
    std::cout << "user " << name << " saved\n";
    return 0;
}

int listUsers(const UserOptions& options) {
    auto store = openStore(options.store, /*readOnly=*/true);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& a : store->accounts()) {
        const char* state = a.disabled ? "disabled" : "enabled";
        if (!options.json) {
            std::cout << report::terminalText(a.name) << "\t" << storage::roleName(a.role) << "\t"
                      << state << "\t"
                      << (a.lastSignInMs != 0 ? isoTime(a.lastSignInMs) : std::string("never"))
                      << "\n";
            continue;
        }
        nlohmann::json item = {{"name", a.name},
                               {"role", storage::roleName(a.role)},
                               {"state", state},
                               {"lastSignIn", nullptr},
                               {"lastSignInMs", nullptr}};
        if (a.lastSignInMs != 0) {
            item["lastSignIn"] = isoTime(a.lastSignInMs);
            item["lastSignInMs"] = a.lastSignInMs;
        }
        list.push_back(std::move(item));
    }
    if (options.json)
        std::cout << report::terminalJson(
                         list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))
                  << "\n";
    return 0;
}

int changePassword(const UserOptions& options) {
    auto store = openStore(options.store);
    const storage::Account account = existing(*store, options.name);
    savePassword(*store, account.name, account.role);
    record(*store, storage::audit::kUserPassword, account.name);
    std::cout << "user " << account.name << ": password changed; its sessions ended\n";
    return 0;
}

int changeRole(const UserOptions& options) {
    const auto role = storage::roleNamed(options.role);
    if (!role) throw UsageError("the role is viewer or admin");
    auto store = openStore(options.store);
    const storage::Account account = existing(*store, options.name);
    if (account.role == *role) {
        std::cout << "user " << account.name << " is already " << storage::roleName(*role) << "\n";
        return 0;
    }
    if (*role != storage::Role::Admin) keepAnAdmin(*store, account, "making it a viewer");
    if (!store->setAccountRole(account.name, *role))
        throw std::runtime_error("no user " + account.name);
    record(*store, storage::audit::kUserRole, account.name,
           std::string(storage::roleName(account.role)) + " -> " + storage::roleName(*role));
    std::cout << "user " << account.name << " is now " << storage::roleName(*role)
              << " (from its next request on)\n";
    return 0;
}

int changeState(const UserOptions& options, bool disable) {
    auto store = openStore(options.store);
    const storage::Account account = existing(*store, options.name);
    const char* state = disable ? "disabled" : "enabled";
    if (account.disabled == disable) {
        std::cout << "user " << account.name << " is already " << state << "\n";
        return 0;
    }
    if (disable) keepAnAdmin(*store, account, "disabling");
    if (!store->setAccountDisabled(account.name, disable))
        throw std::runtime_error("no user " + account.name);
    record(*store, disable ? storage::audit::kUserDisabled : storage::audit::kUserEnabled,
           account.name);
    std::cout << "user " << account.name << " " << state << (disable ? "; its sessions ended" : "")
              << "\n";
    return 0;
}

int deleteUser(const UserOptions& options) {
    auto store = openStore(options.store);
    const storage::Account account = existing(*store, options.name);
    keepAnAdmin(*store, account, "deleting");
    if (!store->deleteAccount(account.name)) throw std::runtime_error("no user " + account.name);
    record(*store, storage::audit::kUserDeleted, account.name,
           std::string("was ") + storage::roleName(account.role));
    std::cout << "user " << account.name << " deleted; its sessions ended\n";
    return 0;
}

}  // namespace

void addUsers(CLI::App& program, Command& chosen) {
    auto* user = program.add_subcommand("user", "The console's accounts");
    user->allow_extras();
    user->require_subcommand(0, 1);
    auto options = std::make_shared<UserOptions>();
    const auto subcommand = [&](const char* name, const char* description) {
        auto* command = user->add_subcommand(name, description);
        command->allow_extras();
        addStoreOptions(*command, options->store);
        return command;
    };
    const auto nameOption = [&](CLI::App* command) {
        command->add_option("NAME", options->name, "1 to 64 letters, digits, '.', '_', '-' or '@'");
    };

    auto* add = subcommand(
        "add",
        "Makes a console account, or gives an existing one a new password; the password is "
        "read from the terminal without echo (twice), or as the first line of stdin when it "
        "is not a terminal");
    nameOption(add);
    add->add_option("--role", options->role,
                    "viewer (reads machines, scans and exports) or admin (also changes and "
                    "deletes data, and reads the audit log); a new account only")
        ->option_text("ROLE")
        ->default_str("viewer");
    auto* list = subcommand("list", "Lists the accounts: name, role, state, last sign-in");
    list->add_flag("--json", options->json, "as JSON")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    auto* password = subcommand(
        "password",
        "Gives an existing account a new password, read as user add reads it; ends its sessions");
    nameOption(password);
    auto* role = subcommand("role", "Makes an account a viewer or an admin");
    nameOption(role);
    role->add_option("ROLE", options->role, "viewer or admin");
    auto* disable = subcommand("disable", "Stops an account from signing in; ends its sessions");
    nameOption(disable);
    auto* enable = subcommand("enable", "Lets a disabled account sign in again");
    nameOption(enable);
    auto* remove = subcommand("delete", "Deletes an account; ends its sessions");
    nameOption(remove);

    // The user's callback runs whether a subcommand followed or not.
    user->callback([=, &chosen] {
        chosen = [=] {
            CLI::App* given = nullptr;
            for (CLI::App* c : {add, list, password, role, disable, enable, remove})
                if (c->parsed()) given = c;
            if (given == nullptr || !user->remaining(false).empty()) throw UsageError(kUserUsage);
            const auto extras = given->remaining(false);
            if (!extras.empty() && extras.front().starts_with("-")) refuseExtras(*given);
            const bool named = given != list;
            const bool roled = given == role;
            if (!extras.empty() || (named && options->name.empty()) ||
                (roled && given->count("ROLE") == 0)) {
                if (given == add) throw UsageError("expected: user add NAME [--role viewer|admin]");
                if (given == role) throw UsageError("expected: user role NAME viewer|admin");
                throw UsageError("expected: user " + given->get_name() + (named ? " NAME" : ""));
            }
            options->roleGiven = add->count("--role") > 0;
            if (given == add) return addUser(*options);
            if (given == list) return listUsers(*options);
            if (given == password) return changePassword(*options);
            if (given == role) return changeRole(*options);
            if (given == remove) return deleteUser(*options);
            return changeState(*options, given == disable);
        };
    });
}

}  // namespace gravelin::server
