// OEM strings (type 11): a count and the firmware maker's free-form strings.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

void decodeType011OemStrings(const StructureView& s, const StringList& strings,
                             const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.byteDecimal("Count: ", 0x04);
    if (f.stopped()) return;
    // The count byte, not the strings present, sets the list's length (at most 255
    // entries); a string the structure lacks gives an empty value.
    const unsigned count = s.u8(0x04);
    for (unsigned i = 0; i < count; ++i)
        f.emit("OEM String[" + decimal(i) + "]", lookupString(strings, i + 1));
}

}  // namespace gravelin
