// Portable battery (type 22): the battery's place, maker, chemistry, design figures and
// its Smart Battery Data details.
#include <cstdio>

#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Device chemistry, SMBIOS 3.8: 0x01 Other .. 0x08 Lithium Polymer.
constexpr CodeText kChemistries[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Lead Acid"},
    {0x04, "Nickel CadmiumP"},
    {0x05, "Nickel metal hydride"},
    {0x06, "Lithium-ion"},
    {0x07, "Zinc air"},
    {0x08, "Lithium Polymer"},
};

// The design capacity in mWh, scaled by the multiplier byte when the structure has one.
std::string capacityText(const StructureView& s) {
    const std::uint32_t multiplier = s.length() > 0x15 ? s.u8(0x15) : 1U;
    return decimal(static_cast<std::uint32_t>(s.u16(0x0A)) * multiplier) + " mWh";
}

std::string maximumErrorText(std::uint8_t percent) {
    if (percent == 0xFF) return "Unknown";
    return decimal(percent) + "%";
}

// Day in bits 0-4, month in bits 5-8, years since 1980 in bits 9-15; not range-checked.
std::string dateText(std::uint16_t packed) {
    if (packed == 0) return "Unknown";
    const unsigned day = packed & 0x1FU;
    const unsigned month = (packed >> 5) & 0x0FU;
    const unsigned year = 1980U + (packed >> 9);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02u.%02u.%04u (%u)", day, month, year,
                  static_cast<unsigned>(packed));
    return buffer;
}

}  // namespace

void decodeType022PortableBattery(const StructureView& s, const StringList& strings,
                                  const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("Location", 0x04);
    f.string("Manufacturer", 0x05);
    f.string("ManufactureDate", 0x06);
    f.string("SerialNumber", 0x07);
    f.string("DeviceName", 0x08);
    f.byteCode("DeviceChemistry", 0x09, kChemistries);
    f.text("DesignCapacity", 0x0A, capacityText(s));
    f.wordDecimal("DesignVoltage", 0x0C, "mV");
    f.string("SBDSVersionNumber", 0x0E);
    f.text("MaximumError", 0x0F, maximumErrorText(s.u8(0x0F)));
    f.wordDecimal("SBDSSerialNumber", 0x10);
    f.text("SBDSManufacturingDate", 0x12, dateText(s.u16(0x12)));
    f.string("SBDSDeviceChemistry", 0x14);
    f.text("OEMSpecific", 0x16, hex(s.u32(0x16), 8));
}

}  // namespace gravelin
