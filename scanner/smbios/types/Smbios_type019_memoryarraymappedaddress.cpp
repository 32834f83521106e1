// Memory array mapped address (type 19): the range of physical addresses a memory array
// occupies.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Eight upper-case hex digits without "0x", in kilobytes; all bits set defers to the
// extended address.
std::string addressText(std::uint32_t address) {
    if (address == 0xFFFFFFFFU) return "See extended address";
    return hex(address, 8).substr(2);
}

}  // namespace

void decodeType019MemoryArrayMappedAddress(const StructureView& s, const StringList& strings,
                                           const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.text("StartingAddress", 0x04, addressText(s.u32(0x04)));
    f.text("EndingAddress", 0x08, addressText(s.u32(0x08)));
    f.wordDecimal("MemoryArrayHandle", 0x0C);
    f.byteDecimal("PartitionWidth", 0x0E);
    f.text("ExtendedStartingAddress", 0x0F, hex(s.u64(0x0F), 16));
    f.text("ExtendedEndingAddress", 0x17, hex(s.u64(0x17), 16));
}

}  // namespace gravelin
