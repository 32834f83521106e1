// The memory types bit list shared by the memory controller (type 5) and the memory module
// (type 6) decoders.
#pragma once

#include "scanner/smbios/Decoding.h"

namespace gravelin {

// Memory type bits, SMBIOS 3.8: 0 Other .. 10 SDRAM; bits 11-15 add nothing.
inline constexpr CodeText kMemoryModuleTypeBits[] = {
    {0, "Other, "}, {1, "Unknown, "},   {2, "Standard, "}, {3, "Fast Page Mode, "},
    {4, "EDO, "},   {5, "Parity, "},    {6, "ECC, "},      {7, "SIMM, "},
    {8, "DIMM, "},  {9, "Burst EDO, "}, {10, "SDRAM, "},
};

}  // namespace gravelin
