// The survey page: the fleet of a period (a month, or days), each dimension's values as a
// bar chart beside its table, and the trends of the dimensions people ask about most; the
// survey's downloads (CSV, JSON, the snapshot to publish), each written to the audit log.

#include "receiver/console/ConsoleInternal.h"
#include "receiver/console/SurveyViews.h"
#include "receiver/survey/Trend.h"

namespace gravelin::console::detail {

namespace {

// The values each chart names before "other".
constexpr std::size_t kSurveyTop = 10;
// The leading values each trend follows, over this many months.
constexpr std::size_t kTrendTop = 5;
constexpr std::size_t kTrendMonths = 12;

}  // namespace

ConsoleImpl::SurveyChoice ConsoleImpl::surveyChoice(const Fields& fields) const {
    SurveyChoice choice;
    choice.month = survey::calendarMonthOf(now());
    choice.monthField = field(fields, "month");
    choice.sinceField = field(fields, "since");
    choice.untilField = field(fields, "until");
    if (!choice.monthField.empty()) {
        if (const auto month = survey::calendarMonth(choice.monthField)) {
            choice.month = *month;
        } else {
            choice.error = "A month is written YYYY-MM, as 2026-12; showing this month.";
            choice.month = survey::calendarMonthOf(now());
        }
    }
    choice.period = survey::monthPeriod(choice.month);
    choice.query = "month=" + survey::monthText(choice.month);
    if (choice.sinceField.empty() && choice.untilField.empty()) {
        choice.monthField = survey::monthText(choice.month);
        return choice;
    }
    // Days, when given, are the period; "To" is the last day counted.
    const auto since = server::utcDayStartMs(choice.sinceField);
    const auto until = server::utcDayStartMs(choice.untilField);
    if (!since || !until || *since > *until) {
        choice.error = "From and To are both days, YYYY-MM-DD, From not after To; showing " +
                       survey::monthText(choice.month) + ".";
        return choice;
    }
    choice.period = {*since, *until + 24LL * 3600 * 1000};
    choice.month = survey::calendarMonthOf(*until);
    choice.monthField.clear();
    choice.query = "since=" + choice.sinceField + "&until=" + choice.untilField;
    return choice;
}

std::optional<report::survey::Dimension> ConsoleImpl::surveyDimension(const Fields& fields,
                                                                      bool& unknown) {
    unknown = false;
    const std::string name = field(fields, "dimension");
    if (name.empty()) return std::nullopt;
    const auto dimension = report::survey::dimensionNamed(name);
    unknown = !dimension;
    return dimension;
}

Response ConsoleImpl::surveyPage(const Fields& fields, const Authenticated& auth) {
    const SurveyChoice choice = surveyChoice(fields);
    const survey::Survey result = survey::surveyOfStore(store_, choice.period, kSurveyTop);
    const std::vector<report::survey::Dimension> trendDimensions(
        std::begin(survey::kTrendDimensions), std::end(survey::kTrendDimensions));
    const survey::Trends trends =
        survey::trendsOfStore(store_, choice.month, kTrendMonths, trendDimensions, kTrendTop);

    Data context = objectData();
    context.set("machines", grouped(result.machines));
    context.set("since", survey::dayText(result.period.sinceMs));
    context.set("until", survey::dayText(result.period.untilMs - 1));
    context.set("previousSince", survey::dayText(result.previous.sinceMs));
    context.set("previousUntil", survey::dayText(result.previous.untilMs - 1));
    context.set("previousMachines", grouped(result.previousMachines));
    context.set("month", choice.monthField);
    context.set("sinceField", choice.sinceField);
    context.set("untilField", choice.untilField);
    context.set("periodQuery", choice.query);
    if (!choice.error.empty()) context.set("error", choice.error);

    Data months = listData(), machines = listData();
    for (const auto month : trends.months) months.push_back(Data(survey::monthText(month)));
    for (const auto count : trends.machines) machines.push_back(Data(grouped(count)));
    Data dimensions = listData();
    for (std::size_t d = 0; d < report::survey::kDimensionCount; ++d) {
        Data dimension = surveyDimensionData(result, d, true);
        dimension.set("trend", false);
        for (const auto& trend : trends.dimensions) {
            if (static_cast<std::size_t>(trend.dimension) != d || trend.lines.empty()) continue;
            Data view = objectData();
            view.set("first", survey::monthText(trends.months.front()));
            view.set("last", survey::monthText(trends.months.back()));
            view.set("trendChart", trendChartSvg(trends, trend));
            view.set("months", months);
            view.set("machines", machines);
            Data lines = listData();
            for (std::size_t l = 0; l < trend.lines.size(); ++l) {
                Data line = objectData();
                line.set("value", trend.lines[l].value);
                line.set("colour", std::string(trendColour(l)));
                Data shares = listData();
                for (std::size_t m = 0; m < trend.lines[l].shares.size(); ++m) {
                    shares.push_back(Data(trends.machines[m] == 0
                                              ? std::string("—")
                                              : percentText(trend.lines[l].shares[m])));
                }
                line.set("shares", shares);
                lines.push_back(line);
            }
            view.set("lines", lines);
            dimension.set("trend", view);
        }
        dimensions.push_back(dimension);
    }
    context.set("dimensions", dimensions);
    return page(200, "Survey", "survey", context, &auth);
}

Response ConsoleImpl::surveyExport(const Request& request, const Fields& fields,
                                   std::string_view kind, const Authenticated& auth) {
    const SurveyChoice choice = surveyChoice(fields);
    if (!choice.error.empty()) return plain(400, choice.error);
    bool unknownDimension = false;
    const auto only = surveyDimension(fields, unknownDimension);
    if (unknownDimension) return plain(400, "no such dimension");
    const std::string periodText = survey::dayText(choice.period.sinceMs) + " to " +
                                   survey::dayText(choice.period.untilMs - 1);
    const std::string dimensionName =
        only ? std::string(report::survey::dimensionName(*only)) : std::string("every dimension");
    audit(request, auth, storage::audit::kExport, "survey." + std::string(kind),
          periodText + ", " + (kind == "html" ? "snapshot to publish" : dimensionName));
    const survey::Survey result = survey::surveyOfStore(store_, choice.period, kSurveyTop);
    const std::string stem = "survey-" + survey::dayText(choice.period.sinceMs) +
                             (only ? "-" + dimensionName : std::string());
    if (kind == "csv") {
        return download("text/csv; charset=utf-8; header=present", stem + ".csv",
                        "\xEF\xBB\xBF" + surveyCsv(result, only));
    }
    if (kind == "json") {
        return download(
            "application/json; charset=utf-8", stem + ".json",
            surveyJson(result, only).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                "\n");
    }
    return download("text/html; charset=utf-8", stem + ".html", surveySnapshot(result, now()));
}

}  // namespace gravelin::console::detail
