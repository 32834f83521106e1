// Memory controller (type 5): an older board's memory controller, with the handles of the
// memory module structures it drives.
#include "scanner/smbios/types/Decoders.h"
#include "scanner/smbios/types/MemoryModuleTypes.h"

namespace gravelin {

namespace {

// Error detecting method, SMBIOS 3.8: 0x01 Other .. 0x08 CRC.
constexpr CodeText kErrorDetectingMethods[] = {
    {0x01, "Other"},      {0x02, "Unknown"},    {0x03, "None"},        {0x04, "8-bit Parity"},
    {0x05, "32-bit ECC"}, {0x06, "64-bit ECC"}, {0x07, "128-bit ECC"}, {0x08, "CRC"},
};

// Error correcting capability bits, SMBIOS 3.8: 0 Other .. 5 Error Scrubbing.
constexpr CodeText kErrorCorrectingBits[] = {
    {0, "Other, "},
    {1, "Unknown, "},
    {2, "None, "},
    {3, "Single-Bit Error Correcting, "},
    {4, "Double-Bit Error Correcting, "},
    {5, "Error Scrubbing, "},
};

// Interleave, SMBIOS 3.8: 0x01 Other .. 0x07 Sixteen-Way Interleave.
constexpr CodeText kInterleaves[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "One-Way Interleave"},
    {0x04, "Two-Way Interleave"},
    {0x05, "Four-Way Interleave"},
    {0x06, "Eight-Way Interleave"},
    {0x07, "Sixteen-Way Interleave"},
};

// Supported speeds bits, SMBIOS 3.8: 0 Other .. 4 50ns.
constexpr CodeText kSpeedBits[] = {
    {0, "Other, "}, {1, "Unknown, "}, {2, "70ns, "}, {3, "60ns, "}, {4, "50ns, "},
};

// Module voltage bits, SMBIOS 3.8: 0 5V .. 2 2.9V.
constexpr CodeText kVoltageBits[] = {
    {0, "5V, "},
    {1, "3.3V, "},
    {2, "2.9V, "},
};

constexpr std::size_t kHandleList = 0x0F;

// One past the structure's last byte: the end of its string area (the first two zero bytes
// at or after the formatted area), or the end of the table when the area does not end.
std::size_t structureEnd(const StructureView& s) {
    const std::size_t end = s.available();
    for (std::size_t i = s.length(); i + 1 < end; ++i) {
        if (s.u8(i) == 0 && s.u8(i + 1) == 0) return i + 2;
    }
    return end;
}

}  // namespace

void decodeType005MemoryController(const StructureView& s, const StringList& strings,
                                   const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.byteCode("ErrorDetectingMethod", 0x04, kErrorDetectingMethods);
    f.text("ErrorCorrectingCapability", 0x05, bitList(kErrorCorrectingBits, s.u8(0x05)));
    f.byteCode("SupportedInterleave", 0x06, kInterleaves);
    f.byteCode("CurrentInterleave", 0x07, kInterleaves);
    // 2 to the power n in 32-bit arithmetic, the shift count taken modulo 32.
    f.text("MaximumMemoryModuleSize", 0x08, signedDecimal32(1U << (s.u8(0x08) % 32U)), "MB");
    f.text("SupportedSpeeds", 0x09, bitList(kSpeedBits, s.u16(0x09)));
    f.text("SupportedMemoryTypes", 0x0B, bitList(kMemoryModuleTypeBits, s.u16(0x0B)));
    f.text("MemoryModuleVoltage", 0x0D, bitList(kVoltageBits, s.u8(0x0D)));
    const std::size_t count = s.u8(0x0E);
    f.byteDecimal("NumberOfAssociatedMemorySlots", 0x0E);
    if (f.stopped()) return;
    // The handles follow the count whatever Length says, but only as far as the structure
    // itself goes: a count larger than the structure never turns the string area's end or
    // the next structure's bytes into handles.
    const std::size_t end = structureEnd(s);
    for (std::size_t i = 0; i < count && kHandleList + 2 * i + 2 <= end; ++i) {
        f.emit("MemoryModuleConfigurationHandle[" + decimal(i) + "]",
               decimal(s.u16(kHandleList + 2 * i)));
    }
    const std::size_t enabled = kHandleList + 2 * count;
    f.text("EnabledErrorCorrectingCapabilities", enabled,
           bitList(kErrorCorrectingBits, s.u8(enabled)));
}

}  // namespace gravelin
