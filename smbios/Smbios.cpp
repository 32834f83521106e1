#include "smbios/Smbios.h"

#include <array>

#include "smbios/Reg.h"
#include "wmi/Wmi.h"

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

std::int32_t readStringSet(std::span<const std::uint8_t> area, StringList& strings,
                           const AnsiCodePage& codePage) {
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
        strings.push_back(codePage.toUtf8(
            std::string_view(reinterpret_cast<const char*>(area.data() + start), pos - start)));
        ++pos;  // its terminating zero
    }
    if (pos >= area.size()) return -1;  // the closing empty string is missing
    return static_cast<std::int32_t>(pos);
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

// Steps through the table and calls visit(structure offset, string list) for every
// structure that lies wholly inside it. A structure cut off by the end of the table, or one
// whose Length is below the 4-byte header (the table is broken from there on), ends the
// walk unreported.
template <typename Visit>
void forEachStructure(std::span<const std::uint8_t> table, const AnsiCodePage& codePage,
                      Visit&& visit) {
    StringList strings;
    std::size_t offset = 0;
    while (offset < table.size()) {
        if (table.size() - offset < 4) break;
        const std::size_t length = table[offset + 1];
        if (length < 4 || length > table.size() - offset) break;
        const std::int32_t areaSize =
            readStringSet(table.subspan(offset + length), strings, codePage);
        if (areaSize < 0) break;
        visit(offset, strings);
        offset += length + static_cast<std::size_t>(areaSize) + 1;
    }
}

std::span<const std::uint8_t> SMBIOS::tableBytes() const {
    if (table_ == nullptr || tableLength_ <= 0) return {};
    return {table_, static_cast<std::size_t>(tableLength_)};
}

std::vector<unsigned> SMBIOS::typesPresent() const {
    std::array<bool, 256> seen{};
    const auto table = tableBytes();
    forEachStructure(table, platform_.ansiCodePage(),
                     [&](std::size_t offset, const StringList&) { seen[table[offset]] = true; });
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
    forEachStructure(
        table, platform_.ansiCodePage(), [&](std::size_t offset, const StringList& strings) {
            const std::uint8_t type = table[offset];
            if (typeFilter != 255 && typeFilter != type) return;
            std::string nodeName = "SMBIOS_Type_" + std::to_string(type) + "_";
            nodeName += smbiosTypeName(type);
            startObject(nodeName, instances[type]++);
            if (decodeStructure(StructureView(table.subspan(offset)), strings, addAttribute))
                ++count;
        });
    return count;
}

}  // namespace gravelin
