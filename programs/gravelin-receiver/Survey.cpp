// gravelin-receiver survey: the fleet's hardware by each machine's latest scan of a period.
#include "receiver/survey/Survey.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "programs/gravelin-receiver/Commands.h"
#include "reading/TerminalText.h"
#include "receiver/http/Time.h"
#include "receiver/console/SurveyViews.h"

namespace gravelin::server {

namespace {

struct SurveyOptions {
    StoreChoice store;
    std::optional<std::string> month, since, until;
    std::size_t top = 10;
    bool json = false, csv = false;
    bool recount = false;
    std::optional<std::string> snapshot;  // the file the snapshot to publish is written to
};

// A recount reads every scan in one transaction: far longer than one intake call may take.
constexpr std::uint64_t kRecountTimeoutMs = 3'600'000;

std::int64_t dayOption(const std::string& text, const char* option) {
    const auto ms = utcDayStartMs(text);
    if (!ms)
        throw UsageError(std::string(option) + " takes a day as YYYY-MM-DD, not \"" +
                         report::terminalText(text) + "\"");
    return *ms;
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int runRecount(const SurveyOptions& options) {
    StoreChoice choice = options.store;
    choice.timeoutMs = std::max(choice.timeoutMs, kRecountTimeoutMs);
    auto store = openStore(choice);
    const storage::SurveyRecount result = store->recountSurvey();
    if (result.agreed()) {
        std::cout << "the survey's counts agreed with the stored scans\n";
        return 0;
    }
    std::cout << "the survey's counts differed from the stored scans and were counted again: "
              << result.membersDiffering << " machine months, " << result.countsDiffering
              << " counts\n";
    return 1;
}

int runSurvey(const SurveyOptions& options) {
    if (options.recount) return runRecount(options);
    survey::Period period;
    if (options.month) {
        const auto month = survey::monthNamed(*options.month);
        if (!month)
            throw UsageError("--month takes a month as YYYY-MM, not \"" +
                             report::terminalText(*options.month) + "\"");
        period = *month;
    } else if (options.since || options.until) {
        const survey::Period current = survey::monthOf(nowMs());
        period.untilMs = options.until ? dayOption(*options.until, "--until") : current.untilMs;
        period.sinceMs = options.since ? dayOption(*options.since, "--since") : current.sinceMs;
    } else {
        period = survey::monthOf(nowMs());
    }
    if (period.sinceMs >= period.untilMs) throw UsageError("--since must be a day before --until");
    auto store = openStore(options.store, /*readOnly=*/true);  // a read-only mount will do
    const auto result = survey::surveyOfStore(*store, period, options.top);
    if (options.snapshot) {
        std::ofstream file(*options.snapshot, std::ios::binary | std::ios::trunc);
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        file << console::surveySnapshot(result, now);
        file.close();
        if (!file) {
            std::cerr << "cannot write " << report::terminalText(*options.snapshot) << "\n";
            return 1;
        }
        return 0;
    }
    if (options.csv) {
        // Spreadsheet-safe as the console's download; every value also as the terminal
        // shows text (its record separators stay).
        auto shown = result;
        for (auto& values : shown.dimensions) {
            for (auto& item : values) item.value = report::terminalText(item.value);
        }
        std::cout << console::surveyCsv(shown);
    } else if (options.json) {
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
    auto* month = command->add_option("--month", options->month, "the calendar month counted (UTC) [this month]")
        ->option_text("YYYY-MM");
    auto* since = command->add_option("--since", options->since, "the first day counted (UTC) [this month's first]")
        ->option_text("YYYY-MM-DD");
    auto* until = command->add_option("--until", options->until, "the first day not counted (UTC) [next month's first]")
        ->option_text("YYYY-MM-DD");
    month->excludes(since)->excludes(until);
    command->add_option("--top", options->top, "values shown per dimension before \"other\"")
        ->option_text("N")
        ->check(wholeNumber());
    auto* json = command->add_flag("--json", options->json, "the survey as JSON")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command->add_flag("--recount", options->recount,
                      "count every month again from the stored scans; exit 1 when the counts were off")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
        ->excludes(month)
        ->excludes(since)
        ->excludes(until)
        ->excludes(json);
    auto* csv = command->add_flag("--csv", options->csv, "the survey as CSV, one value a line")
                    ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command
        ->add_option("--snapshot", options->snapshot,
                     "writes the survey as one HTML file to publish: values of fewer than 5 "
                     "machines counted in \"other\"")
        ->option_text("FILE")
        ->excludes(json)
        ->excludes(csv);
    csv->excludes(json);
    command->callback([command, options, &chosen] {
        chosen = [command, options] {
            refuseExtras(*command);
            return runSurvey(*options);
        };
    });
}

}  // namespace gravelin::server
