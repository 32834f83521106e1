// The report's vocabulary, the one place both halves take it from: the document's root and
// block names, the browser hand-off's addresses and form field, the error entries of the
// Application block, and the query list the scanner runs. The scanner writes these names and
// the reading side looks for them, so a change here reaches both at once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace gravelin::vocabulary {

// ---- The report document -------------------------------------------------------------------
// Node and attribute names are C strings: pugixml, which reads the report back, takes them so.

inline constexpr char kReportRoot[] = "HWInfo";
// Every class node holds one child per object: "i0", "i1", ...
inline constexpr std::string_view kInstancePrefix = "i";
inline constexpr char kFirstInstance[] = "i0";

// The block the scanner adds about itself, and its attributes.
inline constexpr char kApplicationBlock[] = "Application";
inline constexpr char kApplicationOs[] = "OS";
inline constexpr char kApplicationName[] = "Name";
inline constexpr char kApplicationVersion[] = "Version";
inline constexpr char kApplicationErrors[] = "Errors";

// SMBIOS structures become nodes "SMBIOS_Type_" + type + "_" + label.
inline constexpr std::string_view kSmbiosNodePrefix = "SMBIOS_Type_";
inline constexpr char kSmbiosBaseBoardNode[] = "SMBIOS_Type_2_BaseBoard";
inline constexpr char kSmbiosEnclosureNode[] = "SMBIOS_Type_3_SystemEnclosure";

// ---- The browser hand-off -------------------------------------------------------------------

// Paths on the result host: the form's action and the waiting page's image.
inline constexpr std::string_view kResultPath = "/kestal/scantest.php";
inline constexpr std::string_view kWaitingImagePath = "/kestal/loading-com.jpg";
// The one form field of the post: the sealed report.
inline constexpr std::string_view kResultField = "scanResult";

// ---- The error text (Application/Errors) ----------------------------------------------------
// Three kinds of entry, one after the other without separators:
//   kNoSmbiosEntry                                  no firmware table from either source
//   kNoDataEntry + query line + kEntryEnd           a query line no source answered
//   kSkippedNameEntry + name + kEntryEnd            a class or property name left out

inline constexpr std::string_view kNoSmbiosEntry = "Unable to query SMBIOS device data! ";
inline constexpr std::string_view kNoDataEntry = "No data found for \"";
inline constexpr std::string_view kSkippedNameEntry = "Skipped invalid XML name \"";
inline constexpr std::string_view kEntryEnd = "\", ";

// ---- WMI classes ----------------------------------------------------------------------------

inline constexpr char kWin32BaseBoard[] = "Win32_BaseBoard";
inline constexpr char kWin32Processor[] = "Win32_Processor";
inline constexpr char kWin32OperatingSystem[] = "Win32_OperatingSystem";
inline constexpr char kWin32PerfMemory[] = "Win32_PerfFormattedData_PerfOS_Memory";
inline constexpr char kWin32DiskDrive[] = "Win32_DiskDrive";
inline constexpr char kWin32LogicalDisk[] = "Win32_LogicalDisk";
inline constexpr char kWin32ComputerSystemProduct[] = "Win32_ComputerSystemProduct";
inline constexpr char kCimController[] = "CIM_Controller";
// The firmware table through WMI (namespace root\wmi), when the registry has none.
inline constexpr char kRawSmbiosTables[] = "MSSmBios_RawSMBiosTables";

// ---- The query list -------------------------------------------------------------------------

// Who answers a query: WMI, or the SMBIOS table by structure type.
enum class QuerySource { Wmi, Smbios };

struct Query {
    std::string_view group;  // the heading the query stands under
    QuerySource source;
    std::string_view wmiClass;  // the class queried ("SMBIOS_TypeNNN_Label" for the table)
    unsigned smbiosType;        // the structure type, for QuerySource::Smbios
};

// The scan's queries in order. Every one goes to WMI first (a Windows machine with an
// SMBIOS provider may answer the pseudo-classes), then to the table when it names a type.
inline constexpr std::array<Query, 15> kQueries{{
    {"System and baseboard", QuerySource::Wmi, kWin32BaseBoard, 0},
    {"System and baseboard", QuerySource::Smbios, "SMBIOS_Type002_Baseboard_Module", 2},
    {"System and baseboard", QuerySource::Smbios, "SMBIOS_Type003_SystemEnclosure", 3},
    {"System and baseboard", QuerySource::Smbios, "SMBIOS_Type004_Processor", 4},
    {"System and baseboard", QuerySource::Smbios, "SMBIOS_Type005_MemoryController", 5},
    {"System and baseboard", QuerySource::Smbios, "SMBIOS_Type006_MemoryModule", 6},
    {"System and baseboard", QuerySource::Smbios, "SMBIOS_Type017_MemoryDevice", 17},
    {"System and baseboard", QuerySource::Wmi, kWin32Processor, 0},
    {"Operating System", QuerySource::Wmi, kWin32OperatingSystem, 0},
    {"Performance", QuerySource::Wmi, kWin32PerfMemory, 0},
    {"Disk drives and partitions", QuerySource::Wmi, kWin32DiskDrive, 0},
    {"Disk drives and partitions", QuerySource::Wmi, kWin32LogicalDisk, 0},
    {"Disk drives and partitions", QuerySource::Smbios, "SMBIOS_Type009_SystemSlot", 9},
    {"Disk drives and partitions", QuerySource::Wmi, kWin32ComputerSystemProduct, 0},
    {"Disk drives and partitions", QuerySource::Wmi, kCimController, 0},
}};

// The query's line as the scanner runs it and names it in the error text.
inline constexpr std::string_view kSelectAllFrom = "SELECT * FROM ";
inline std::string queryLine(const Query& query) {
    std::string text(kSelectAllFrom);
    text += query.wmiClass;
    return text;
}

// A group's heading line in the scanner's list of lines.
inline constexpr std::string_view kCommentMark = "// ";

// The table's pseudo-classes are "SMBIOS_Type" + three digits of the type + "_" + label.
inline constexpr std::string_view kSmbiosClassPrefix = "SMBIOS_Type";

namespace detail {
constexpr bool namesItsSource(const Query& query) {
    const std::string_view name = query.wmiClass;
    const bool tableName = name.starts_with(kSmbiosClassPrefix);
    if (query.source == QuerySource::Wmi) return !tableName && query.smbiosType == 0;
    const std::size_t at = kSmbiosClassPrefix.size();
    if (!tableName || name.size() < at + 4 || name[at + 3] != '_') return false;
    unsigned type = 0;
    for (const char c : name.substr(at, 3)) {
        if (c < '0' || c > '9') return false;
        type = type * 10 + static_cast<unsigned>(c - '0');
    }
    return type == query.smbiosType;
}
}  // namespace detail

static_assert(std::all_of(kQueries.begin(), kQueries.end(), detail::namesItsSource),
              "an SMBIOS query's class names its type, a WMI query's class is no table's");

}  // namespace gravelin::vocabulary
