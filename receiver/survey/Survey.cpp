// The fleet survey: each machine's latest scan of a period, counted per dimension and value.
#include "receiver/survey/Survey.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "reading/SummaryJson.h"
#include "reading/TerminalText.h"
#include "receiver/http/Time.h"
#include "receiver/storage/StoreInternal.h"

namespace gravelin::survey {

namespace {

using report::survey::kDimensionNames;
using report::survey::kUnknown;

// Shares as the outputs show them: four decimals, enough for one machine in ten thousand.
double rounded(double value) {
    const double r = std::round(value * 10000.0) / 10000.0;
    return r == 0.0 ? 0.0 : r;  // no "-0"
}

using Counts = std::map<std::string, std::uint64_t, std::less<>>;

Counts countsOf(const std::vector<ScanFacets>& machines, std::size_t dimension) {
    Counts counts;
    for (const auto& machine : machines) ++counts[machine.facets[dimension]];
    return counts;
}

double shareOf(std::uint64_t count, std::uint64_t total) {
    return total == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(total);
}

}  // namespace

Period monthOf(std::int64_t unixMs) {
    const std::int64_t first = storage::detail::monthOf(unixMs);
    return {first, storage::detail::monthAfter(first)};
}

bool isMonth(const Period& period) {
    const Period month = monthOf(period.sinceMs);
    return month.sinceMs == period.sinceMs && month.untilMs == period.untilMs;
}

std::optional<Period> monthNamed(std::string_view yearMonth) {
    if (yearMonth.size() != 7) return std::nullopt;
    const auto first = server::utcDayStartMs(std::string(yearMonth) + "-01");
    if (!first) return std::nullopt;
    return monthOf(*first);
}

Period previousPeriod(const Period& period) {
    if (isMonth(period)) return monthOf(period.sinceMs - 1);
    const std::int64_t length = period.untilMs - period.sinceMs;
    return {period.sinceMs - length, period.sinceMs};
}

std::string dayText(std::int64_t unixMs) {
    using namespace std::chrono;
    const auto days = floor<std::chrono::days>(sys_time<milliseconds>{milliseconds{unixMs}});
    const year_month_day date{days};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::vector<ScanFacets> latestPerMachine(const std::vector<ScanFacets>& scans,
                                         const Period& period) {
    std::map<std::int64_t, const ScanFacets*> latest;
    for (const auto& scan : scans) {
        if (scan.receivedAtMs < period.sinceMs || scan.receivedAtMs >= period.untilMs) continue;
        auto& chosen = latest[scan.machineId];
        if (!chosen || std::tie(scan.receivedAtMs, scan.scanId) >
                           std::tie(chosen->receivedAtMs, chosen->scanId))
            chosen = &scan;
    }
    std::vector<ScanFacets> machines;
    machines.reserve(latest.size());
    for (const auto& [machine, scan] : latest) machines.push_back(*scan);
    return machines;
}

Survey tally(const std::vector<ScanFacets>& current, const std::vector<ScanFacets>& previous,
             const Period& period, std::size_t top) {
    DimensionCounts now, before;
    for (std::size_t d = 0; d < kDimensionCount; ++d) {
        now[d] = countsOf(current, d);
        before[d] = countsOf(previous, d);
    }
    return tally(now, current.size(), before, previous.size(), period, top);
}

Survey tally(const DimensionCounts& current, std::uint64_t machines,
             const DimensionCounts& previous, std::uint64_t previousMachines, const Period& period,
             std::size_t top) {
    Survey survey;
    survey.period = period;
    survey.previous = previousPeriod(period);
    survey.machines = machines;
    survey.previousMachines = previousMachines;
    const bool compared = survey.previousMachines > 0;
    for (std::size_t d = 0; d < kDimensionCount; ++d) {
        const Counts& now = current[d];
        const Counts& before = previous[d];
        const auto countIn = [](const Counts& counts, std::string_view value) -> std::uint64_t {
            const auto found = counts.find(value);
            return found == counts.end() ? 0 : found->second;
        };
        // The named values, most machines first. A value that is itself called "other"
        // (a kind of disk, an enclosure) goes with the rest.
        std::vector<std::pair<std::string, std::uint64_t>> named;
        for (const auto& [value, count] : now) {
            if (value != kUnknown && value != kOther) named.emplace_back(value, count);
        }
        std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) {
            return a.second != b.second ? a.second > b.second : a.first < b.first;
        });
        if (named.size() > top) named.resize(top);
        std::set<std::string_view> shown;
        auto& values = survey.dimensions[d];
        const auto add = [&](std::string value, std::uint64_t count, std::uint64_t countBefore) {
            ValueCount item;
            item.value = std::move(value);
            item.machines = count;
            item.share = shareOf(count, survey.machines);
            if (compared) item.change = item.share - shareOf(countBefore, survey.previousMachines);
            values.push_back(std::move(item));
        };
        for (const auto& [value, count] : named) {
            shown.insert(value);
            add(value, count, countIn(before, value));
        }
        // The rest, in both periods: what is neither shown nor unknown.
        const auto rest = [&](const Counts& counts) {
            std::uint64_t sum = 0;
            for (const auto& [value, count] : counts) {
                if (value != kUnknown && !shown.contains(value)) sum += count;
            }
            return sum;
        };
        if (const auto others = rest(now); others > 0)
            add(std::string(kOther), others, rest(before));
        if (const auto unknown = countIn(now, kUnknown); unknown > 0)
            add(std::string(kUnknown), unknown, countIn(before, kUnknown));
    }
    return survey;
}

Survey surveyOfStore(storage::Store& store, const Period& period, std::size_t top) {
    if (!isMonth(period)) return surveyOfScans(store, period, top);
    const Period before = previousPeriod(period);
    const auto now = store.surveyCounts(period.sinceMs);
    const auto then = now ? store.surveyCounts(before.sinceMs) : std::nullopt;
    if (!now || !then) return surveyOfScans(store, period, top);
    // Every machine has one value in each dimension: the machines are any dimension's sum.
    const auto countsOf = [](const std::vector<storage::SurveyCount>& rows,
                             std::uint64_t& machines) {
        DimensionCounts counts;
        machines = 0;
        for (const auto& row : rows) {
            counts[static_cast<std::size_t>(row.dimension)][row.value] += row.machines;
            if (row.dimension == report::survey::Dimension{}) machines += row.machines;
        }
        return counts;
    };
    std::uint64_t machines = 0, previousMachines = 0;
    const DimensionCounts current = countsOf(*now, machines);
    const DimensionCounts previous = countsOf(*then, previousMachines);
    return tally(current, machines, previous, previousMachines, period, top);
}

Survey surveyOfScans(storage::Store& store, const Period& period, std::size_t top) {
    const Period before = previousPeriod(period);
    // The rows first: which scan of each machine counts, in each period.
    std::vector<ScanFacets> rows;
    constexpr std::uint32_t kPage = 1000;
    for (std::uint64_t offset = 0;; offset += kPage) {
        const auto page = store.scans(std::nullopt, kPage, offset);
        for (const auto& row : page) {
            if (row.conflict == storage::ScanConflict::Conflicting) continue;
            if (row.receivedAtMs < before.sinceMs || row.receivedAtMs >= period.untilMs) continue;
            rows.push_back({row.machineId, row.id, row.receivedAtMs, {}});
        }
        if (page.size() < kPage) break;
    }
    // Then the summaries of those scans alone.
    const auto withFacets = [&store](std::vector<ScanFacets> machines) {
        for (auto& machine : machines) {
            const auto record = store.scan(machine.scanId);
            const report::Summary summary =
                record ? report::summaryFromJsonText(record->summaryJson) : report::Summary{};
            machine.facets = report::survey::facetsOf(summary);
        }
        return machines;
    };
    return tally(withFacets(latestPerMachine(rows, period)),
                 withFacets(latestPerMachine(rows, before)), period, top);
}

nlohmann::ordered_json toJson(const Survey& survey) {
    nlohmann::ordered_json out;
    out["machines"] = survey.machines;
    out["since"] = dayText(survey.period.sinceMs);
    out["until"] = dayText(survey.period.untilMs);
    out["previous"] = {{"machines", survey.previousMachines},
                       {"since", dayText(survey.previous.sinceMs)},
                       {"until", dayText(survey.previous.untilMs)}};
    nlohmann::ordered_json dimensions = nlohmann::ordered_json::object();
    for (std::size_t d = 0; d < kDimensionCount; ++d) {
        nlohmann::ordered_json values = nlohmann::ordered_json::array();
        for (const auto& item : survey.dimensions[d]) {
            values.push_back({{"value", item.value},
                              {"machines", item.machines},
                              {"share", rounded(item.share)},
                              {"change", item.change ? nlohmann::ordered_json(rounded(*item.change))
                                                     : nlohmann::ordered_json()}});
        }
        dimensions[std::string(kDimensionNames[d])] = std::move(values);
    }
    out["dimensions"] = std::move(dimensions);
    return out;
}

std::string surveyText(const Survey& survey) {
    std::ostringstream out;
    out << survey.machines << " machines, " << dayText(survey.period.sinceMs) << " to "
        << dayText(survey.period.untilMs) << " (exclusive); " << survey.previousMachines
        << " in the period before, " << dayText(survey.previous.sinceMs) << " to "
        << dayText(survey.previous.untilMs) << "\n";
    char cells[64];
    for (std::size_t d = 0; d < kDimensionCount; ++d) {
        out << "\n" << kDimensionNames[d] << "\n";
        for (const auto& item : survey.dimensions[d]) {
            if (item.change) {
                std::snprintf(cells, sizeof cells, "%8llu %6.1f%% %+6.1f",
                              static_cast<unsigned long long>(item.machines), item.share * 100.0,
                              rounded(*item.change) * 100.0);
            } else {
                std::snprintf(cells, sizeof cells, "%8llu %6.1f%%",
                              static_cast<unsigned long long>(item.machines), item.share * 100.0);
            }
            out << cells << "  " << report::terminalText(item.value) << "\n";
        }
    }
    return out.str();
}

}  // namespace gravelin::survey
