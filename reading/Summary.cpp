// The summariser: reads the class nodes of a report into the Summary a technician reads.
//
// A report holds one node per class (WMI class names, SMBIOS nodes "SMBIOS_Type_17_..."),
// one child per object ("i0", "i1"...; the report writes new children in front of their
// siblings, so the objects are put back in index order here) and one attribute per property.
// Every value ends in a blank, or in " unit" for SMBIOS numbers with a unit ("2133 MHz").
#include "reading/Summary.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>
#include <map>
#include <set>

#include "reading/Placeholder.h"
#include "shared/Vocabulary.h"

namespace gravelin::report {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           equalsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

// A whole decimal number and nothing else; anything else (signs, fractions, overflow, words)
// is no value.
std::optional<std::uint64_t> number(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "2133 MHz", "32768 MB": the number before the given unit.
std::optional<std::uint64_t> numberWithUnit(std::string_view text, std::string_view unit) {
    text = trimmed(text);
    if (!endsWithIgnoringCase(text, unit)) return std::nullopt;
    return number(text.substr(0, text.size() - unit.size()));
}

std::optional<std::uint32_t> narrowed(std::optional<std::uint64_t> value) {
    if (!value || *value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

// Counts and clocks where 0 means "not given".
std::optional<std::uint32_t> positive(std::optional<std::uint64_t> value) {
    const auto narrow = narrowed(value);
    if (!narrow || *narrow == 0) return std::nullopt;
    return narrow;
}

std::optional<std::uint64_t> multiplied(std::optional<std::uint64_t> value, std::uint64_t factor) {
    if (!value || *value > std::numeric_limits<std::uint64_t>::max() / factor) return std::nullopt;
    return *value * factor;
}

// One object of a class node.
class Object {
public:
    explicit Object(pugi::xml_node node) : node_(node) {}
    [[nodiscard]] std::string text(const char* name) const {
        return std::string(trimmed(node_.attribute(name).value()));
    }
    [[nodiscard]] std::optional<std::uint64_t> number(const char* name) const {
        return report::number(node_.attribute(name).value());
    }
    [[nodiscard]] bool has(const char* name) const { return !node_.attribute(name).empty(); }

private:
    pugi::xml_node node_;
};

// "i12" -> 12; other names sort after every indexed object.
std::uint64_t objectIndex(const char* name) {
    if (name[0] != 'i') return std::numeric_limits<std::uint64_t>::max();
    return report::number(name + 1).value_or(std::numeric_limits<std::uint64_t>::max());
}

// The objects of every class node whose name matches, in object index order.
template <typename Match>
std::vector<Object> objectsOf(const pugi::xml_node& root, Match matches) {
    std::vector<std::pair<std::uint64_t, pugi::xml_node>> found;
    for (const auto& classNode : root.children()) {
        if (classNode.type() != pugi::node_element || !matches(std::string_view(classNode.name())))
            continue;
        for (const auto& object : classNode.children()) {
            if (object.type() == pugi::node_element)
                found.emplace_back(objectIndex(object.name()), object);
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Object> objects;
    objects.reserve(found.size());
    for (const auto& [index, node] : found) objects.emplace_back(node);
    return objects;
}

std::vector<Object> wmiClass(const pugi::xml_node& root, std::string_view name) {
    return objectsOf(root,
                     [name](std::string_view node) { return equalsIgnoringCase(node, name); });
}

// SMBIOS nodes are "SMBIOS_Type_" + type + "_" + the structure's label.
std::vector<Object> smbiosType(const pugi::xml_node& root, unsigned type) {
    const std::string prefix =
        std::string(vocabulary::kSmbiosNodePrefix) + std::to_string(type) + "_";
    return objectsOf(root, [&prefix](std::string_view node) { return node.starts_with(prefix); });
}

void fill(std::string& target, std::string value) {
    if (target.empty()) target = std::move(value);
}

template <typename T>
void fill(std::optional<T>& target, std::optional<T> value) {
    if (!target) target = value;
}

// JEDEC manufacturer codes as some firmware writes them in place of a name ("80AD000080AD",
// "00CE00B300CE", "859B"): the number of continuation codes (the bank), then the maker's
// code, each byte with its parity bit. The makers of most memory modules; others keep the code.
std::string jedecMaker(std::string_view text) {
    struct Maker {
        unsigned bank;  // continuation codes before the code
        unsigned code;  // without the parity bit
        const char* name;
    };
    static constexpr std::array<Maker, 12> kMakers{{
        {0, 0x2C, "Micron"},
        {0, 0x4E, "Samsung"},
        {0, 0x2D, "SK Hynix"},
        {0, 0x4F, "Transcend"},
        {0, 0x0B, "Nanya"},
        {1, 0x18, "Kingston"},
        {1, 0x7A, "Apacer"},
        {2, 0x1E, "Corsair"},
        {4, 0x4B, "A-DATA"},
        {4, 0x4D, "G.Skill"},
        {4, 0x6F, "Team Group"},
        {5, 0x1B, "Crucial"},
    }};
    text = trimmed(text);
    if (text.size() != 4 && text.size() != 12 && text.size() != 16) return {};
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    }
    unsigned bank = 0, code = 0;
    std::from_chars(text.data(), text.data() + 2, bank, 16);
    std::from_chars(text.data() + 2, text.data() + 4, code, 16);
    bank &= 0x7F;
    code &= 0x7F;
    for (const auto& maker : kMakers) {
        if (maker.bank == bank && maker.code == code) return maker.name;
    }
    return {};
}

std::string memoryMaker(std::string value) {
    if (auto name = jedecMaker(value); !name.empty()) return name;
    return value;
}

// Type 17 "Size": "8192MB", "512kB", "0 (No module installed)", "See extended size" (then
// "ExtendedSize" in MB), "Unknown memory size".
void readModuleSize(const Object& device, MemorySlotSummary& slot) {
    const std::string size = device.text("Size");
    if (size.starts_with("0 ") || size == "0MB" || size == "0kB") {
        slot.empty = true;
        return;
    }
    slot.empty = false;
    if (size == "See extended size") {
        slot.sizeBytes = multiplied(numberWithUnit(device.text("ExtendedSize"), "MB"), 1ULL << 20);
    } else if (auto mb = numberWithUnit(size, "MB")) {
        slot.sizeBytes = multiplied(mb, 1ULL << 20);
    } else if (auto kb = numberWithUnit(size, "kB")) {
        slot.sizeBytes = multiplied(kb, 1ULL << 10);
    }
    if (slot.sizeBytes && *slot.sizeBytes == 0) slot.sizeBytes.reset();
}

void readMemory(const pugi::xml_node& root, Summary& summary) {
    for (const auto& device : smbiosType(root, 17)) {
        MemorySlotSummary slot;
        slot.locator = device.text("DeviceLocator");
        slot.bankLocator = device.text("BankLocator");
        readModuleSize(device, slot);
        if (!slot.empty) {
            slot.type = device.text("MemoryType");
            slot.formFactor = device.text("FormFactor");
            slot.speedMTs = positive(numberWithUnit(device.text("Speed"), "MHz"));
            slot.maker = memoryMaker(device.text("Manufacturer"));
            slot.partNumber = device.text("PartNumber");
            slot.serialNumber = device.text("SerialNumber");
            ++summary.memoryModules;
            if (slot.sizeBytes) summary.memoryBytes += *slot.sizeBytes;
        }
        summary.memory.push_back(std::move(slot));
    }
}

// A type 4 count: the byte, or the word further on when the byte says so.
std::optional<std::uint32_t> processorCount(const Object& processor, const char* byteField,
                                            const char* wordField) {
    const std::string text = processor.text(byteField);
    if (text.starts_with("-->")) return positive(processor.number(wordField));
    return positive(report::number(text));
}

ProcessorSummary smbiosProcessor(const Object& processor) {
    ProcessorSummary summary;
    summary.model = processor.text("ProcessorVersion");
    summary.maker = processor.text("ProcessorManufacturer");
    summary.socket = processor.text("SocketDesignation");
    summary.cores = processorCount(processor, "CoreCount", "CoreCount2");
    summary.threads = processorCount(processor, "ThreadCount", "ThreadCount2");
    summary.maxClockMHz = positive(numberWithUnit(processor.text("MaxSpeed"), "MHz"));
    return summary;
}

void readProcessors(const pugi::xml_node& root, Summary& summary) {
    std::vector<ProcessorSummary> fromTable;
    for (const auto& processor : smbiosType(root, 4)) {
        // Empty sockets are no processor, nor are the sockets the firmware disabled (a
        // virtual machine's table lists every socket it could have, disabled).
        const std::string status = processor.text("Status");
        if (processor.has("Status") &&
            (!status.starts_with("Populated") || status.find("Disabled") != std::string::npos))
            continue;
        fromTable.push_back(smbiosProcessor(processor));
    }
    std::vector<bool> used(fromTable.size(), false);
    const auto wmi = wmiClass(root, vocabulary::kWin32Processor);
    for (std::size_t i = 0; i < wmi.size(); ++i) {
        ProcessorSummary processor;
        processor.model = wmi[i].text("Name");
        processor.maker = wmi[i].text("Manufacturer");
        processor.socket = wmi[i].text("SocketDesignation");
        processor.cores = positive(wmi[i].number("NumberOfCores"));
        processor.threads = positive(wmi[i].number("NumberOfLogicalProcessors"));
        processor.maxClockMHz = positive(wmi[i].number("MaxClockSpeed"));
        // The table's socket of the same name, else the table's processor at this place.
        std::size_t match = fromTable.size();
        for (std::size_t t = 0; t < fromTable.size(); ++t) {
            if (!used[t] && !processor.socket.empty() && fromTable[t].socket == processor.socket) {
                match = t;
                break;
            }
        }
        if (match == fromTable.size() && i < fromTable.size() && !used[i] &&
            (processor.socket.empty() || fromTable[i].socket.empty())) {
            match = i;
        }
        if (match < fromTable.size()) {
            used[match] = true;
            const auto& table = fromTable[match];
            fill(processor.model, table.model);
            fill(processor.maker, table.maker);
            fill(processor.socket, table.socket);
            fill(processor.cores, table.cores);
            fill(processor.threads, table.threads);
            fill(processor.maxClockMHz, table.maxClockMHz);
        }
        summary.processors.push_back(std::move(processor));
    }
    if (wmi.empty()) summary.processors = std::move(fromTable);
    for (const auto& processor : summary.processors) {
        summary.cores += processor.cores.value_or(0);
        summary.threads += processor.threads.value_or(0);
    }
}

// Type 1 UUID "0x44 45 4C 4C ...": from SMBIOS 2.6 on the first three fields are
// little-endian, as Windows and Linux read them.
std::string tableUuid(std::string_view text) {
    text = trimmed(text);
    if (!text.starts_with("0x")) return {};
    text.remove_prefix(2);
    std::array<unsigned, 16> bytes{};
    std::size_t count = 0;
    while (!text.empty() && count < bytes.size()) {
        text = trimmed(text);
        if (text.size() < 2) return {};
        const auto [end, ec] = std::from_chars(text.data(), text.data() + 2, bytes[count], 16);
        if (ec != std::errc() || end != text.data() + 2) return {};
        ++count;
        text.remove_prefix(2);
    }
    if (count != bytes.size() || !trimmed(text).empty()) return {};
    static constexpr std::array<int, 16> kOrder{3, 2, 1,  0,  5,  4,  7,  6,
                                                8, 9, 10, 11, 12, 13, 14, 15};
    std::string uuid;
    char digits[3];
    for (std::size_t i = 0; i < kOrder.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) uuid += '-';
        std::snprintf(digits, sizeof digits, "%02X",
                      bytes[static_cast<std::size_t>(kOrder[i])] & 0xFFU);
        uuid += digits;
    }
    return uuid;
}

void readMachine(const pugi::xml_node& root, Summary& summary) {
    for (const auto& product : wmiClass(root, vocabulary::kWin32ComputerSystemProduct)) {
        summary.maker = product.text("Vendor");
        summary.model = product.text("Name");
        summary.serialNumber = product.text("IdentifyingNumber");
        summary.uuid = product.text("UUID");
        summary.productVersion = product.text("Version");
        break;
    }
    // The scanner does not ask for type 1; a table decoded by the report tool may hold it.
    for (const auto& system : smbiosType(root, 1)) {
        fill(summary.maker, system.text("Manufacturer"));
        fill(summary.model, system.text("ProductName"));
        fill(summary.serialNumber, system.text("SerialNumber"));
        fill(summary.uuid, tableUuid(system.text("UUID")));
        fill(summary.productVersion, system.text("Version"));
        break;
    }
    for (const auto& board : wmiClass(root, vocabulary::kWin32BaseBoard)) {
        summary.boardMaker = board.text("Manufacturer");
        summary.boardProduct = board.text("Product");
        summary.boardVersion = board.text("Version");
        summary.boardSerial = board.text("SerialNumber");
        break;
    }
    for (const auto& board : smbiosType(root, 2)) {
        fill(summary.boardMaker, board.text("Manufacturer"));
        fill(summary.boardProduct, board.text("ProductName"));
        fill(summary.boardVersion, board.text("Version"));
        fill(summary.boardSerial, board.text("SerialNumber"));
        break;
    }
    for (const auto& enclosure : smbiosType(root, 3)) {
        summary.enclosureMaker = enclosure.text("Manufacturer");
        summary.enclosureType = enclosure.text("ChassisType");
        summary.enclosureSerial = enclosure.text("SerialNumber");
        summary.enclosureAssetTag = enclosure.text("AssetTag");
        break;
    }
}

void readOperatingSystem(const pugi::xml_node& root, Summary& summary) {
    for (const auto& os : wmiClass(root, vocabulary::kWin32OperatingSystem)) {
        summary.os = os.text("Caption");
        summary.osVersion = os.text("Version");
        summary.osBuild = os.text("BuildNumber");
        summary.osArchitecture = os.text("OSArchitecture");
        summary.memoryVisibleBytes =
            multiplied(os.number("TotalVisibleMemorySize"), 1024).value_or(0);
        break;
    }
    for (const auto& application : wmiClass(root, vocabulary::kApplicationBlock)) {
        summary.osDescription = application.text("OS");
        summary.programName = application.text("Name");
        summary.programVersion = application.text("Version");
        summary.errors = application.text("Errors");
        break;
    }
}

void readDisks(const pugi::xml_node& root, Summary& summary) {
    for (const auto& drive : wmiClass(root, vocabulary::kWin32DiskDrive)) {
        DiskSummary disk;
        disk.model = drive.text("Model");
        disk.serialNumber = drive.text("SerialNumber");
        disk.deviceId = drive.text("DeviceID");
        disk.interfaceType = drive.text("InterfaceType");
        disk.firmware = drive.text("FirmwareRevision");
        disk.pnpDeviceId = drive.text("PNPDeviceID");
        disk.sizeBytes = drive.number("Size");
        if (disk.sizeBytes) summary.diskBytes += *disk.sizeBytes;
        summary.disks.push_back(std::move(disk));
    }
    for (const auto& logical : wmiClass(root, vocabulary::kWin32LogicalDisk)) {
        VolumeSummary volume;
        volume.deviceId = logical.text("DeviceID");
        volume.fileSystem = logical.text("FileSystem");
        volume.volumeName = logical.text("VolumeName");
        volume.volumeSerial = logical.text("VolumeSerialNumber");
        volume.sizeBytes = logical.number("Size");
        volume.freeBytes = logical.number("FreeSpace");
        static constexpr std::array<const char*, 7> kDriveTypes{
            "Unknown", "No root directory", "Removable disk", "Local disk", "Network drive",
            "CD/DVD",  "RAM disk"};
        if (const auto type = logical.number("DriveType"); type && *type < kDriveTypes.size())
            volume.driveType = kDriveTypes[*type];
        summary.volumes.push_back(std::move(volume));
    }
}

void readSlots(const pugi::xml_node& root, Summary& summary) {
    for (const auto& slot : smbiosType(root, 9)) {
        ExpansionSlotSummary expansion;
        expansion.designation = slot.text("SlotDesignation");
        expansion.type = slot.text("SlotType");
        // The code table's pointer to the characteristics: nothing a reader can follow.
        if (const auto cut = expansion.type.find(" (see below)"); cut != std::string::npos)
            expansion.type.erase(cut);
        expansion.usage = slot.text("CurrentUsage");
        summary.slots.push_back(std::move(expansion));
    }
}

// The concrete classes that "SELECT * FROM CIM_Controller" yields. All objects of that query
// sit under one node named after the first object's class; each object names its own class
// in CreationClassName.
struct ControllerClass {
    std::string_view className, kind;
};
constexpr std::array<ControllerClass, 11> kControllerClasses{{
    {"Win32_USBController", "USB"},
    {"Win32_IDEController", "IDE/SATA"},
    {"Win32_SCSIController", "Storage"},
    {"Win32_VideoController", "Video"},
    {"Win32_SerialPort", "Serial port"},
    {"Win32_ParallelPort", "Parallel port"},
    {"Win32_1394Controller", "FireWire"},
    {"Win32_FloppyController", "Floppy"},
    {"Win32_PCMCIAController", "PCMCIA"},
    {"Win32_InfraredDevice", "Infrared"},
    {vocabulary::kCimController, "Controller"},
}};

std::string_view controllerKind(std::string_view className) {
    for (const auto& known : kControllerClasses) {
        if (equalsIgnoringCase(known.className, className)) return known.kind;
    }
    return {};
}

void readControllers(const pugi::xml_node& root, Summary& summary) {
    const auto objects = objectsOf(root, [](std::string_view node) {
        return !controllerKind(node).empty() ||
               (node.starts_with("Win32_") && endsWithIgnoringCase(node, "Controller"));
    });
    for (const auto& object : objects) {
        ControllerSummary controller;
        controller.name = object.text("Name");
        fill(controller.name, object.text("Caption"));
        const std::string className = object.text("CreationClassName");
        controller.kind = std::string(controllerKind(className));
        if (controller.kind.empty() && className.starts_with("Win32_"))
            controller.kind = className.substr(6);
        controller.deviceId = object.text("DeviceID");
        controller.pnpDeviceId = object.text("PNPDeviceID");
        if (controller.pnpDeviceId == controller.deviceId) controller.pnpDeviceId.clear();
        controller.maker = object.text("Manufacturer");
        summary.controllers.push_back(std::move(controller));
    }
}

}  // namespace

std::string humanSize(std::uint64_t bytes, SizeUnits units) {
    const bool binary = units == SizeUnits::Binary;
    const double step = binary ? 1024.0 : 1000.0;
    static constexpr std::array<const char*, 7> kBinary{"B",   "KiB", "MiB", "GiB",
                                                        "TiB", "PiB", "EiB"};
    static constexpr std::array<const char*, 7> kDecimal{"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= step && unit + 1 < kBinary.size()) {
        value /= step;
        ++unit;
    }
    char text[32];
    const char* name = binary ? kBinary[unit] : kDecimal[unit];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(bytes), name);
    } else if (value >= 100.0 || value == static_cast<double>(static_cast<std::uint64_t>(value))) {
        std::snprintf(text, sizeof text, "%.0f %s", value, name);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, name);
        // "16.0 GiB" reads as "16 GiB".
        std::string shown(text);
        if (const auto dot = shown.find(".0 "); dot != std::string::npos) shown.erase(dot, 2);
        return shown;
    }
    return text;
}

Summary summarise(const pugi::xml_document& report) {
    Summary summary;
    try {
        const pugi::xml_node root = report.document_element();
        if (!root) return summary;
        readMachine(root, summary);
        readProcessors(root, summary);
        readMemory(root, summary);
        readOperatingSystem(root, summary);
        if (summary.memoryBytes == 0) summary.memoryBytes = summary.memoryVisibleBytes;
        readDisks(root, summary);
        readSlots(root, summary);
        readControllers(root, summary);
        summary.errorsExplained = explainErrors(summary.errors);
    } catch (const std::bad_alloc&) {
        // Out of memory on a huge report: what was read so far stands.
    }
    return summary;
}

std::string slotName(const MemorySlotSummary& slot) {
    if (slot.locator.empty()) return slot.bankLocator;
    if (slot.bankLocator.empty() || slot.bankLocator == slot.locator) return slot.locator;
    return slot.locator + " / " + slot.bankLocator;
}

std::vector<std::string> serialNumbers(const Summary& summary) {
    std::vector<std::string> serials;
    std::set<std::string, std::less<>> seen;
    const auto add = [&](const std::string& value) {
        if (isPlaceholder(value) || seen.contains(value)) return;
        seen.insert(value);
        serials.push_back(value);
    };
    add(summary.serialNumber);
    add(summary.boardSerial);
    add(summary.enclosureSerial);
    add(summary.enclosureAssetTag);
    for (const auto& slot : summary.memory) add(slot.serialNumber);
    for (const auto& disk : summary.disks) add(disk.serialNumber);
    for (const auto& volume : summary.volumes) add(volume.volumeSerial);
    return serials;
}

namespace {

// Words that say "a revision follows" rather than name anything.
bool isRevisionWord(std::string_view word) {
    static constexpr std::string_view kWords[] = {"V", "VER", "VERSION", "REV", "REVISION", "R"};
    for (const auto w : kWords) {
        if (word == w) return true;
    }
    return false;
}

}  // namespace

std::string productName(const Summary& summary) {
    const std::string value = normalisedValue(summary.productVersion);
    if (value.empty() || isPlaceholder(value)) return {};
    if (value == normalisedValue(summary.model)) return {};
    // A name has a word of three letters or more that is not a revision word: "ThinkPad
    // T430", "IdeaPad 5 14ALC05", "Lenovo". "1.0", "V1.00", "Rev A01", "0B", "X1" have none.
    std::string word;
    bool named = false;
    const auto endWord = [&] {
        if (word.size() >= 3 && !isRevisionWord(word)) named = true;
        word.clear();
    };
    for (const char c : value) {
        if (c >= 'A' && c <= 'Z') {
            word += c;
        } else {
            endWord();
        }
    }
    endWord();
    if (!named) return {};
    // The value as the firmware wrote it, only trimmed.
    return std::string(trimmed(summary.productVersion));
}

}  // namespace gravelin::report
