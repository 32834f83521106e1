// The walker's dispatch table: structure type -> decoder.
#include "smbios/Smbios.h"
#include "smbios/types/Decoders.h"

namespace gravelin {

Decoder decoderFor(unsigned type) {
    switch (type) {
        case 17: return decodeType017MemoryDevice;
        default: return nullptr;
    }
}

}  // namespace gravelin
