// System enclosure or chassis (type 3): the chassis's maker, kind, states, height, power
// cords, contained elements and SKU number.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Chassis type (SMBIOS 3.8; bits 0-6), 0x01 Other .. 0x24 Stick PC.
constexpr CodeText kChassisTypes[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Desktop"},
    {0x04, "Low Profile Desktop"},
    {0x05, "Pizza Box"},
    {0x06, "Mini Tower"},
    {0x07, "Tower"},
    {0x08, "Portable"},
    {0x09, "Laptop"},
    {0x0A, "Notebook"},
    {0x0B, "Hand Held"},
    {0x0C, "Docking Station"},
    {0x0D, "All in One"},
    {0x0E, "Sub Notebook"},
    {0x0F, "Space-saving"},
    {0x10, "Lunch Box"},
    {0x11, "Main Server Chassis"},
    {0x12, "Expansion Chassis"},
    {0x13, "SubChassis"},
    {0x14, "Bus Expansion Chassis"},
    {0x15, "Peripheral Chassis"},
    {0x16, "RAID Chassis"},
    {0x17, "Rack Mount Chassis"},
    {0x18, "Sealed-case PC"},
    {0x19, "Multi-system chassis"},
    {0x1A, "Compact PCI"},
    {0x1B, "Advanced TCA"},
    {0x1C, "Blade"},
    {0x1D, "Blade Enclosure"},
    {0x1E, "Tablet"},
    {0x1F, "Convertible"},
    {0x20, "Detachable"},
    {0x21, "IoT Gateway"},
    {0x22, "Embedded PC"},
    {0x23, "Mini PC"},
    {0x24, "Stick PC"},
};

// Boot-up, power supply and thermal state (SMBIOS 3.8), 0x01 Other .. 0x06 Non-recoverable.
constexpr CodeText kStates[] = {
    {0x01, "Other"},   {0x02, "Unknown"},  {0x03, "Safe"},
    {0x04, "Warning"}, {0x05, "Critical"}, {0x06, "Non-recoverable"},
};

// Security status (SMBIOS 3.8), 0x01 Other .. 0x05 External interface enabled.
constexpr CodeText kSecurityStatus[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "None"},
    {0x04, "External interface locked out"},
    {0x05, "External interface enabled"},
};

constexpr std::size_t kElements = 0x15;

std::string chassisTypeText(std::uint8_t code) {
    std::string text = lookupCode(kChassisTypes, code & 0x7FU);
    if ((code & 0x80U) != 0) text += " (chassis lock present)";
    return text;
}

}  // namespace

void decodeType003SystemEnclosure(const StructureView& s, const StringList& strings,
                                  const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("Manufacturer", 0x04);
    f.text("ChassisType", 0x05, chassisTypeText(s.u8(0x05)));
    f.string("Version", 0x06);
    f.string("SerialNumber", 0x07);
    f.string("AssetTag", 0x08);
    f.byteCode("BootupState", 0x09, kStates);
    f.byteCode("PowerSupplyState", 0x0A, kStates);
    f.byteCode("ThermalState", 0x0B, kStates);
    f.byteCode("SecurityStatus", 0x0C, kSecurityStatus);
    f.text("OEMdefined", 0x0D, hex(s.u32(0x0D), 8));
    f.byteDecimal("Height", 0x11, "x1,75\"");
    f.byteDecimal("NumberOfPowerCords", 0x12);
    f.byteDecimal("ContainedElementCount", 0x13);
    if (!f.reaches(0x14)) return;
    const std::size_t count = s.u8(0x13);
    const std::size_t recordLength = s.u8(0x14);
    f.emit("ContainedElementRecordLength", decimal(recordLength));
    // Only records that lie wholly inside the formatted area are shown: a count or record
    // length larger than the area holds would otherwise show the strings and the structures
    // that follow as elements.
    for (std::size_t i = 0; i < count && kElements + (i + 1) * recordLength <= s.length(); ++i) {
        f.emit("ContainedElements[" + decimal(i) + "]",
               hexBytes(s.bytes(kElements + i * recordLength, recordLength)));
    }
    f.string("SKUNumber", kElements + count * recordLength);
}

}  // namespace gravelin
