#include "scanner/smbios/Smbios.h"

#include <array>
#include <cstring>

#include "scanner/smbios/Reg.h"
#include "scanner/wmi/Wmi.h"
#include "shared/Vocabulary.h"

namespace gravelin {

std::string_view smbiosTypeName(unsigned type) {
    static constexpr std::array<std::string_view, 42> kNames = {
        "BIOS",  // 0
        "System",
        "BaseBoard",
        "SystemEnclosure",
        "Processor",
        "MemoryController(obsolete)",
        "MemoryModule(obsolete)",
        "Cache",
        "PortConnector",
        "SystemSlots",
        "OnBoardDevices(obsolete)",  // 10
        "OEMStrings",
        "SystemConfigurationOptions",
        "BIOSLanguage",
        "GroupAssociations",
        "SystemEventLog",
        "PhysicalMemoryArray",
        "MemoryDevice",
        "32-bitMemoryError",
        "MemoryArrayMappedAddress",
        "MemoryDeviceMappedAddress",  // 20
        "Built-inPointingDevice",
        "PortableBattery",
        "SystemReset",
        "HardwareSecurity",
        "SystemPowerControls",
        "VoltageProbe",
        "CoolingDevice",
        "TemperatureProbe",
        "ElectricalCurrentProbe",
        "Out-of-BandRemoteAccess",  // 30
        "BootIntegrityServicesEntryPoint",
        "SystemBoot",
        "64-bitMemoryError",
        "ManagementDevice",
        "ManagementDeviceComponent",
        "ManagementDeviceThresholdData",
        "MemoryChannel",
        "IPMIDevice",
        "SystemPowerSupply",
        "AdditionalInformation",              // 40
        "OnboardDevicesExtendedInformation",  // 41
    };
    if (type < kNames.size()) return kNames[type];
    if (type == 126) return "Inactive";
    if (type == 127) return "End-of-Table";
    if (type >= 128) return "OEM specific";
    return "UNKNOWN";  // 42-125
}

namespace {

// Fills the string list from the area, each string's bytes through `convert`.
template <typename Convert>
std::int32_t readStrings(std::span<const std::uint8_t> area, StringList& strings,
                         Convert&& convert) {
    strings.clear();
    if (area.empty()) return -1;
    if (area[0] == 0) {
        // No strings: the area is two zero bytes.
        return area.size() >= 2 ? 1 : -1;
    }
    std::size_t pos = 0;
    while (pos < area.size() && area[pos] != 0) {
        const std::size_t start = pos;
        while (pos < area.size() && area[pos] != 0) ++pos;
        if (pos >= area.size()) return -1;  // string runs past the end of the table
        strings.push_back(convert(
            std::string_view(reinterpret_cast<const char*>(area.data() + start), pos - start)));
        ++pos;  // its terminating zero
    }
    if (pos >= area.size()) return -1;  // the closing empty string is missing
    return static_cast<std::int32_t>(pos);
}

}  // namespace

std::int32_t readStringSet(std::span<const std::uint8_t> area, StringList& strings,
                           const AnsiCodePage& codePage) {
    return readStrings(area, strings, [&](std::string_view bytes) { return codePage.toUtf8(bytes); });
}

std::int32_t readRawStringSet(std::span<const std::uint8_t> area, StringList& strings) {
    return readStrings(area, strings, [](std::string_view bytes) { return std::string(bytes); });
}

std::int32_t stringAreaSize(std::span<const std::uint8_t> area) {
    if (area.empty()) return -1;
    if (area[0] == 0) return area.size() >= 2 ? 1 : -1;
    // The area ends at the first two zero bytes in a row (the last string's terminator and
    // the closing empty string); area[0] is not zero, so they lie at 1 or later.
    const std::uint8_t* const begin = area.data();
    const std::uint8_t* const end = begin + area.size();
    const std::uint8_t* zero = begin;
    while ((zero = static_cast<const std::uint8_t*>(
                std::memchr(zero + 1, 0, static_cast<std::size_t>(end - zero - 1)))) != nullptr) {
        if (zero + 1 == end) return -1;  // the closing empty string is missing
        if (zero[1] == 0) return static_cast<std::int32_t>(zero + 1 - begin);
    }
    return -1;  // a string runs past the end of the table
}

std::int32_t SMBIOS::load(std::int32_t requestCode) {
    release();
    const std::uint8_t* table = nullptr;
    std::int32_t length = 0;
    const bool registry = requestCode == 0 || requestCode == 1;
    const bool wmi = requestCode == 0 || requestCode == 2;
    if (registry && readSmbiosFromRegistry(platform_, table, length)) {
        source_ = kSourceRegistry;
    } else if (wmi && readSmbiosFromWmi(platform_, table, length)) {
        source_ = kSourceWmi;
    }
    if (source_ != kSourceNone) {
        table_ = table;
        tableLength_ = length;
    }
    return source_;
}

void SMBIOS::release() {
    if (source_ == kSourceRegistry) freeRegistryBuffer();
    if (source_ == kSourceWmi) freeWmiBuffer();
    table_ = nullptr;
    tableLength_ = 0;
    source_ = kSourceNone;
}

bool SMBIOS::decodeStructure(const StructureView& structure, const StringList& strings,
                             const AttributeCallback& addAttribute) const {
    const Decoder decoder = decoderFor(structure.type());
    if (decoder == nullptr) return false;
    const std::string& filter = fieldFilter_;
    const FieldSink sink = [&](std::string_view name, std::string_view value,
                               std::string_view unit) {
        if (filter == "*" || filter.find(name) != std::string::npos)
            addAttribute(name, value, unit);
    };
    decoder(structure, strings, sink);
    return true;
}

std::size_t countWholeStructures(std::span<const std::uint8_t> table) {
    std::size_t count = 0;
    forEachStructure(table, [&](std::size_t, std::size_t) { ++count; });
    return count;
}

EntryPointVersion entryPointVersion(std::string_view entryPoint) {
    const auto at = [&](std::size_t i) {
        return i < entryPoint.size() ? static_cast<std::uint8_t>(entryPoint[i]) : std::uint8_t{0};
    };
    EntryPointVersion version;
    if (entryPoint.starts_with("_SM3_")) {
        version = {at(7), at(8), at(9)};
    } else if (entryPoint.starts_with("_SM_")) {
        version = {at(6), at(7), at(10)};
    } else if (entryPoint.starts_with("_DMI_")) {
        version = {static_cast<std::uint8_t>(at(14) >> 4), static_cast<std::uint8_t>(at(14) & 0x0F),
                   0};
    }
    return version;
}

std::optional<std::string> TableStructure::string(std::size_t offset) const {
    const auto number = byte(offset);
    if (!number || *number == 0 || *number > strings_.size()) return std::nullopt;
    return strings_[*number - 1U];
}

StructureTable::StructureTable(std::span<const std::uint8_t> table) {
    forEachStructure(table, [&](std::size_t offset, std::size_t length) {
        StringList strings;
        readRawStringSet(table.subspan(offset + length), strings);
        structures_.emplace_back(table.subspan(offset), std::move(strings));
        return table[offset] != 127;
    });
}

std::vector<const TableStructure*> StructureTable::ofType(std::uint8_t type) const {
    std::vector<const TableStructure*> found;
    for (const auto& s : structures_) {
        if (s.type() == type) found.push_back(&s);
    }
    return found;
}

const TableStructure* StructureTable::byHandle(std::uint16_t handle) const {
    for (const auto& s : structures_) {
        if (s.handle() == handle) return &s;
    }
    return nullptr;
}

std::span<const std::uint8_t> SMBIOS::tableBytes() const {
    if (table_ == nullptr || tableLength_ <= 0) return {};
    return {table_, static_cast<std::size_t>(tableLength_)};
}

std::vector<unsigned> SMBIOS::typesPresent() const {
    std::array<bool, 256> seen{};
    const auto table = tableBytes();
    forEachStructure(table, [&](std::size_t offset, std::size_t) { seen[table[offset]] = true; });
    std::vector<unsigned> types;
    for (unsigned type = 0; type < seen.size(); ++type) {
        if (seen[type]) types.push_back(type);
    }
    return types;
}

std::int32_t SMBIOS::walk(std::int32_t typeFilter, std::string_view selectList,
                          const AttributeCallback& addAttribute,
                          const StartObjectCallback& startObject) {
    fieldFilter_ = std::string(selectList);
    std::array<std::int32_t, 256> instances{};
    std::int32_t count = 0;
    const auto table = tableBytes();
    const AnsiCodePage& codePage = platform_.ansiCodePage();
    StringList strings;
    forEachStructure(table, [&](std::size_t offset, std::size_t length) {
        const std::uint8_t type = table[offset];
        if (typeFilter != 255 && typeFilter != type) return;
        readStringSet(table.subspan(offset + length), strings, codePage);
        std::string nodeName =
            std::string(vocabulary::kSmbiosNodePrefix) + std::to_string(type) + "_";
        nodeName += smbiosTypeName(type);
        startObject(nodeName, instances[type]++);
        if (decodeStructure(StructureView(table.subspan(offset)), strings, addAttribute)) ++count;
    });
    return count;
}

}  // namespace gravelin
