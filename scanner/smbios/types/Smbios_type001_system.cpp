// System information (type 1): the machine's maker, product, serial number, UUID and wake-up.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Wake-up type (SMBIOS 3.8), 0x00 Reserved .. 0x08 AC Power Restored.
constexpr CodeText kWakeupTypes[] = {
    {0x00, "Reserved"},     {0x01, "Other"},      {0x02, "Unknown"},
    {0x03, "APM Timer"},    {0x04, "Modem Ring"}, {0x05, "LAN Remote"},
    {0x06, "Power Switch"}, {0x07, "PCI PME#"},   {0x08, "AC Power Restored"},
};

}  // namespace

void decodeType001System(const StructureView& s, const StringList& strings, const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("Manufacturer", 0x04);
    f.string("ProductName", 0x05);
    f.string("Version", 0x06);
    f.string("SerialNumber", 0x07);
    // The sixteen bytes as stored: no byte swapping, no dashes.
    if (f.reaches(0x08)) {
        std::uint8_t uuid[16];
        for (std::size_t i = 0; i < 16; ++i) uuid[i] = s.u8(0x08 + i);
        f.emit("UUID", "0x" + hexBytes(uuid));
    }
    f.byteCode("WakeupType", 0x18, kWakeupTypes);
    f.string("SKUNumber", 0x19);
    f.string("Family", 0x1A);
}

}  // namespace gravelin
