#include "scanner/platform/linux/wmi/WmiSupport.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace gravelin::linuxwmi {

namespace {

bool isTrimmed(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= ' ' || u == 0x7F;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isTrimmed(text.front())) text.remove_prefix(1);
    while (!text.empty() && isTrimmed(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
    if (!text) return std::nullopt;
    const std::string_view t = trimmed(*text);
    if (t.empty()) return std::nullopt;
    return std::string(t);
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || !isDigit(text.front())) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parseHex(std::string_view text) {
    text = trimmed(text);
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    if (text.empty() || hexDigit(text.front()) < 0) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> parseSigned(std::string_view text) {
    text = trimmed(text);
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parseRoundedDecimal(std::string_view text) {
    text = trimmed(text);
    const auto dot = text.find('.');
    const auto whole = parseUnsigned(text.substr(0, dot));
    if (!whole) return std::nullopt;
    if (dot == std::string_view::npos) return whole;
    const std::string_view fraction = text.substr(dot + 1);
    if (!std::all_of(fraction.begin(), fraction.end(), isDigit)) return std::nullopt;
    const bool roundUp = !fraction.empty() && fraction.front() >= '5';
    if (roundUp && *whole == UINT64_MAX) return std::nullopt;
    return *whole + (roundUp ? 1 : 0);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

bool lessIgnoreCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return lowerAscii(x) < lowerAscii(y);
    });
}

bool naturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ie = i;
            std::size_t je = j;
            while (ie < a.size() && isDigit(a[ie])) ++ie;
            while (je < b.size() && isDigit(b[je])) ++je;
            // Compare the runs as numbers: strip leading zeros, then by length, then digits.
            std::string_view x = a.substr(i, ie - i);
            std::string_view y = b.substr(j, je - j);
            while (x.size() > 1 && x.front() == '0') x.remove_prefix(1);
            while (y.size() > 1 && y.front() == '0') y.remove_prefix(1);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return (a.size() - i) < (b.size() - j);
}

namespace {

// "sdaa" -> {"sd", "aa"} for the letter-numbered disk families; else nothing.
std::optional<std::pair<std::string_view, std::string_view>> letterDisk(std::string_view name) {
    for (const std::string_view family : {"xvd", "sd", "vd", "hd"}) {
        if (!name.starts_with(family) || name.size() == family.size()) continue;
        const auto letters = name.substr(family.size());
        if (std::all_of(letters.begin(), letters.end(),
                        [](char c) { return c >= 'a' && c <= 'z'; }))
            return std::pair{family, letters};
    }
    return std::nullopt;
}

}  // namespace

bool diskNameLess(std::string_view a, std::string_view b) {
    const auto x = letterDisk(a);
    const auto y = letterDisk(b);
    if (x && y && x->first == y->first) {
        if (x->second.size() != y->second.size()) return x->second.size() < y->second.size();
        return x->second < y->second;
    }
    return naturalLess(a, b);
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

std::map<std::string, std::string, std::less<>> colonFields(std::string_view text) {
    std::map<std::string, std::string, std::less<>> fields;
    for (const auto line : splitLines(text)) {
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const auto key = trimmed(line.substr(0, colon));
        if (key.empty()) continue;
        fields.emplace(std::string(key), std::string(trimmed(line.substr(colon + 1))));
    }
    return fields;
}

std::map<std::string, std::uint64_t, std::less<>> counterFields(std::string_view text) {
    std::map<std::string, std::uint64_t, std::less<>> fields;
    for (const auto line : splitLines(text)) {
        const auto words = splitWords(line);
        if (words.size() < 2) continue;
        std::string_view key = words[0];
        if (key.ends_with(':')) key.remove_suffix(1);
        if (key.empty()) continue;
        if (const auto value = parseUnsigned(words[1])) fields.emplace(std::string(key), *value);
    }
    return fields;
}

std::map<std::string, std::string, std::less<>> shellAssignments(std::string_view text) {
    std::map<std::string, std::string, std::less<>> values;
    for (auto line : splitLines(text)) {
        line = trimmed(line);
        if (line.empty() || line.front() == '#') continue;
        if (line.starts_with("export ")) line = trimmed(line.substr(7));
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        const std::string key(trimmed(line.substr(0, eq)));
        std::string_view raw = trimmed(line.substr(eq + 1));
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
            raw.back() == raw.front()) {
            raw = raw.substr(1, raw.size() - 2);
        }
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
            value += raw[i];
        }
        values[key] = value;
    }
    return values;
}

std::map<std::string, std::string, std::less<>> udevProperties(std::string_view text) {
    std::map<std::string, std::string, std::less<>> values;
    for (const auto line : splitLines(text)) {
        if (!line.starts_with("E:")) continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || eq <= 2) continue;
        values[std::string(line.substr(2, eq - 2))] = std::string(line.substr(eq + 1));
    }
    return values;
}

std::string udevUnescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            const int hi = hexDigit(text[i + 2]);
            const int lo = hexDigit(text[i + 3]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string octalUnescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const char a = text[i + 1];
            const char b = text[i + 2];
            const char c = text[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::optional<std::vector<unsigned>> parseCpuList(std::string_view text, unsigned limit) {
    text = trimmed(text);
    std::vector<unsigned> cpus;
    if (text.empty()) return cpus;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find(',', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view part = text.substr(start, end - start);
        const auto dash = part.find('-');
        const auto first = parseUnsigned(part.substr(0, dash));
        const auto last =
            dash == std::string_view::npos ? first : parseUnsigned(part.substr(dash + 1));
        if (!first || !last || *last < *first || *last >= limit) return std::nullopt;
        if (cpus.size() + (*last - *first + 1) > limit) return std::nullopt;
        for (auto cpu = *first; cpu <= *last; ++cpu) cpus.push_back(static_cast<unsigned>(cpu));
        start = end + 1;
    }
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    return cpus;
}

std::optional<std::string> cimDateTime(LinuxSystem& system, std::int64_t epochSeconds,
                                       std::int32_t micros) {
    const auto local = system.localTime(epochSeconds);
    if (!local || local->year < 0 || local->year > 9999 || micros < 0 || micros > 999999)
        return std::nullopt;
    const int offset = local->offsetMinutes;
    if (offset < -999 || offset > 999) return std::nullopt;
    char text[40];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%06d%c%03d", local->year,
                  local->month, local->day, local->hour, local->minute, local->second,
                  static_cast<int>(micros), offset < 0 ? '-' : '+', std::abs(offset));
    return std::string(text);
}

ObjectBuilder::ObjectBuilder(std::string_view className, std::span<const std::string_view> names)
    : className_(className), names_(names), values_(names.size()) {}

void ObjectBuilder::set(std::string_view name, WmiValue value) {
    const auto at = std::find(names_.begin(), names_.end(), name);
    assert(at != names_.end() && "property not in the class");
    if (at == names_.end()) return;
    values_[static_cast<std::size_t>(at - names_.begin())] = std::move(value);
}

WmiObject ObjectBuilder::take() {
    WmiObject object;
    object.className = className_;
    object.properties.reserve(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i)
        object.properties.emplace_back(std::string(names_[i]), std::move(values_[i]));
    return object;
}

}  // namespace gravelin::linuxwmi
