// On-board devices (type 10): a list of two-byte entries, each a device kind with its
// enabled state and a description string.
#include <algorithm>

#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Device type (bits 0-6), SMBIOS 3.8: 0x01 Other .. 0x10 UFS Controller.
constexpr CodeText kDeviceTypes[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Video"},
    {0x04, "SCSI Controller"},
    {0x05, "Ethernet"},
    {0x06, "Token Ring"},
    {0x07, "Sound"},
    {0x08, "PATA Controller"},
    {0x09, "SATA Controller"},
    {0x0A, "SAS Controller"},
    {0x0B, "Wireless LAN"},
    {0x0C, "Bluetooth"},
    {0x0D, "WWAN"},
    {0x0E, "eMMC"},
    {0x0F, "NVMe Controller"},
    {0x10, "UFS Controller"},
};

std::string deviceTypeText(std::uint8_t entry) {
    return lookupCode(kDeviceTypes, entry & 0x7FU) +
           ((entry & 0x80U) != 0 ? " (Enabled)" : " (Disabled)");
}

}  // namespace

void decodeType010OnBoardDevice(const StructureView& s, const StringList& strings,
                                const FieldSink& sink) {
    // No Length guard: the formatted area after the header is the list, (Length - 4) / 2
    // entries (a trailing odd byte is ignored). An entry is reported only when both its
    // bytes lie inside the table as well, so a structure whose Length overstates the bytes
    // that are there yields no entry made up of zeros.
    const int byLength = (static_cast<int>(s.length()) - 4) / 2;
    const int byTable = s.available() >= 4 ? static_cast<int>((s.available() - 4) / 2) : 0;
    const int entries = std::min(byLength, byTable);
    for (int i = 0; i < entries; ++i) {
        const std::size_t offset = 4 + 2 * static_cast<std::size_t>(i);
        const std::string index = decimal(static_cast<std::uint64_t>(i)) + "]";
        sink("DeviceType[" + index, deviceTypeText(s.u8(offset)), "");
        sink("DescriptionString[" + index, lookupString(strings, s.u8(offset + 1)), "");
    }
}

}  // namespace gravelin
