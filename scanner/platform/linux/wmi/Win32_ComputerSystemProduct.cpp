// Win32_ComputerSystemProduct: the system's identity from /sys/class/dmi/id; the serial
// number and UUID only root may read (or take from the SMBIOS system structure, type 1).
#include <array>
#include <cstdio>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 8> kNames = {"Caption", "Description", "IdentifyingNumber",
                                                    "Name",    "SKUNumber",   "UUID",
                                                    "Vendor",  "Version"};

constexpr std::string_view kDmi = "/sys/class/dmi/id/";

std::string upperCased(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// The UUID of a type 1 structure, first three fields little-endian from SMBIOS 2.6 on.
std::optional<std::string> tableUuid(const SmbiosTable& table,
                                     const TableStructure& system) {
    const StructureView& view = system.view();
    if (!view.holds(0x08, 16)) return std::nullopt;
    std::array<std::uint8_t, 16> b{};
    for (std::size_t i = 0; i < 16; ++i) b[i] = view.u8(0x08 + i);
    const bool littleEndian =
        table.majorVersion() > 2 || (table.majorVersion() == 2 && table.minorVersion() >= 6);
    if (littleEndian) {
        std::swap(b[0], b[3]);
        std::swap(b[1], b[2]);
        std::swap(b[4], b[5]);
        std::swap(b[6], b[7]);
    }
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return std::string(text);
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kComputerSystemProduct = kNames;
}

std::vector<WmiObject> queryComputerSystemProduct(WmiContext& context) {
    const SmbiosTable* table = context.smbios();
    const auto systems = table ? table->ofType(1) : std::vector<const TableStructure*>{};
    const TableStructure* system = systems.empty() ? nullptr : systems.front();
    if (!context.fs().isDirectory("/sys/class/dmi/id") && system == nullptr) return {};

    const auto pick = [&](std::size_t offset, std::string_view file) {
        std::optional<std::string> fromTable;
        if (system) fromTable = nonEmpty(system->string(offset));
        return fromTable ? fromTable : context.value(std::string(kDmi) + std::string(file));
    };

    ObjectBuilder object("Win32_ComputerSystemProduct", kNames);
    object.set("Caption", "Computer System Product");
    object.set("Description", "Computer System Product");
    object.set("Name", optionalText(pick(0x05, "product_name")));
    object.set("Vendor", optionalText(pick(0x04, "sys_vendor")));
    object.set("Version", optionalText(pick(0x06, "product_version")));

    std::optional<std::string> serial = system ? nonEmpty(system->string(0x07)) : std::nullopt;
    if (!serial) serial = context.privilegedValue(std::string(kDmi) + "product_serial");
    object.set("IdentifyingNumber", optionalText(serial));

    std::optional<std::string> uuid = context.privilegedValue(std::string(kDmi) + "product_uuid");
    if (uuid) {
        uuid = upperCased(*uuid);
    } else if (system) {
        uuid = tableUuid(*table, *system);
    }
    object.set("UUID", optionalText(uuid));

    std::vector<WmiObject> objects;
    objects.push_back(object.take());
    return objects;
}

}  // namespace gravelin::linuxwmi
