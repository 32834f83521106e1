// Cache (type 7): one processor or system cache.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Location, configuration bits 5-6 (SMBIOS 3.8): 0 Internal .. 3 Unknown location.
constexpr const char* kLocations[] = {"Internal, ", "External, ", "Reserved location, ",
                                      "Unknown location, "};

// Operational mode, configuration bits 8-9 (SMBIOS 3.8): 0 Write Through .. 3 Unknown op. mode.
constexpr const char* kOperationalModes[] = {"Write Through, ", "Write Back, ",
                                             "Op. mode varies with Memory Address, ",
                                             "Unknown op. mode, "};

// SRAM type bits, SMBIOS 3.8: 0 Other .. 6 Asynchronous.
constexpr CodeText kSramTypeBits[] = {
    {0, "Other, "},          {1, "Unknown, "},     {2, "Non-Burst, "},    {3, "Burst, "},
    {4, "Pipeline Burst, "}, {5, "Synchronous, "}, {6, "Asynchronous, "},
};

// Error correction type, SMBIOS 3.8: 0x01 Other .. 0x06 Multi-bit ECC.
constexpr CodeText kErrorCorrectionTypes[] = {
    {0x01, "Other"},  {0x02, "Unknown"},        {0x03, "None"},
    {0x04, "Parity"}, {0x05, "Single-bit ECC"}, {0x06, "Multi-bit ECC"},
};

// System cache type, SMBIOS 3.8: 0x01 Other .. 0x05 Unified.
constexpr CodeText kSystemCacheTypes[] = {
    {0x01, "Other"}, {0x02, "Unknown"}, {0x03, "Instruction"}, {0x04, "Data"}, {0x05, "Unified"},
};

// Associativity, SMBIOS 3.8: 0x01 Other .. 0x0E 20-way Set-Associative (not in order of way count).
constexpr CodeText kAssociativities[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Direct Mapped"},
    {0x04, "2-way Set-Associative"},
    {0x05, "4-way Set-Associative"},
    {0x06, "Fully Associative"},
    {0x07, "8-way Set-Associative"},
    {0x08, "16-way Set-Associative"},
    {0x09, "12-way Set-Associative"},
    {0x0A, "24-way Set-Associative"},
    {0x0B, "32-way Set-Associative"},
    {0x0C, "48-way Set-Associative"},
    {0x0D, "64-way Set-Associative"},
    {0x0E, "20-way Set-Associative"},
};

std::string configurationText(std::uint16_t configuration) {
    std::string text = "Level " + decimal((configuration & 0x07U) + 1U) + ", ";
    text += (configuration & 0x08U) != 0 ? "Socketed, " : "Not socketed, ";
    text += kLocations[(configuration >> 5) & 0x03U];
    text += (configuration & 0x80U) != 0 ? "Enabled at boot-time, " : "Disabled at boot-time, ";
    text += kOperationalModes[(configuration >> 8) & 0x03U];
    return text;
}

// Bits 0-14 the number of units, bit 15 the granularity (1 kB or 64 kB units).
std::string sizeText(std::uint16_t size) {
    const std::uint32_t units = size & 0x7FFFU;
    return decimal((size & 0x8000U) != 0 ? units * 64U : units) + "k";
}

}  // namespace

void decodeType007Cache(const StructureView& s, const StringList& strings, const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("SocketDesignation", 0x04);
    f.text("CacheConfiguration", 0x05, configurationText(s.u16(0x05)));
    f.text("MaximumCacheSize", 0x07, sizeText(s.u16(0x07)));
    f.text("InstalledSize", 0x09, sizeText(s.u16(0x09)));
    // Only the low byte's bits 0-6 are named.
    f.text("SupportedSRAMType", 0x0B, bitList(kSramTypeBits, s.u16(0x0B) & 0x00FFU));
    f.text("CurrentSRAMType", 0x0D, bitList(kSramTypeBits, s.u16(0x0D) & 0x00FFU));
    f.byteDecimal("CacheSpeed", 0x0F, "ns");
    f.byteCode("ErrorCorrectionType", 0x10, kErrorCorrectionTypes);
    f.byteCode("SystemCacheType", 0x11, kSystemCacheTypes);
    f.byteCode("Associativity", 0x12, kAssociativities);
    // The 32-bit sizes of later layouts (0x13, 0x17) are not reported.
}

}  // namespace gravelin
