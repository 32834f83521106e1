#include "scanner/platform/linux/TableFile.h"

#include <stdexcept>

#include "scanner/platform/linux/LinuxPlatform.h"
#include "scanner/smbios/Smbios.h"

namespace gravelin {

namespace {

std::uint64_t little(std::string_view bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(bytes[offset + i]))
                 << (8 * i);
    return value;
}

// The table an entry point announces, clamped to the bytes the file holds.
std::string_view announcedTable(std::string_view file, std::uint64_t address, std::uint64_t length,
                                const char* kind) {
    if (address >= file.size())
        throw std::runtime_error(std::string(kind) + " entry point puts the table at offset " +
                                 std::to_string(address) + ", past the end of the file (" +
                                 std::to_string(file.size()) + " bytes)");
    return file.substr(address, std::min<std::uint64_t>(length, file.size() - address));
}

}  // namespace

TableFile parseTableFile(std::string_view bytes) {
    if (bytes.starts_with("_SM3_")) {
        if (bytes.size() < 0x18) throw std::runtime_error("truncated _SM3_ entry point");
        const auto table =
            announcedTable(bytes, little(bytes, 0x10, 8), little(bytes, 0x0C, 4), "_SM3_");
        return {TableLayout::DumpBin, rawSmbiosValue(bytes.substr(0, 0x18), table)};
    }
    if (bytes.starts_with("_SM_")) {
        if (bytes.size() < 0x1F || bytes.substr(0x10, 5) != "_DMI_")
            throw std::runtime_error("truncated or malformed _SM_ entry point");
        const auto table =
            announcedTable(bytes, little(bytes, 0x18, 4), little(bytes, 0x16, 2), "_SM_");
        return {TableLayout::DumpBin, rawSmbiosValue(bytes.substr(0, 0x1F), table)};
    }
    if (bytes.starts_with("_DMI_")) {
        if (bytes.size() < 0x0F) throw std::runtime_error("truncated _DMI_ entry point");
        const auto table =
            announcedTable(bytes, little(bytes, 0x08, 4), little(bytes, 0x06, 2), "_DMI_");
        return {TableLayout::DumpBin, rawSmbiosValue(bytes.substr(0, 0x0F), table)};
    }
    // The registry layout: calling-method flag 0 or 1, a major version below 4 (where a
    // bare table has its first structure's Length, at least 4), a length that fits.
    if (bytes.size() >= 8 && static_cast<std::uint8_t>(bytes[0]) <= 1 &&
        static_cast<std::uint8_t>(bytes[1]) < 4) {
        const auto announced = little(bytes, 4, 4);
        // A length beyond the file is clamped to the delivered bytes, as the scanner does.
        if (announced == 0) throw std::runtime_error("registry header announces an empty table");
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        return {TableLayout::Registry, std::vector<std::uint8_t>(data, data + bytes.size())};
    }
    if (countWholeStructures({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}) ==
        0)
        throw std::runtime_error(
            "not an SMBIOS table: no entry point, no registry header and "
            "no whole structure at offset 0");
    return {TableLayout::Bare, rawSmbiosValue("", bytes)};
}

}  // namespace gravelin
