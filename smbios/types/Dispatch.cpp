// The walker's dispatch table: structure type -> decoder.
#include "smbios/Smbios.h"
#include "smbios/types/Decoders.h"

namespace gravelin {

Decoder decoderFor(unsigned type) {
    switch (type) {
        case 5: return decodeType005MemoryController;
        case 6: return decodeType006MemoryModule;
        case 7: return decodeType007Cache;
        case 8: return decodeType008PortConnector;
        case 9: return decodeType009SystemSlot;
        case 17: return decodeType017MemoryDevice;
        default: return nullptr;
    }
}

}  // namespace gravelin
