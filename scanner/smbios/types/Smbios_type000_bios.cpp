// BIOS information (type 0): the firmware's vendor, version, date, ROM size and features.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// BIOS characteristics (SMBIOS 3.8), bits 0 .. 31; bits 32-63 belong to the firmware and
// system vendors.
constexpr CodeText kCharacteristics[] = {
    {0, "Reserved, "},
    {1, "Reserved, "},
    {2, "Unknown, "},
    {3, "BIOS Characteristics are not supported, "},
    {4, "ISA, "},
    {5, "MCA, "},
    {6, "EISA, "},
    {7, "PCI, "},
    {8, "PC card (PCMCIA), "},
    {9, "Plug&Play, "},
    {10, "APM, "},
    {11, "upgradeable (Flash), "},
    {12, "shadowing, "},
    {13, "VL-VESA, "},
    {14, "ESCD support, "},
    {15, "Boot from CD, "},
    {16, "Selectable boot, "},
    {17, "ROM is socketed, "},
    {18, "Boot from PC card (PCMCIA), "},
    {19, "EDD specification, "},
    {20, "Int 13h — Japanese floppy for NEC 9800 1.2 MB (3.5”, 1K bytes/sector, 360 RPM), "},
    {21, "Int 13h — Japanese floppy for Toshiba 1.2 MB (3.5”, 360 RPM), "},
    {22, "Int 13h — 5.25” / 360 KB floppy services, "},
    {23, "Int 13h — 5.25” /1.2 MB floppy services, "},
    {24, "Int 13h — 3.5” / 720 KB floppy services, "},
    {25, "Int 13h — 3.5” / 2.88 MB floppy services, "},
    {26, "Int 5h, print screen Service, "},
    {27, "Int 9h, 8042 keyboard services, "},
    {28, "Int 14h, serial services, "},
    {29, "Int 17h, printer services, "},
    {30, "Int 10h, CGA/Mono Video Services, "},
    {31, "NEC PC-98, "},
};

// Major and minor release bytes joined by a full stop; 255 (not supported) stays 255.
std::string releaseText(const StructureView& s, std::size_t majorOffset) {
    return decimal(s.u8(majorOffset)) + "." + decimal(s.u8(majorOffset + 1));
}

// ROM size in kB. Code 0xFF means 16 MB or more: the exact size then sits in the extended
// ROM size word at 0x18 (bits 15-14 the unit, 00 MB and 01 GB; bits 13-0 the amount) when the
// structure has it and firmware filled it in; otherwise the code's own 16384 kB stands.
std::string romSizeText(const StructureView& s) {
    const unsigned code = s.u8(0x09);
    if (code == 0xFF && s.length() > 0x19) {
        const std::uint16_t extended = s.u16(0x18);
        const std::uint64_t amount = extended & 0x3FFFU;
        const unsigned unit = extended >> 14;
        if (amount != 0 && unit <= 1) return decimal(amount * (unit == 0 ? 1024U : 1024U * 1024U));
    }
    return decimal((code + 1U) * 64U);
}

}  // namespace

void decodeType000Bios(const StructureView& s, const StringList& strings, const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("Vendor", 0x04);
    f.string("Version", 0x05);
    f.wordHex("StartingSegment", 0x06);
    f.string("ReleaseDate", 0x08);
    f.text("ROMSize", 0x09, romSizeText(s), "kB");
    f.text("Characteristics", 0x0A, bitList(kCharacteristics, s.u64(0x0A) & 0xFFFFFFFFU));
    f.byteHex("Characteristics extension", 0x12);
    // The second extension byte (0x13) has no field; both release fields guard on their
    // minor byte.
    f.text("Release", 0x15, releaseText(s, 0x14));
    f.text("EmbeddedFirmwareRelease", 0x17, releaseText(s, 0x16));
}

}  // namespace gravelin
