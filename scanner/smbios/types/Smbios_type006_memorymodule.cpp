// Memory module (type 6): one memory module socket of an older board.
#include "scanner/smbios/types/Decoders.h"
#include "scanner/smbios/types/MemoryModuleTypes.h"

namespace gravelin {

namespace {

// Installed or enabled size: bits 0-6 the size code (2 to the power n MB, or one of the
// three special codes), bit 7 the double-bank connection.
std::string moduleSizeText(std::uint8_t size) {
    const unsigned code = size & 0x7FU;
    std::string text;
    switch (code) {
        case 0x7D: text = "Not determinable (Installed Size only), "; break;
        case 0x7E: text = "Module is installed, but no memory has been enabled, "; break;
        case 0x7F: text = "Not installed, "; break;
        default: text = signedDecimal32(1U << (code % 32U)) + " MB, "; break;
    }
    text += (size & 0x80U) != 0 ? "double-banked" : "single-banked";
    return text;
}

std::string errorStatusText(std::uint8_t status) {
    if ((status & 0x04U) != 0) return "See event log";
    std::string text;
    if ((status & 0x02U) != 0) text += "Correctable errors detected! ";
    if ((status & 0x01U) != 0) text += "Uncorrectable errors detected! ";
    return text;
}

}  // namespace

void decodeType006MemoryModule(const StructureView& s, const StringList& strings,
                               const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("SocketDesignation", 0x04);
    f.byteHex("BankConnections", 0x05);
    f.byteDecimal("CurrentSpeed", 0x06, "ns");
    f.text("CurrentMemoryType", 0x07, bitList(kMemoryModuleTypeBits, s.u16(0x07)));
    f.text("InstalledSize", 0x09, moduleSizeText(s.u8(0x09)));
    f.text("EnabledSize", 0x0A, moduleSizeText(s.u8(0x0A)));
    f.text("ErrorStatus", 0x0B, errorStatusText(s.u8(0x0B)));
}

}  // namespace gravelin
