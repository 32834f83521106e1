// gravelin-receiver user add: the console's accounts, made from the command line.
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>
#include <string>

#include "programs/gravelin-receiver/Commands.h"
#include "receiver/console/Accounts.h"

namespace gravelin::server {

namespace {

struct UserOptions {
    StoreChoice store;
    std::string name;
    std::string role = "viewer";
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

int addUser(const UserOptions& options) {
    const std::string& name = options.name;
    if (!console::validUserName(name))
        throw UsageError("a user name is 1 to 64 letters, digits, '.', '_', '-' or '@'");
    const auto role = storage::roleNamed(options.role);
    if (!role) throw UsageError("--role is viewer or admin");
    auto store = openStore(options.store);
    const std::string password = readPassword("Password: ");
    if (::isatty(STDIN_FILENO) != 0 && readPassword("Again: ") != password)
        throw std::runtime_error("the passwords differ");
    try {
        console::addUser(*store, name, password, *role);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(e.what());
    }
    std::cout << "user " << name << " saved\n";
    return 0;
}

}  // namespace

void addUsers(CLI::App& program, Command& chosen) {
    auto* user = program.add_subcommand("user", "The console's accounts");
    user->allow_extras();
    auto* add = user->add_subcommand(
        "add",
        "Makes or replaces a console account; the password is read from the terminal without "
        "echo (twice), or as the first line of stdin when it is not a terminal");
    add->allow_extras();
    auto options = std::make_shared<UserOptions>();
    addStoreOptions(*add, options->store);
    add->add_option("NAME", options->name, "1 to 64 letters, digits, '.', '_', '-' or '@'");
    add->add_option("--role", options->role,
                    "viewer (reads machines, scans and exports) or admin (also changes and "
                    "deletes data, and reads the audit log); a new account only")
        ->option_text("ROLE")
        ->default_str("viewer");
    // The user's callback runs whether "add" followed or not.
    user->callback([user, add, options, &chosen] {
        chosen = [user, add, options] {
            const auto extras = add->remaining(false);
            if (!extras.empty() && extras.front().starts_with("-")) refuseExtras(*add);
            if (!add->parsed() || !user->remaining(false).empty() || options->name.empty() ||
                !extras.empty())
                throw UsageError("expected: user add NAME");
            return addUser(*options);
        };
    });
}

}  // namespace gravelin::server
