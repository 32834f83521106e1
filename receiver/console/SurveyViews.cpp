// The survey's charts, CSV, JSON and publishable snapshot (SurveyViews.h), and the rows the
// survey page and the snapshot share (ConsoleInternal.h).
#include "receiver/console/SurveyViews.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <kainjow/mustache.hpp>
#include <stdexcept>

#include "receiver/console/Assets.h"
#include "receiver/console/ConsoleInternal.h"
#include "receiver/console/Csv.h"
#include "receiver/console/Web.h"
#include "receiver/survey/Publishable.h"

namespace gravelin::console {

namespace {

using report::survey::kDimensionCount;
using report::survey::kDimensionNames;
using report::survey::kUnknown;

// Text for SVG and HTML: control characters shown, markup characters escaped.
std::string markupText(std::string_view value) {
    return kainjow::mustache::html_escape(visibleControls(value));
}

// At most `limit` characters (code points), an ellipsis when cut.
std::string shortened(std::string_view text, std::size_t limit) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters++ == limit) return std::string(text.substr(0, i)) + "\u2026";
    }
    return std::string(text);
}

// A value as an SVG label: shortened, and isolated so that right-to-left text or a direction
// override inside it cannot reorder the share written after it.
std::string label(std::string_view value, std::size_t limit) {
    return "\u2068" + markupText(shortened(visibleControls(value), limit)) + "\u2069";
}

std::string number(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

double rounded4(double value) {
    const double r = std::round(value * 10000.0) / 10000.0;
    return r == 0.0 ? 0.0 : r;
}

const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string percentText(double share) {
    return number(share * 100.0, 1) + "%";
}

std::string pointsText(std::optional<double> change) {
    if (!change) return {};
    const double points = std::round(*change * 1000.0) / 10.0;
    if (points == 0.0) return "0.0";
    return (points > 0 ? "+" : "") + number(points, 1);
}

std::string valueSearch(std::string_view dimension, std::string_view value) {
    std::string search(dimension);
    search += ':';
    if (value.find_first_of(" \t\"") == std::string_view::npos) return search + std::string(value);
    search += '"';
    for (const char c : value) {
        if (c == '"' || c == '\\') search += '\\';
        search += c;
    }
    return search + '"';
}

std::string barChartSvg(std::string_view dimension, const std::vector<survey::ValueCount>& values) {
    // The labels, the bars, then the shares in a column of their own: nothing runs past the
    // right edge however long the bar, and a phone's narrow chart keeps its text readable.
    constexpr int kWidth = 460, kRow = 26, kBarX = 184, kBarWidth = 140,
                  kTailX = kBarX + kBarWidth + 8;
    const int height = static_cast<int>(values.size()) * kRow + 6;
    std::string svg = "<svg class=\"bars\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      std::to_string(kWidth) + " " + std::to_string(height) +
                      "\" role=\"img\" aria-label=\"" + markupText(dimension) +
                      ": share of machines per value\" font-size=\"14\">";
    int y = 4;
    for (const auto& item : values) {
        const bool named = item.value != survey::kOther && item.value != kUnknown;
        const double width = std::clamp(item.share, 0.0, 1.0) * kBarWidth;
        std::string tail = percentText(item.share);
        if (const auto points = pointsText(item.change); !points.empty())
            tail += "  " + points + " pts";
        svg += "<g class=\"bar\"><title>" + markupText(item.value) + ": " +
               percentText(item.share) + "</title>";
        svg += "<text x=\"0\" y=\"" + std::to_string(y + 15) + "\" fill=\"#1d2430\">" +
               label(item.value, 20) + "</text>";
        svg += "<rect x=\"" + std::to_string(kBarX) + "\" y=\"" + std::to_string(y + 3) +
               "\" width=\"" + number(std::max(width, 1.0), 1) + "\" height=\"" +
               std::to_string(kRow - 8) + "\" fill=\"" +
               (named                    ? "#1f5fbf"
                : item.value == kUnknown ? "#c4ccd8"
                                         : "#8a96a8") +
               "\"/>";
        svg += "<text x=\"" + std::to_string(kTailX) + "\" y=\"" + std::to_string(y + 15) +
               "\" fill=\"#5d6778\">" + markupText(tail) + "</text>";
        svg += "</g>";
        y += kRow;
    }
    return svg + "</svg>";
}

std::string_view trendColour(std::size_t line) {
    // Told apart by most people who see colours differently.
    static constexpr std::string_view kColours[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7",
                                                    "#e69f00", "#56b4e9", "#000000"};
    return kColours[line % std::size(kColours)];
}

std::string trendChartSvg(const survey::Trends& trends, const survey::Trend& trend) {
    constexpr double kWidth = 520, kHeight = 250, kLeft = 46, kRight = 508, kTop = 12,
                     kBottom = 206;
    const std::size_t n = trends.months.size();
    double highest = 0;
    for (const auto& line : trend.lines) {
        for (const double share : line.shares) highest = std::max(highest, share);
    }
    // The axis ends at the next tenth above the highest share.
    const double top = std::max(0.1, std::ceil(highest * 10.0 - 1e-9) / 10.0);
    const auto x = [&](std::size_t i) {
        return n < 2
                   ? (kLeft + kRight) / 2
                   : kLeft + (kRight - kLeft) * static_cast<double>(i) / static_cast<double>(n - 1);
    };
    const auto y = [&](double share) { return kBottom - (kBottom - kTop) * share / top; };
    const std::string name(report::survey::dimensionName(trend.dimension));
    std::string svg = "<svg class=\"trend\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      number(kWidth, 0) + " " + number(kHeight, 0) +
                      "\" role=\"img\" aria-label=\"" + markupText(name) +
                      ": monthly share of the leading values\" font-size=\"13\">";
    for (int step = 0; step <= 2; ++step) {
        const double share = top * step / 2;
        svg += "<line x1=\"" + number(kLeft, 0) + "\" x2=\"" + number(kRight, 0) + "\" y1=\"" +
               number(y(share), 1) + "\" y2=\"" + number(y(share), 1) +
               "\" stroke=\"#dde2ea\"/><text x=\"" + number(kLeft - 6, 0) + "\" y=\"" +
               number(y(share) + 4, 1) + "\" text-anchor=\"end\" fill=\"#5d6778\">" +
               number(share * 100, 0) + "%</text>";
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto month = trends.months[i];
        const unsigned m = static_cast<unsigned>(month.month());
        svg += "<text x=\"" + number(x(i), 1) + "\" y=\"" + number(kBottom + 18, 0) +
               "\" text-anchor=\"middle\" fill=\"#5d6778\">" + kMonthNames[(m + 11) % 12] +
               "</text>";
        if (i == 0 || m == 1) {
            svg += "<text x=\"" + number(x(i), 1) + "\" y=\"" + number(kBottom + 34, 0) +
                   "\" text-anchor=\"middle\" fill=\"#5d6778\">" +
                   std::to_string(static_cast<int>(month.year())) + "</text>";
        }
    }
    for (std::size_t l = 0; l < trend.lines.size(); ++l) {
        const auto& line = trend.lines[l];
        const std::string colour(trendColour(l));
        std::string points;
        for (std::size_t i = 0; i < line.shares.size() && i < n; ++i) {
            if (!points.empty()) points += ' ';
            points += number(x(i), 1) + "," + number(y(line.shares[i]), 1);
        }
        svg += "<g class=\"line\"><polyline fill=\"none\" stroke=\"" + colour +
               "\" stroke-width=\"2\" points=\"" + points + "\"/>";
        for (std::size_t i = 0; i < line.shares.size() && i < n; ++i) {
            svg += "<circle cx=\"" + number(x(i), 1) + "\" cy=\"" + number(y(line.shares[i]), 1) +
                   "\" r=\"3\" fill=\"" + colour + "\"><title>" + markupText(line.value) + ", " +
                   survey::monthText(trends.months[i]) + ": " + percentText(line.shares[i]) +
                   "</title></circle>";
        }
        svg += "</g>";
    }
    return svg + "</svg>";
}

std::string surveyCsv(const survey::Survey& survey, std::optional<report::survey::Dimension> only) {
    std::string out;
    appendCsvRecord(out, {"dimension", "value", "machines", "share", "change"});
    for (std::size_t d = 0; d < kDimensionCount; ++d) {
        if (only && static_cast<std::size_t>(*only) != d) continue;
        for (const auto& item : survey.dimensions[d]) {
            // The names go through the CSV's defences; the numbers are ours, and a change
            // below zero must stay a number rather than be defused as a formula.
            out += csvField(kDimensionNames[d]) + "," + csvField(item.value) + "," +
                   std::to_string(item.machines) + "," + number(rounded4(item.share), 4) + "," +
                   (item.change ? number(rounded4(*item.change), 4) : std::string()) + "\r\n";
        }
    }
    return out;
}

nlohmann::ordered_json surveyJson(const survey::Survey& survey,
                                  std::optional<report::survey::Dimension> only) {
    nlohmann::ordered_json json = survey::toJson(survey);
    if (only) {
        const std::string name(report::survey::dimensionName(*only));
        nlohmann::ordered_json one = nlohmann::ordered_json::object();
        one[name] = json["dimensions"][name];
        json["dimensions"] = std::move(one);
    }
    return json;
}

namespace detail {

std::string_view dimensionLabel(std::size_t dimension) {
    static constexpr std::string_view kLabels[kDimensionCount] = {"Operating system",
                                                                  "Processor maker",
                                                                  "Processor model",
                                                                  "Cores",
                                                                  "Threads",
                                                                  "Installed memory",
                                                                  "Memory type",
                                                                  "Memory speed",
                                                                  "Free memory slots",
                                                                  "Disks",
                                                                  "Disk space",
                                                                  "Disk kind",
                                                                  "Maker",
                                                                  "Model",
                                                                  "Enclosure",
                                                                  "Scanner version",
                                                                  "Failed scan parts"};
    return kLabels[dimension];
}

Data surveyDimensionData(const survey::Survey& survey, std::size_t d, bool links) {
    Data dimension = objectData();
    const std::string name(kDimensionNames[d]);
    dimension.set("name", name);
    dimension.set("label", std::string(dimensionLabel(d)));
    dimension.set("chart", barChartSvg(name, survey.dimensions[d]));
    Data values = listData();
    for (const auto& item : survey.dimensions[d]) {
        Data row = objectData();
        row.set("value", item.value);
        row.set("machines", grouped(item.machines));
        row.set("share", percentText(item.share));
        row.set("change", item.change ? pointsText(item.change) : "—");
        const bool named = item.value != survey::kOther && item.value != kUnknown;
        if (links && named)
            row.set("href", "/machines?q=" + urlEncode(valueSearch(name, item.value)));
        else
            row.set("href", false);
        row.set("muted", !named);
        values.push_back(row);
    }
    dimension.set("values", values);
    return dimension;
}

std::string renderTemplate(const std::string& templateName, const Data& context) {
    kainjow::mustache::mustache view{std::string(asset(templateName))};
    view.set_custom_escape([](const std::string& value) { return markupText(value); });
    std::string text = view.render(context);
    if (!view.is_valid()) throw std::runtime_error("template: " + view.error_message());
    return text;
}

}  // namespace detail

std::string surveySnapshot(const survey::Survey& full, std::int64_t madeAtMs) {
    const survey::Survey survey = survey::publishable(full);
    detail::Data context = detail::objectData();
    context.set("since", survey::dayText(survey.period.sinceMs));
    context.set("until", survey::dayText(survey.period.untilMs - 1));
    context.set("machines", grouped(survey.machines));
    context.set("previousMachines", grouped(survey.previousMachines));
    context.set("madeAt", displayTime(madeAtMs));
    context.set("fewest", std::to_string(survey::kFewestPublished));
    detail::Data dimensions = detail::listData();
    for (std::size_t d = 0; d < kDimensionCount; ++d)
        dimensions.push_back(detail::surveyDimensionData(survey, d, false));
    context.set("dimensions", dimensions);
    return detail::renderTemplate("snapshot.mustache", context);
}

}  // namespace gravelin::console
