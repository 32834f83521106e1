// Cooling device (type 27): a fan, blower, heat pipe or the like, its probe, kind, status
// and nominal speed.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Device type (bits 0-4), SMBIOS 3.8: 0x01 Other .. 0x11 Passive Cooling.
constexpr CodeText kDeviceTypes[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Fan"},
    {0x04, "Centrifugal Blower"},
    {0x05, "Chip Fan"},
    {0x06, "Cabinet Fan"},
    {0x07, "Power Supply Fan"},
    {0x08, "Heat Pipe"},
    {0x09, "Integrated Refrigeration"},
    {0x10, "Active Cooling"},
    {0x11, "Passive Cooling"},
};

// Status (bits 5-7), SMBIOS 3.8: 1 Other .. 6 Non-recoverable (the temperature probe's
// status reads the same).
constexpr CodeText kStatuses[] = {
    {1, "Other"},        {2, "Unknown"},  {3, "OK"},
    {4, "Non-critical"}, {5, "Critical"}, {6, "Non-recoverable"},
};

// An unlisted type or status leaves its part empty; the ", " between them always stands.
std::string typeAndStatusText(std::uint8_t value) {
    return lookupCode(kDeviceTypes, value & 0x1FU, "") + ", " +
           lookupCode(kStatuses, value >> 5, "");
}

std::string speedText(std::uint16_t rpm) {
    if (rpm == 0x8000) return "Unknown / Not installed?";
    return decimal(rpm) + " rpm";
}

}  // namespace

void decodeType027CoolingDevice(const StructureView& s, const StringList& strings,
                                const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.wordDecimal("TemperatureProbeHandle", 0x04);
    f.text("DeviceTypeAndStatus", 0x06, typeAndStatusText(s.u8(0x06)));
    f.byteDecimal("CoolingUnitGroup", 0x07);
    f.text("OEMdefined", 0x08, hex(s.u32(0x08), 8));
    f.text("NominalSpeed", 0x0C, speedText(s.u16(0x0C)));
    f.string("Description", 0x0E);
}

}  // namespace gravelin
