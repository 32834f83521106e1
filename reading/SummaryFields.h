// The fields of every part of a summary, one table per part: the member's JSON name, its
// title, where it lives in the structure, its unit, the key the console's page reads and
// how plain text shows it. The JSON form (SummaryJson.cpp) is written and read from these
// tables alone, and plain text (Text.cpp) and the console's rows take their cells from them,
// so that a field added to a part is added in one place.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "reading/Summary.h"

namespace gravelin::report::fields {

// What a value is, for the outputs that format it.
enum class Unit {
    None,
    Count,         // a plain number
    BinaryBytes,   // memory, volumes: "16 GiB"
    DecimalBytes,  // disks, as their makers count: "500.1 GB"
    MHz,
    MTs,
};

// Where a field's value lives in its part.
template <typename Part>
using Member =
    std::variant<std::string Part::*, bool Part::*, std::uint32_t Part::*, std::uint64_t Part::*,
                 std::optional<std::uint32_t> Part::*, std::optional<std::uint64_t> Part::*>;

template <typename Part>
struct Field {
    const char* name;   // the JSON member
    const char* title;  // what people call it
    Member<Part> member;
    Unit unit = Unit::None;
    const char* console = nullptr;  // the key of the machine page's row; nullptr: not shown
    // Plain text: the cell's prefix ("serial "), or nullptr when the text table leaves the
    // field out, and what follows the value. Cells come in the table's order; a field with
    // no value gives an empty cell. A count is followed by its title as the noun
    // ("4 cores", "1 thread").
    const char* text = nullptr;
    const char* textAfter = "";
};

// The value of a field as a number, when it is one and is there.
template <typename Part>
std::optional<std::uint64_t> number(const Part& part, const Member<Part>& member) {
    return std::visit(
        [&](auto pointer) -> std::optional<std::uint64_t> {
            using T = std::remove_cvref_t<decltype(part.*pointer)>;
            if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
                return part.*pointer;
            } else if constexpr (std::is_same_v<T, std::optional<std::uint32_t>> ||
                                 std::is_same_v<T, std::optional<std::uint64_t>>) {
                if (!(part.*pointer)) return std::nullopt;
                return *(part.*pointer);
            } else {
                return std::nullopt;
            }
        },
        member);
}

// The value of a text field; empty for any other.
template <typename Part>
const std::string& text(const Part& part, const Member<Part>& member) {
    static const std::string none;
    const auto* pointer = std::get_if<std::string Part::*>(&member);
    return pointer ? part.**pointer : none;
}

// The machine, its operating system and the program that scanned it.
inline const std::array<Field<Summary>, 27> kSummary = {{
    {"maker", "Maker", &Summary::maker},
    {"model", "Model", &Summary::model},
    {"serialNumber", "Serial number", &Summary::serialNumber},
    {"uuid", "UUID", &Summary::uuid},
    {"productVersion", "Product version", &Summary::productVersion},
    {"boardMaker", "Board maker", &Summary::boardMaker},
    {"boardProduct", "Board", &Summary::boardProduct},
    {"boardVersion", "Board version", &Summary::boardVersion},
    {"boardSerial", "Board serial", &Summary::boardSerial},
    {"enclosureMaker", "Enclosure maker", &Summary::enclosureMaker},
    {"enclosureType", "Enclosure", &Summary::enclosureType},
    {"enclosureSerial", "Enclosure serial", &Summary::enclosureSerial},
    {"enclosureAssetTag", "Asset tag", &Summary::enclosureAssetTag},
    {"cores", "Cores", &Summary::cores, Unit::Count},
    {"threads", "Threads", &Summary::threads, Unit::Count},
    {"memoryBytes", "Memory", &Summary::memoryBytes, Unit::BinaryBytes},
    {"memoryModules", "Memory modules", &Summary::memoryModules, Unit::Count},
    {"memoryVisibleBytes", "Memory visible to the OS", &Summary::memoryVisibleBytes,
     Unit::BinaryBytes},
    {"diskBytes", "Disk space", &Summary::diskBytes, Unit::DecimalBytes},
    {"os", "Operating system", &Summary::os},
    {"osVersion", "OS version", &Summary::osVersion},
    {"osBuild", "OS build", &Summary::osBuild},
    {"osArchitecture", "OS architecture", &Summary::osArchitecture},
    {"osDescription", "Reported by the scanner", &Summary::osDescription},
    {"programName", "Program", &Summary::programName},
    {"programVersion", "Program version", &Summary::programVersion},
    {"errors", "Errors", &Summary::errors},
}};

inline const std::array<Field<ProcessorSummary>, 6> kProcessor = {{
    {"socket", "Socket", &ProcessorSummary::socket, Unit::None, "socket", ""},
    {"model", "Model", &ProcessorSummary::model, Unit::None, "model", ""},
    {"maker", "Maker", &ProcessorSummary::maker, Unit::None, "maker", ""},
    {"cores", "Cores", &ProcessorSummary::cores, Unit::Count, "cores", ""},
    {"threads", "Threads", &ProcessorSummary::threads, Unit::Count, "threads", ""},
    {"maxClockMHz", "Clock", &ProcessorSummary::maxClockMHz, Unit::MHz, "clock", "max "},
}};

// A slot is named by its locators together (slotName), and an empty one shows nothing else.
inline const std::array<Field<MemorySlotSummary>, 10> kMemorySlot = {{
    {"locator", "Slot", &MemorySlotSummary::locator, Unit::None, "locator"},
    {"bankLocator", "Bank", &MemorySlotSummary::bankLocator, Unit::None, "bank"},
    {"sizeBytes", "Size", &MemorySlotSummary::sizeBytes, Unit::BinaryBytes, "size", ""},
    {"type", "Type", &MemorySlotSummary::type, Unit::None, "type", ""},
    {"formFactor", "Form factor", &MemorySlotSummary::formFactor, Unit::None, "formFactor", ""},
    {"speedMTs", "Speed", &MemorySlotSummary::speedMTs, Unit::MTs, "speed", ""},
    {"maker", "Maker", &MemorySlotSummary::maker, Unit::None, "maker", ""},
    {"partNumber", "Part number", &MemorySlotSummary::partNumber, Unit::None, "partNumber", ""},
    {"serialNumber", "Serial number", &MemorySlotSummary::serialNumber, Unit::None, "serial",
     "serial "},
    {"empty", "Empty", &MemorySlotSummary::empty},
}};

inline const std::array<Field<DiskSummary>, 7> kDisk = {{
    {"deviceId", "Device", &DiskSummary::deviceId, Unit::None, "device", ""},
    {"model", "Model", &DiskSummary::model, Unit::None, "model", ""},
    {"interfaceType", "Interface", &DiskSummary::interfaceType, Unit::None, "interface", ""},
    {"sizeBytes", "Size", &DiskSummary::sizeBytes, Unit::DecimalBytes, "size", ""},
    {"serialNumber", "Serial number", &DiskSummary::serialNumber, Unit::None, "serial", "serial "},
    {"firmware", "Firmware", &DiskSummary::firmware, Unit::None, "firmware", "firmware "},
    {"pnpDeviceId", "Plug and Play ID", &DiskSummary::pnpDeviceId},
}};

// Plain text says how much is used before the drive type (Text.cpp adds it).
inline const std::array<Field<VolumeSummary>, 7> kVolume = {{
    {"deviceId", "Device", &VolumeSummary::deviceId, Unit::None, "device", ""},
    {"fileSystem", "File system", &VolumeSummary::fileSystem, Unit::None, "fileSystem", ""},
    {"volumeName", "Name", &VolumeSummary::volumeName, Unit::None, "name", "\"", "\""},
    {"sizeBytes", "Size", &VolumeSummary::sizeBytes, Unit::BinaryBytes, "size", ""},
    {"freeBytes", "Free", &VolumeSummary::freeBytes, Unit::BinaryBytes, "free", "", " free"},
    {"driveType", "Drive type", &VolumeSummary::driveType, Unit::None, "driveType", ""},
    {"volumeSerial", "Volume serial", &VolumeSummary::volumeSerial},
}};

inline const std::array<Field<ExpansionSlotSummary>, 3> kExpansionSlot = {{
    {"designation", "Slot", &ExpansionSlotSummary::designation, Unit::None, "designation", ""},
    {"type", "Type", &ExpansionSlotSummary::type, Unit::None, "type", ""},
    {"usage", "Usage", &ExpansionSlotSummary::usage, Unit::None, "usage", ""},
}};

inline const std::array<Field<ControllerSummary>, 5> kController = {{
    {"kind", "Kind", &ControllerSummary::kind, Unit::None, "kind", ""},
    {"name", "Name", &ControllerSummary::name, Unit::None, "name", ""},
    {"maker", "Maker", &ControllerSummary::maker, Unit::None, "maker", ""},
    {"deviceId", "Device", &ControllerSummary::deviceId, Unit::None, "device"},
    {"pnpDeviceId", "Plug and Play ID", &ControllerSummary::pnpDeviceId},
}};

// The lists of parts a summary holds, by JSON name, each with its table: call
// f(name, member, table) for each.
template <typename F>
void forEachList(F&& f) {
    f("processors", &Summary::processors, kProcessor);
    f("memory", &Summary::memory, kMemorySlot);
    f("disks", &Summary::disks, kDisk);
    f("volumes", &Summary::volumes, kVolume);
    f("slots", &Summary::slots, kExpansionSlot);
    f("controllers", &Summary::controllers, kController);
}

}  // namespace gravelin::report::fields
