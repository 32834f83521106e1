// The scan's error text said plainly.
//
// The scanner writes three kinds of entry (shared/Vocabulary.h), one after the other without
// separators:
//   "Unable to query SMBIOS device data! "          no firmware table from either source
//   "No data found for \"<query line>\", "          a query line no source answered
//   "Skipped invalid XML name \"<name>\", "          a class or property name left out
// Anything else (a text from another program, or cut short) is passed on as it stands.
#include <algorithm>
#include <array>
#include <set>

#include "reading/Summary.h"
#include "shared/Text.h"
#include "shared/Vocabulary.h"

namespace gravelin::report {

namespace {

using vocabulary::kEntryEnd;
using vocabulary::kNoDataEntry;
using vocabulary::kNoSmbiosEntry;
using vocabulary::kSkippedNameEntry;

struct Meaning {
    std::string_view className;
    std::string_view text;
};

// What is missing when the machine does not answer for a WMI class of the query list.
constexpr std::array<Meaning, 8> kWmiClasses{{
    {vocabulary::kWin32BaseBoard, "board maker, product or serial number"},
    {vocabulary::kWin32Processor, "processors"},
    {vocabulary::kWin32OperatingSystem, "operating system"},
    {vocabulary::kWin32PerfMemory,
     "memory counters; on Windows the performance counters are disabled or damaged "
     "(rebuilt with \"lodctr /R\" as administrator)"},
    {vocabulary::kWin32DiskDrive, "disks"},
    {vocabulary::kWin32LogicalDisk, "volumes"},
    {vocabulary::kWin32ComputerSystemProduct, "machine maker, model, serial number or UUID"},
    {vocabulary::kCimController, "controllers"},
}};

// The SMBIOS pseudo-classes, by type number.
struct TableType {
    unsigned type;
    std::string_view text;
};
constexpr std::array<TableType, 7> kTableTypes{{
    {2, "no baseboard structure (type 2): the board comes from WMI only"},
    {3, "no enclosure structure (type 3): no chassis type, serial number or asset tag"},
    {4, "no processor structure (type 4): no socket names"},
    {5,
     "no memory controller structure (type 5): an old structure that firmware since "
     "SMBIOS 2.1 rarely carries, not a fault"},
    {6,
     "no memory module structure (type 6): an old structure that firmware since SMBIOS 2.1 "
     "rarely carries, not a fault"},
    {17, "no memory device structure (type 17): the memory slots are unknown"},
    {9, "no system slot structure (type 9): the expansion slots are unknown"},
}};

// Every query of the list has its meaning above, and nothing else has one.
constexpr bool explainsTheQueryList() {
    std::size_t wmi = 0, table = 0;
    for (const auto& query : vocabulary::kQueries) {
        if (query.source == vocabulary::QuerySource::Wmi) {
            ++wmi;
            if (std::none_of(kWmiClasses.begin(), kWmiClasses.end(),
                             [&](const Meaning& m) { return m.className == query.wmiClass; }))
                return false;
        } else {
            ++table;
            if (std::none_of(kTableTypes.begin(), kTableTypes.end(),
                             [&](const TableType& t) { return t.type == query.smbiosType; }))
                return false;
        }
    }
    return wmi == kWmiClasses.size() && table == kTableTypes.size();
}
static_assert(explainsTheQueryList(), "a query of the list has no meaning, or a meaning no query");

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
    return text;
}

// The class a query line asks for: the word after FROM.
std::string_view queriedClass(std::string_view line) {
    for (std::size_t at = 0; at + 6 <= line.size(); ++at) {
        if (equalsIgnoringAsciiCase(line.substr(at, 6), " FROM ")) {
            std::string_view rest = trimmed(line.substr(at + 6));
            const auto end = rest.find_first_of(" \t");
            return end == std::string_view::npos ? rest : rest.substr(0, end);
        }
    }
    return trimmed(line);
}

// "SMBIOS_Type017_MemoryDevice" -> 17; not such a name -> nothing.
std::optional<unsigned> tableType(std::string_view className) {
    constexpr std::string_view kPrefix = vocabulary::kSmbiosClassPrefix;
    if (className.size() < kPrefix.size() + 3 ||
        !equalsIgnoringAsciiCase(className.substr(0, kPrefix.size()), kPrefix))
        return std::nullopt;
    unsigned type = 0;
    for (char c : className.substr(kPrefix.size(), 3)) {
        if (c < '0' || c > '9') return std::nullopt;
        type = type * 10 + static_cast<unsigned>(c - '0');
    }
    return type;
}

// The next entry starts at one of the three markers.
std::size_t nextEntry(std::string_view text, std::size_t from) {
    std::size_t next = std::string_view::npos;
    for (const auto marker : {kNoSmbiosEntry, kNoDataEntry, kSkippedNameEntry}) {
        next = std::min(next, text.find(marker, from));
    }
    return next;
}

// The quoted part of an entry and where the entry ends.
std::pair<std::string_view, std::size_t> quoted(std::string_view text, std::size_t start) {
    const auto end = text.find(kEntryEnd, start);
    if (end == std::string_view::npos) {
        // Cut short: the rest is the quoted part.
        std::string_view rest = text.substr(start);
        if (rest.ends_with("\",") || rest.ends_with('"')) rest = rest.substr(0, rest.rfind('"'));
        return {rest, text.size()};
    }
    return {text.substr(start, end - start), end + kEntryEnd.size()};
}

}  // namespace

std::vector<std::string> explainErrors(std::string_view text) {
    std::vector<std::string> explained;
    bool noTable = false;
    std::vector<std::string> missingWmi;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.substr(at).starts_with(kNoSmbiosEntry)) {
            at += kNoSmbiosEntry.size();
            if (!noTable) {
                noTable = true;
                explained.emplace_back(
                    "no SMBIOS table: run with administrator rights (on Linux as root). Without "
                    "it the report has no memory slots, processor sockets, enclosure or "
                    "expansion slots; a virtual machine without firmware tables never has one");
            }
        } else if (text.substr(at).starts_with(kNoDataEntry)) {
            const auto [line, end] = quoted(text, at + kNoDataEntry.size());
            at = end;
            const std::string_view className = queriedClass(line);
            if (const auto type = tableType(className)) {
                if (noTable) continue;  // said once above
                const auto known =
                    std::find_if(kTableTypes.begin(), kTableTypes.end(),
                                 [&](const TableType& t) { return t.type == *type; });
                explained.push_back(known != kTableTypes.end()
                                        ? "the firmware table has " + std::string(known->text)
                                        : "the firmware table has no structure of type " +
                                              std::to_string(*type));
                continue;
            }
            const auto known = std::find_if(
                kWmiClasses.begin(), kWmiClasses.end(),
                [&](const Meaning& m) { return equalsIgnoringAsciiCase(m.className, className); });
            missingWmi.emplace_back(className);
            explained.push_back("the machine did not answer for " + std::string(className) + ": " +
                                (known != kWmiClasses.end()
                                     ? "the report has no " + std::string(known->text)
                                     : std::string("the report has nothing from it")));
        } else if (text.substr(at).starts_with(kSkippedNameEntry)) {
            const auto [name, end] = quoted(text, at + kSkippedNameEntry.size());
            at = end;
            explained.push_back("a class or property named \"" + std::string(name) +
                                "\" is not a usable XML name and was left out of the report");
        } else {
            const std::size_t next = nextEntry(text, at);
            const std::string_view other =
                trimmed(text.substr(at, next == std::string_view::npos ? next : next - at));
            if (!other.empty()) explained.push_back("other error text: " + std::string(other));
            at = next;
        }
    }
    // Every WMI class of the query list missing at once: WMI itself did not answer.
    const bool allWmi = std::all_of(
        vocabulary::kQueries.begin(), vocabulary::kQueries.end(), [&](const vocabulary::Query& q) {
            return q.source != vocabulary::QuerySource::Wmi ||
                   std::any_of(missingWmi.begin(), missingWmi.end(), [&](const std::string& c) {
                       return equalsIgnoringAsciiCase(c, q.wmiClass);
                   });
        });
    if (allWmi) {
        explained.insert(
            explained.begin(),
            "WMI answered nothing at all: the WMI service is stopped, damaged or "
            "refused the program; the report holds only what the firmware table gives");
    }
    // A text that repeats an entry says it once.
    std::vector<std::string> once;
    std::set<std::string, std::less<>> seen;
    for (auto& sentence : explained) {
        if (seen.insert(sentence).second) once.push_back(std::move(sentence));
    }
    return once;
}

}  // namespace gravelin::report
