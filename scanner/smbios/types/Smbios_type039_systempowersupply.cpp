// System power supply (type 39): the supply's identity, capacity, state and the probes and
// fan that watch it.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Characteristics bits, SMBIOS 3.8: 0 hot-replaceable .. 2 unplugged from the wall.
constexpr CodeText kFlags[] = {
    {0, "hot-replaceable, "},
    {1, "present, "},
    {2, "unplugged from the wall, "},
};

// Input voltage range switching (bits 3-6), SMBIOS 3.8: 1 Other .. 6 Not applicable.
constexpr CodeText kRanges[] = {
    {1, "Other"},       {2, "Unknown"},    {3, "Manual"},
    {4, "Auto-switch"}, {5, "Wide range"}, {6, "Not applicable"},
};

// Status (bits 7-9), SMBIOS 3.8: 1 Other .. 5 Critical.
constexpr CodeText kStatuses[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "OK"}, {4, "non-critical"}, {5, "Critical"},
};

// Power supply type (bits 10-13), SMBIOS 3.8: 1 Other .. 8 Regulator.
constexpr CodeText kTypes[] = {
    {1, "Other"},   {2, "Unknown"}, {3, "Linear"},    {4, "Switching"},
    {5, "Battery"}, {6, "UPS"},     {7, "Converter"}, {8, "Regulator"},
};

// Unlisted codes of the three sub-fields read "UNKNOWN"; bits 14-15 are not read.
std::string characteristicsText(std::uint16_t value) {
    return bitList(kFlags, value) +
           "Range=" + lookupCode(kRanges, (value >> 3) & 0x0FU, "UNKNOWN") +
           ", Status=" + lookupCode(kStatuses, (value >> 7) & 0x07U, "UNKNOWN") +
           ", Type=" + lookupCode(kTypes, (value >> 10) & 0x0FU, "UNKNOWN");
}

std::string powerText(std::uint16_t watts) {
    if (watts == 0x8000) return "N/A";
    return decimal(watts) + "W";
}

std::string handleText(std::uint16_t handle) {
    if (handle == 0xFFFF) return "N/A";
    return decimal(handle);
}

}  // namespace

void decodeType039SystemPowerSupply(const StructureView& s, const StringList& strings,
                                    const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.byteDecimal("PowerUnitGroup", 0x04);
    f.string("Location", 0x05);
    f.string("DeviceName", 0x06);
    f.string("Manufacturer", 0x07);
    f.string("SerialNumber", 0x08);
    f.string("AssetTagNumber", 0x09);
    f.string("ModelPartNumber", 0x0A);
    f.string("RevisionLevel", 0x0B);
    f.text("MaxPowerCapacity", 0x0C, powerText(s.u16(0x0C)));
    f.text("PowerSupplyCharacteristics", 0x0E, characteristicsText(s.u16(0x0E)));
    f.text("InputVoltageProbeHandle", 0x10, handleText(s.u16(0x10)));
    f.text("CoolingDeviceHandle", 0x12, handleText(s.u16(0x12)));
    f.text("InputCurrentProbeHandle", 0x14, handleText(s.u16(0x14)));
}

}  // namespace gravelin
