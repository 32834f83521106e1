// System slots (type 9): one expansion slot of the machine.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Slot type, SMBIOS 3.8: 0x00 None .. 0xC6 Enterprise and Datacenter E3 slot; 0x29-0x2F,
// 0x31-0x9F, 0xB7 and 0xC7-0xFF are unassigned.
constexpr CodeText kSlotTypes[] = {
    {0x00, "None"},
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "ISA"},
    {0x04, "MCA"},
    {0x05, "EISA"},
    {0x06, "PCI"},
    {0x07, "PC Card (PCMCIA)"},
    {0x08, "VL-VESA"},
    {0x09, "Proprietary"},
    {0x0A, "Processor Card Slot"},
    {0x0B, "Proprietary Memory Card Slot"},
    {0x0C, "I/O Riser Card Slot"},
    {0x0D, "NuBus"},
    {0x0E, "PCI – 66MHz Capable"},
    {0x0F, "AGP"},
    {0x10, "AGP 2X"},
    {0x11, "AGP 4X"},
    {0x12, "PCI-X"},
    {0x13, "AGP 8X"},
    {0x14, "M.2 Socket 1-DP (Mechanical Key A)"},
    {0x15, "M.2 Socket 1-SD (Mechanical Key E)"},
    {0x16, "M.2 Socket 2 (Mechanical Key B)"},
    {0x17, "M.2 Socket 3 (Mechanical Key M)"},
    {0x18, "MXM Type I"},
    {0x19, "MXM Type II"},
    {0x1A, "MXM Type III (standard connector)"},
    {0x1B, "MXM Type III (HE connector)"},
    {0x1C, "MXM Type IV"},
    {0x1D, "MXM 3.0 Type A"},
    {0x1E, "MXM 3.0 Type B"},
    {0x1F, "PCI Express Gen 2 SFF-8639"},
    {0x20, "PCI Express Gen 3 SFF-8639"},
    {0x21, "PCI Express Mini 52-pin with bottom-side keep-outs"},
    {0x22, "PCI Express Mini 52-pin without bottom-side keep-outs"},
    {0x23, "PCI Express Mini 76-pin"},
    {0x24, "PCI Express Gen 4 SFF-8639"},
    {0x25, "PCI Express Gen 5 SFF-8639"},
    {0x26, "OCP NIC 3.0 Small Form Factor (SFF)"},
    {0x27, "OCP NIC 3.0 Large Form Factor (LFF)"},
    {0x28, "OCP NIC Prior to 3.0"},
    {0x30, "CXL Flexbus 1.0"},
    {0xA0, "PC-98/C20"},
    {0xA1, "PC-98/C24"},
    {0xA2, "PC-98/E"},
    {0xA3, "PC-98/Local Bus"},
    {0xA4, "PC-98/Card"},
    {0xA5, "PCI Express (see below)"},
    {0xA6, "PCI Express x1"},
    {0xA7, "PCI Express x2"},
    {0xA8, "PCI Express x4"},
    {0xA9, "PCI Express x8"},
    {0xAA, "PCI Express x16"},
    {0xAB, "PCI Express Gen 2 (see below)"},
    {0xAC, "PCI Express Gen 2 x1"},
    {0xAD, "PCI Express Gen 2 x2"},
    {0xAE, "PCI Express Gen 2 x4"},
    {0xAF, "PCI Express Gen 2 x8"},
    {0xB0, "PCI Express Gen 2 x16"},
    {0xB1, "PCI Express Gen 3 (see below)"},
    {0xB2, "PCI Express Gen 3 x1"},
    {0xB3, "PCI Express Gen 3 x2"},
    {0xB4, "PCI Express Gen 3 x4"},
    {0xB5, "PCI Express Gen 3 x8"},
    {0xB6, "PCI Express Gen 3 x16"},
    {0xB8, "PCI Express Gen 4 (see below)"},
    {0xB9, "PCI Express Gen 4 x1"},
    {0xBA, "PCI Express Gen 4 x2"},
    {0xBB, "PCI Express Gen 4 x4"},
    {0xBC, "PCI Express Gen 4 x8"},
    {0xBD, "PCI Express Gen 4 x16"},
    {0xBE, "PCI Express Gen 5 (see below)"},
    {0xBF, "PCI Express Gen 5 x1"},
    {0xC0, "PCI Express Gen 5 x2"},
    {0xC1, "PCI Express Gen 5 x4"},
    {0xC2, "PCI Express Gen 5 x8"},
    {0xC3, "PCI Express Gen 5 x16"},
    {0xC4, "PCI Express Gen 6 and Beyond"},
    {0xC5, "Enterprise and Datacenter 1U E1 Form Factor Slot (EDSFF E1.S, E1.L)"},
    {0xC6, "Enterprise and Datacenter 3\" E3 Form Factor Slot (EDSFF E3.S, E3.L)"},
};

// Slot data bus width, SMBIOS 3.8: 0x00 None .. 0x0E 32x or x32.
constexpr CodeText kDataBusWidths[] = {
    {0x00, "None"},       {0x01, "Other"},      {0x02, "Unknown"},    {0x03, "8 bit"},
    {0x04, "16 bit"},     {0x05, "32 bit"},     {0x06, "64 bit"},     {0x07, "128 bit"},
    {0x08, "1x or x1"},   {0x09, "2x or x2"},   {0x0A, "4x or x4"},   {0x0B, "8x or x8"},
    {0x0C, "12x or x12"}, {0x0D, "16x or x16"}, {0x0E, "32x or x32"},
};

// Current usage, SMBIOS 3.8: 0x01 Other .. 0x05 Unavailable.
constexpr CodeText kCurrentUsages[] = {
    {0x01, "Other"},  {0x02, "Unknown"},     {0x03, "Available"},
    {0x04, "In use"}, {0x05, "Unavailable"},
};

// Slot length, SMBIOS 3.8: 0x01 Other .. 0x06 3.5" drive form factor.
constexpr CodeText kSlotLengths[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Short Length"},
    {0x04, "Long Length"},
    {0x05, "2.5\" drive form factor"},
    {0x06, "3.5\" drive form factor"},
};

}  // namespace

void decodeType009SystemSlot(const StructureView& s, const StringList& strings,
                             const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("SlotDesignation", 0x04);
    f.byteCode("SlotType", 0x05, kSlotTypes);
    f.byteCode("SlotDataBusWidth", 0x06, kDataBusWidths);
    f.byteCode("CurrentUsage", 0x07, kCurrentUsages);
    f.byteCode("SlotLength", 0x08, kSlotLengths);
    f.wordDecimal("SlotID", 0x09);
    // The characteristics bytes are reported as plain numbers, not as flag lists.
    f.byteDecimal("SlotCharacteristics1", 0x0B);
    f.byteDecimal("SlotCharacteristics2", 0x0C);
    f.wordDecimal("SegmentGroupNumber", 0x0D);
    f.byteDecimal("BusNumber", 0x0F);
    // Device number (bits 3-7) and function number (bits 0-2) as one byte.
    f.byteDecimal("DeviceFunctionNumber", 0x10);
}

}  // namespace gravelin
