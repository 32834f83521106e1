// Monthly periods and the trends of a dimension's leading values across them.
#include "receiver/survey/Trend.h"

#include <cstdio>
#include <limits>

namespace gravelin::survey {

namespace {

std::int64_t startMs(std::chrono::sys_days day) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(day.time_since_epoch()).count();
}

}  // namespace

std::optional<Month> calendarMonth(std::string_view text) {
    if (text.size() != 7 || text[4] != '-') return std::nullopt;
    int y = 0;
    unsigned m = 0;
    for (std::size_t i = 0; i < 7; ++i) {
        if (i == 4) continue;
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        if (i < 4)
            y = y * 10 + (text[i] - '0');
        else
            m = m * 10 + static_cast<unsigned>(text[i] - '0');
    }
    const Month month{std::chrono::year{y}, std::chrono::month{m}};
    if (y == 0 || !month.ok()) return std::nullopt;
    return month;
}

std::string monthText(Month month) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u", static_cast<int>(month.year()),
                  static_cast<unsigned>(month.month()));
    return text;
}

Month calendarMonthOf(std::int64_t unixMs) {
    using namespace std::chrono;
    const year_month_day day{floor<days>(sys_time<milliseconds>{milliseconds{unixMs}})};
    return day.year() / day.month();
}

Period monthPeriod(Month month) {
    using namespace std::chrono;
    const Month next = month + months{1};
    return {startMs(sys_days{month / 1}), startMs(sys_days{next / 1})};
}

Trends trendsOf(const std::vector<Month>& months, const std::vector<Survey>& monthly,
                const std::vector<Dimension>& dimensions, std::size_t top) {
    Trends trends;
    trends.months = months;
    for (const auto& survey : monthly) trends.machines.push_back(survey.machines);
    if (monthly.empty()) return trends;
    const Survey& latest = monthly.back();
    for (const Dimension dimension : dimensions) {
        const auto d = static_cast<std::size_t>(dimension);
        Trend trend;
        trend.dimension = dimension;
        // The survey lists named values first, most machines first; "other" and "unknown"
        // close the list and are no value of their own.
        for (const auto& item : latest.dimensions[d]) {
            if (trend.lines.size() == top) break;
            if (item.value == kOther || item.value == report::survey::kUnknown) continue;
            TrendLine line;
            line.value = item.value;
            for (const auto& survey : monthly) {
                std::uint64_t machines = 0;
                for (const auto& other : survey.dimensions[d]) {
                    if (other.value == item.value) machines = other.machines;
                }
                line.machines.push_back(machines);
                line.shares.push_back(survey.machines == 0
                                          ? 0.0
                                          : static_cast<double>(machines) /
                                                static_cast<double>(survey.machines));
            }
            trend.lines.push_back(std::move(line));
        }
        trends.dimensions.push_back(std::move(trend));
    }
    return trends;
}

Trends trendsOfStore(storage::Store& store, Month latest, std::size_t count,
                     const std::vector<Dimension>& dimensions, std::size_t top) {
    std::vector<Month> months;
    std::vector<Survey> monthly;
    for (std::size_t i = count; i-- > 0;) {
        const Month month = latest - std::chrono::months{static_cast<int>(i)};
        months.push_back(month);
        // Every value named, so that a value leading now has its share in every month.
        monthly.push_back(
            surveyOfStore(store, monthPeriod(month), std::numeric_limits<std::size_t>::max()));
    }
    return trendsOf(months, monthly, dimensions, top);
}

}  // namespace gravelin::survey
