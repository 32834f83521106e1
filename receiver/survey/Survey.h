// The fleet survey: for each dimension (reading/SurveyFacets.h), how many machines have each
// value, by each machine's latest scan received in a period, with the change of each share
// from the period of the same length before. docs/survey.md describes what it counts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reading/SurveyFacets.h"
#include "receiver/storage/Store.h"

namespace gravelin::survey {

using report::survey::Facets;
using report::survey::kDimensionCount;

// [sinceMs, untilMs), Unix milliseconds.
struct Period {
    std::int64_t sinceMs = 0, untilMs = 0;
};

// Whether the period is one calendar month, UTC (from a first day to the next first day).
bool isMonth(const Period& period);
// The calendar month of a time, UTC; "2026-12" as that month (nothing for other shapes).
Period monthOf(std::int64_t unixMs);
std::optional<Period> monthNamed(std::string_view yearMonth);

// The period compared with: the calendar month before a calendar month, else the period of
// the same length that ends where this one starts.
Period previousPeriod(const Period& period);

// The UTC day of a time, "2026-12-01".
std::string dayText(std::int64_t unixMs);

// One scan's values, with what decides which scan of a machine is its latest.
struct ScanFacets {
    std::int64_t machineId = 0;
    std::int64_t scanId = 0;
    std::int64_t receivedAtMs = 0;
    Facets facets;
};

// Each machine's latest scan received in the period (the later time, then the higher id).
std::vector<ScanFacets> latestPerMachine(const std::vector<ScanFacets>& scans,
                                         const Period& period);

// The values shown are named; the rest of the values seen are summed here.
inline constexpr std::string_view kOther = "other";

struct ValueCount {
    std::string value;
    std::uint64_t machines = 0;
    double share = 0;              // of all machines of the period
    std::optional<double> change;  // share minus the previous period's; none when that
                                   // period had no machine
};

struct Survey {
    Period period, previous;
    std::uint64_t machines = 0, previousMachines = 0;
    // By Dimension: the `top` most common values (most machines first, then by value), then
    // "other" for the rest, then "unknown". The machines of each add up to `machines`.
    std::array<std::vector<ValueCount>, kDimensionCount> dimensions;
};

// The survey of machines each counted once (latestPerMachine of each period).
Survey tally(const std::vector<ScanFacets>& current, const std::vector<ScanFacets>& previous,
             const Period& period, std::size_t top);

// The same from counts: machines per value of each dimension, with the periods' machines.
using DimensionCounts = std::array<std::map<std::string, std::uint64_t, std::less<>>, kDimensionCount>;
Survey tally(const DimensionCounts& current, std::uint64_t machines,
             const DimensionCounts& previous, std::uint64_t previousMachines, const Period& period,
             std::size_t top);

// The survey of the stored scans. Conflicting scans take nothing of their machine and count
// not. A calendar month (and the month before) is read from the counts the store keeps per
// month (Store::surveyCounts); any other period, or a store not counted yet, from the scans
// one by one (surveyOfScans).
Survey surveyOfStore(storage::Store& store, const Period& period, std::size_t top);
// The slow way, for any period: the scans' rows, then the stored summaries of the scans that
// count. It depends on nothing but the stored scans: the counts are to agree with it.
Survey surveyOfScans(storage::Store& store, const Period& period, std::size_t top);

// {"machines", "since", "until", "previous": {...}, "dimensions": {"os": [...], ...}}, the
// dimensions in their order.
nlohmann::ordered_json toJson(const Survey& survey);
// The same for people: one block per dimension.
std::string surveyText(const Survey& survey);

}  // namespace gravelin::survey
