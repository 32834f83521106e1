// Memory device (type 17): one memory device or module socket.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Form factor, SMBIOS 3.8 and the two codes 3.9 adds: 0x01 Other .. 0x13 CSODIMM.
constexpr CodeText kFormFactors[] = {
    {0x01, "Other"},  {0x02, "Unknown"}, {0x03, "SIMM"},         {0x04, "SIP"},
    {0x05, "Chip"},   {0x06, "DIP"},     {0x07, "ZIP"},          {0x08, "Proprietary Card"},
    {0x09, "DIMM"},   {0x0A, "TSOP"},    {0x0B, "Row of chips"}, {0x0C, "RIMM"},
    {0x0D, "SODIMM"}, {0x0E, "SRIMM"},   {0x0F, "FB-DIMM"},      {0x10, "Die"},
    {0x11, "CAMM"},   {0x12, "CUDIMM"},  {0x13, "CSODIMM"},
};

// Memory type, SMBIOS 3.8 and the code 3.9 adds: 0x01 Other .. 0x25 MRDIMM; 0x15-0x17 are
// reserved.
constexpr CodeText kMemoryTypes[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "DRAM"},
    {0x04, "EDRAM"},
    {0x05, "VRAM"},
    {0x06, "SRAM"},
    {0x07, "RAM"},
    {0x08, "ROM"},
    {0x09, "FLASH"},
    {0x0A, "EEPROM"},
    {0x0B, "FEPROM"},
    {0x0C, "EPROM"},
    {0x0D, "CDRAM"},
    {0x0E, "3DRAM"},
    {0x0F, "SDRAM"},
    {0x10, "SGRAM"},
    {0x11, "RDRAM"},
    {0x12, "DDR"},
    {0x13, "DDR2"},
    {0x14, "DDR2 FB-DIMM"},
    {0x15, "Reserved"},
    {0x16, "Reserved"},
    {0x17, "Reserved"},
    {0x18, "DDR3"},
    {0x19, "FBD2"},
    {0x1A, "DDR4"},
    {0x1B, "LPDDR"},
    {0x1C, "LPDDR2"},
    {0x1D, "LPDDR3"},
    {0x1E, "LPDDR4"},
    {0x1F, "Logical non-volatile device"},
    {0x20, "HBM"},
    {0x21, "HBM2"},
    {0x22, "DDR5"},
    {0x23, "LPDDR5"},
    {0x24, "HBM3"},
    {0x25, "MRDIMM"},
};

// Type detail bits, SMBIOS 3.8: 0 Reserved .. 15 LRDIMM.
constexpr CodeText kTypeDetail[] = {
    {0, "Reserved (set to 0), "},
    {1, "Other, "},
    {2, "Unknown, "},
    {3, "Fast-paged, "},
    {4, "Static column, "},
    {5, "Pseudo-static, "},
    {6, "RAMBUS, "},
    {7, "Synchronous, "},
    {8, "CMOS, "},
    {9, "EDO, "},
    {10, "Window DRAM, "},
    {11, "Cache DRAM, "},
    {12, "Non-volatile, "},
    {13, "Registered (Buffered), "},
    {14, "Unbuffered (Unregistered), "},
    {15, "LRDIMM, "},
};

std::string sizeText(std::uint16_t size) {
    if (size == 0x0000) return "0 (No module installed)";
    if (size == 0xFFFF) return "Unknown memory size";
    if (size == 0x7FFF) return "See extended size";
    return decimal(size & 0x7FFFU) + ((size & 0x8000U) != 0 ? "kB" : "MB");
}

}  // namespace

void decodeType017MemoryDevice(const StructureView& s, const StringList& strings,
                               const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.wordDecimal("PhysicalMemoryArrayHandle", 0x04);
    f.wordDecimal("MemoryErrorInformationHandle", 0x06);
    f.wordDecimal("TotalWidth", 0x08, "bits");
    f.wordDecimal("DataWidth", 0x0A, "bits");
    f.text("Size", 0x0C, sizeText(s.u16(0x0C)));
    f.byteCode("FormFactor", 0x0E, kFormFactors);
    f.byteDecimal("DeviceSet", 0x0F);
    f.string("DeviceLocator", 0x10);
    f.string("BankLocator", 0x11);
    f.byteCode("MemoryType", 0x12, kMemoryTypes);
    f.text("TypeDetail", 0x13, bitList(kTypeDetail, s.u16(0x13)));
    f.wordDecimal("Speed", 0x15, "MHz");
    f.string("Manufacturer", 0x17);
    f.string("SerialNumber", 0x18);
    f.string("AssetTag", 0x19);
    f.string("PartNumber", 0x1A);
    f.text("AttributesRank", 0x1B, decimal(s.u8(0x1B) & 0x0FU));
    f.dwordSigned("ExtendedSize", 0x1C, "MB");
    f.wordDecimal("ConfiguredMemoryClockSpeed", 0x20, "MHz");
    f.wordDecimal("MinimumVoltage", 0x22, "mV");
    f.wordDecimal("MaximumVoltage", 0x24, "mV");
    f.wordDecimal("ConfiguredVoltage", 0x26, "mV");
}

}  // namespace gravelin
