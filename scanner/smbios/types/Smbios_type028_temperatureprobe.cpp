// Temperature probe (type 28): where the probe sits, its status, and its range, resolution,
// tolerance, accuracy and nominal reading.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Location (bits 0-4), SMBIOS 3.8: 0x01 Other .. 0x0F Drive Back Plane.
constexpr CodeText kLocations[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Processor"},
    {0x04, "Disk"},
    {0x05, "Peripheral Bay"},
    {0x06, "System Management Module"},
    {0x07, "Motherboard"},
    {0x08, "Memory Module"},
    {0x09, "Processor Module"},
    {0x0A, "Power Unit"},
    {0x0B, "Add-in Card"},
    {0x0C, "Front Panel Board"},
    {0x0D, "Back Panel Board"},
    {0x0E, "Power System Board"},
    {0x0F, "Drive Back Plane"},
};

// Status (bits 5-7), SMBIOS 3.8: 1 Other .. 6 Non-recoverable (the cooling device's
// status reads the same).
constexpr CodeText kStatuses[] = {
    {1, "Other"},        {2, "Unknown"},  {3, "OK"},
    {4, "Non-critical"}, {5, "Critical"}, {6, "Non-recoverable"},
};

// An unlisted location reads "Unknown", an unlisted status adds nothing after the ", ".
std::string locationAndStatusText(std::uint8_t value) {
    return lookupCode(kLocations, value & 0x1FU) + ", " + lookupCode(kStatuses, value >> 5, "");
}

// A signed 16-bit reading times its factor; 0x8000 means the firmware gives none.
std::string readingText(std::uint16_t raw, long double factor) {
    if (raw == 0x8000) return "Unknown";
    const auto value = static_cast<long double>(static_cast<std::int16_t>(raw)) * factor;
    return floating(static_cast<double>(value));
}

}  // namespace

void decodeType028TemperatureProbe(const StructureView& s, const StringList& strings,
                                   const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("Description", 0x04);
    f.text("LocationAndStatus", 0x05, locationAndStatusText(s.u8(0x05)));
    f.text("MaximumValue", 0x06, readingText(s.u16(0x06), 0.1L), "°C");
    f.text("MinimumValue", 0x08, readingText(s.u16(0x08), 0.1L), "°C");
    f.text("Resolution", 0x0A, readingText(s.u16(0x0A), 0.001L), "°C");
    f.text("Tolerance", 0x0C, readingText(s.u16(0x0C), 0.1L), "°C");
    f.text("Accuracy", 0x0E, readingText(s.u16(0x0E), 0.01L), "%");
    f.text("OEM-Defined", 0x10, hex(s.u32(0x10), 8));
    f.text("NominalValue", 0x14, readingText(s.u16(0x14), 0.1L), "°C");
}

}  // namespace gravelin
