// Calendar months as survey periods, and the trends: the monthly share of a dimension's
// leading values over the last months, each month surveyed on its own (surveyOfStore).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/survey/Survey.h"

namespace gravelin::survey {

using Month = std::chrono::year_month;
using report::survey::Dimension;

// "2026-12" as that month; nothing for anything else (other shapes, month 13, year 0).
std::optional<Month> calendarMonth(std::string_view text);
// "2026-12".
std::string monthText(Month month);
// The UTC month a time falls in.
Month calendarMonthOf(std::int64_t unixMs);
// The month's first day to the next month's first day, UTC.
Period monthPeriod(Month month);

// The dimensions whose trends the console shows: what people ask about most.
inline constexpr Dimension kTrendDimensions[] = {Dimension::Os, Dimension::ProcessorMaker,
                                                 Dimension::MemoryTotal, Dimension::MemoryType,
                                                 Dimension::DiskKind};

// One value's share of the machines of each month, oldest month first.
struct TrendLine {
    std::string value;
    std::vector<std::uint64_t> machines;
    std::vector<double> shares;  // 0 in a month without machines
};

struct Trend {
    Dimension dimension{};
    // The `top` most common named values of the latest month, most machines first.
    std::vector<TrendLine> lines;
};

struct Trends {
    std::vector<Month> months;            // oldest first
    std::vector<std::uint64_t> machines;  // per month
    std::vector<Trend> dimensions;        // in the order asked for
};

// The trends of monthly surveys (one per month, oldest first, each naming every value: a
// survey made with a `top` above the number of values).
Trends trendsOf(const std::vector<Month>& months, const std::vector<Survey>& monthly,
                const std::vector<Dimension>& dimensions, std::size_t top);

// The `count` months that end with `latest`, each surveyed from the store.
Trends trendsOfStore(storage::Store& store, Month latest, std::size_t count,
                     const std::vector<Dimension>& dimensions, std::size_t top);

}  // namespace gravelin::survey
