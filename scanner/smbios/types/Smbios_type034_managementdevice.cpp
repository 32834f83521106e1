// Management device (type 34): a hardware-monitoring chip and how it is addressed.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Device type, SMBIOS 3.8: 0x01 Other .. 0x0D Holtek HT82H791.
constexpr CodeText kDeviceTypes[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "National Semiconductor LM75"},
    {0x04, "National Semiconductor LM78"},
    {0x05, "National Semiconductor LM79"},
    {0x06, "National Semiconductor LM80"},
    {0x07, "National Semiconductor LM81"},
    {0x08, "Analog Devices ADM9240"},
    {0x09, "Dallas Semiconductor DS1780"},
    {0x0A, "Maxim 1617"},
    {0x0B, "Genesys GL518SM"},
    {0x0C, "Winbond W83781D"},
    {0x0D, "Holtek HT82H791"},
};

// Address type, SMBIOS 3.8: 0x01 Other .. 0x05 SM Bus.
constexpr CodeText kAddressTypes[] = {
    {0x01, "Other"}, {0x02, "Unknown"}, {0x03, "I/O Port"}, {0x04, "Memory"}, {0x05, "SM Bus"},
};

// Firmware of some boards writes Length 0x10 for this 0x0B-byte structure, so the first five
// bytes of the first string sit inside what Length claims as the formatted area and the string
// list starts five characters late ("2" for "LM78-2"). No layout of this type is 0x10 long:
// when those five bytes are printable text, they are put back in front of string 1.
std::string descriptionText(const StructureView& s, const StringList& strings) {
    const unsigned number = s.u8(0x04);
    std::string text = lookupString(strings, number);
    if (s.length() != 0x10 || number != 1 || strings.empty()) return text;
    const auto hidden = s.bytes(0x0B, 0x10 - 0x0B);
    if (hidden.size() != 0x10 - 0x0B) return text;
    for (const auto byte : hidden) {
        if (byte < 0x20 || byte > 0x7E) return text;
    }
    return std::string(hidden.begin(), hidden.end()) + text;
}

}  // namespace

void decodeType034ManagementDevice(const StructureView& s, const StringList& strings,
                                   const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.text("Description", 0x04, descriptionText(s, strings));
    f.byteCode("Type", 0x05, kDeviceTypes);
    f.text("Address", 0x06, hex(s.u32(0x06), 8));
    f.byteCode("ManagementDeviceAddressType", 0x0A, kAddressTypes);
}

}  // namespace gravelin
