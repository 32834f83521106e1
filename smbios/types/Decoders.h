// One decoder per supported structure type, each in its own unit.
#pragma once

#include "smbios/Decoding.h"

namespace gravelin {

void decodeType017MemoryDevice(const StructureView& s, const StringList& strings,
                               const FieldSink& sink);

}  // namespace gravelin
