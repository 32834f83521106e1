// gravelin-receiver survey: the fleet's hardware by each machine's latest scan of a period.
#include "receiver/survey/Survey.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/TerminalText.h"

namespace gravelin::server {

namespace {

struct SurveyOptions {
    StoreChoice store;
    std::optional<std::string> since, until;
    std::size_t top = 10;
    bool json = false;
};

constexpr std::int64_t kDayMs = 24LL * 60 * 60 * 1000;
constexpr std::int64_t kDefaultDays = 30;

std::int64_t dayOption(const std::string& text, const char* option) {
    const auto ms = survey::dayStartMs(text);
    if (!ms)
        throw UsageError(std::string(option) + " takes a day as YYYY-MM-DD, not \"" +
                         report::terminalText(text) + "\"");
    return *ms;
}

// Today's start, UTC.
std::int64_t todayMs() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return now - now % kDayMs;
}

int runSurvey(const SurveyOptions& options) {
    survey::Period period;
    period.untilMs = options.until ? dayOption(*options.until, "--until") : todayMs() + kDayMs;
    period.sinceMs = options.since ? dayOption(*options.since, "--since")
                                   : period.untilMs - kDefaultDays * kDayMs;
    if (period.sinceMs >= period.untilMs) throw UsageError("--since must be a day before --until");
    auto store = openStore(options.store, /*readOnly=*/true);  // a read-only mount will do
    const auto result = survey::surveyOfStore(*store, period, options.top);
    if (options.json) {
        std::cout << report::terminalJson(survey::toJson(result).dump(
                         2, ' ', false, nlohmann::json::error_handler_t::replace))
                  << "\n";
    } else {
        std::cout << survey::surveyText(result);
    }
    return 0;
}

}  // namespace

void addSurvey(CLI::App& program, Command& chosen) {
    auto* command = program.add_subcommand(
        "survey", "Counts machines per value of each hardware dimension by their latest scan");
    auto options = std::make_shared<SurveyOptions>();
    addStoreOptions(*command, options->store);
    command->add_option("--since", options->since, "the first day counted (UTC) [30 days ago]")
        ->option_text("YYYY-MM-DD");
    command->add_option("--until", options->until, "the first day not counted (UTC) [tomorrow]")
        ->option_text("YYYY-MM-DD");
    command->add_option("--top", options->top, "values shown per dimension before \"other\"")
        ->option_text("N")
        ->check(wholeNumber());
    command->add_flag("--json", options->json, "the survey as JSON")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command->callback([command, options, &chosen] {
        chosen = [command, options] {
            refuseExtras(*command);
            return runSurvey(*options);
        };
    });
}

}  // namespace gravelin::server
