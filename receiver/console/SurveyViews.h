// The fleet survey as people and programs read it outside a terminal: SVG charts (a bar per
// value, a line per leading value over the months), CSV and JSON, and the self-contained
// HTML snapshot that may be published outside the company. Every value from a report is
// escaped and its control characters shown, wherever it lands.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/survey/Survey.h"
#include "receiver/survey/Trend.h"

namespace gravelin::console {

// "12.5%".
std::string percentText(double share);
// The change of a share in percentage points, "+2.5", "-0.4", "0.0"; empty for none.
std::string pointsText(std::optional<double> change);

// The machine list's search for the machines holding a value: `os:"Windows 11 Pro"`, the
// value in double quotes when it holds a blank or a quote (a quote or backslash inside
// written after a backslash).
std::string valueSearch(std::string_view dimension, std::string_view value);

// One bar per value, its length the value's share of all machines, labelled with the value
// (shortened), the share and the change in points. Scales to the width it is given.
std::string barChartSvg(std::string_view dimension, const std::vector<survey::ValueCount>& values);
// One line per leading value across the months, the share on the vertical axis; the lines'
// colours are trendColour's, in order.
std::string trendChartSvg(const survey::Trends& trends, const survey::Trend& trend);
std::string_view trendColour(std::size_t line);

// dimension,value,machines,share,change: one record per value, every dimension or only one.
// The shares and changes are fractions with four decimals, as in the JSON.
std::string surveyCsv(const survey::Survey& survey,
                      std::optional<report::survey::Dimension> only = std::nullopt);
// survey::toJson, with only one dimension when asked.
nlohmann::ordered_json surveyJson(const survey::Survey& survey,
                                  std::optional<report::survey::Dimension> only = std::nullopt);

// One HTML file, its style and charts inside it, of the survey made publishable
// (survey::publishable: no value of fewer than five machines). It names no machine: the
// survey holds no serial number, UUID or receipt.
std::string surveySnapshot(const survey::Survey& full, std::int64_t madeAtMs);

}  // namespace gravelin::console
