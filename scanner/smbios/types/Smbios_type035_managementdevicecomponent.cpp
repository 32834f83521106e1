// Management device component (type 35): links a monitoring chip to the component it
// watches and to that component's thresholds.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

void decodeType035ManagementDeviceComponent(const StructureView& s, const StringList& strings,
                                            const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("Description", 0x04);
    f.wordDecimal("ManagementDeviceHandle", 0x05);
    f.wordDecimal("ComponentHandle", 0x07);
    f.wordDecimal("ThresholdHandle", 0x09);
}

}  // namespace gravelin
