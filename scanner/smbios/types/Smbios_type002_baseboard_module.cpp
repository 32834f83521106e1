// Baseboard or module (type 2): the board's maker, product and serial number, its feature
// flags and type, and the handles of the objects on it.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Feature flags (SMBIOS 3.8), bits 0 .. 4; bits 5-7 are reserved.
constexpr CodeText kFeatureFlags[] = {
    {0, "Hosting board, "}, {1, "Daugther or aux board required, "},
    {2, "removable, "},     {3, "replaceable, "},
    {4, "hot swappable, "},
};

// Board type (SMBIOS 3.8), 0x01 Unknown .. 0x0D Interconnect board.
constexpr CodeText kBoardTypes[] = {
    {0x01, "Unknown"},
    {0x02, "Other"},
    {0x03, "Server Blade"},
    {0x04, "Connectivity Switch"},
    {0x05, "System Management Module"},
    {0x06, "Processor Module"},
    {0x07, "I/O Module"},
    {0x08, "Memory Module"},
    {0x09, "Daughter board"},
    {0x0A, "Motherboard (includes processor, memory, and I/O)"},
    {0x0B, "Processor/Memory Module"},
    {0x0C, "Processor/IO Module"},
    {0x0D, "Interconnect board"},
};

constexpr std::size_t kHandles = 0x0F;

}  // namespace

void decodeType002BaseboardModule(const StructureView& s, const StringList& strings,
                                  const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("Manufacturer", 0x04);
    f.string("ProductName", 0x05);
    f.string("Version", 0x06);
    f.string("SerialNumber", 0x07);
    f.string("AssetTag", 0x08);
    f.text("FeatureFlags", 0x09, bitList(kFeatureFlags, s.u8(0x09)));
    f.string("LocationInChassis", 0x0A);
    f.wordDecimal("ChassisHandle", 0x0B);
    f.byteCode("BoardType", 0x0D, kBoardTypes);
    if (!f.reaches(0x0E)) return;
    const unsigned count = s.u8(0x0E);
    f.emit("NoOfContainedObjectHandles", decimal(count));
    // The list ends with the formatted area: a count larger than the area holds would
    // otherwise turn the strings and the structures that follow into handles.
    for (unsigned i = 0; i < count && kHandles + 2 * (i + 1) <= s.length(); ++i) {
        f.emit("ContainedObjectHandle[" + decimal(i) + "]", decimal(s.u16(kHandles + 2 * i)));
    }
}

}  // namespace gravelin
