// gravelin-receiver: receives, verifies and stores the scanner's reports. Parses the command
// line into the chosen subcommand, then runs it.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string_view>

#include "gravelin_config.h"
#include "programs/gravelin-receiver/Commands.h"

namespace {

using namespace gravelin::server;

// --help on the program gives the overview; on a subcommand, CLI11's list of its options.
class Help : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (app->get_parent() == nullptr) return kUsage;
        return CLI::Formatter::make_help(app, std::move(name), mode);
    }
};

int printed(const std::string& text) {
    std::cout << text << std::flush;
    if (std::cout) return 0;
    std::cerr << "gravelin-receiver: standard output: " << std::strerror(errno) << "\n";
    return 1;
}

int usageError(const std::string& what) {
    std::cerr << "gravelin-receiver: " << oneLine(what) << " (see gravelin-receiver --help)\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        std::cerr << kUsage;
        return 2;
    }
    CLI::App program("", "gravelin-receiver");
    program.formatter(std::make_shared<Help>());
    program.set_version_flag("--version", "gravelin-receiver " GRAVELIN_VERSION);
    program.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    program.require_subcommand(0, 1);
    program.allow_extras();
    Command chosen;
    addServe(program, chosen);
    addScans(program, chosen);
    addSurvey(program, chosen);
    addChanges(program, chosen);
    addUsers(program, chosen);
    addTokens(program, chosen);
    addAudit(program, chosen);
    addRetention(program, chosen);
    addMachines(program, chosen);
    addWebhooks(program, chosen);
    try {
        if (argc == 2 && std::string_view(argv[1]) == "help") return printed(kUsage);
        program.parse(argc, argv);
        if (!chosen) {
            const auto extras = program.remaining();
            throw UsageError("unknown command " + (extras.empty() ? "" : extras.front()));
        }
        return chosen();
    } catch (const CLI::CallForHelp&) {
        return printed(program.help());
    } catch (const CLI::CallForVersion& version) {
        return printed(std::string(version.what()) + "\n");
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    } catch (const UsageError& e) {
        return usageError(e.what());
    } catch (const std::invalid_argument& e) {
        return usageError(e.what());
    } catch (const std::exception& e) {
        std::cerr << "gravelin-receiver: " << oneLine(e.what()) << "\n";
        return 1;
    }
}
