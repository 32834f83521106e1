// The registry source of the SMBIOS table: the raw SMBIOS value, an 8-byte header followed
// by the structure table.
#pragma once

#include <cstdint>

#include "scanner/platform/Platform.h"

namespace gravelin {

inline constexpr std::string_view kSmbiosRegistryKey =
    "SYSTEM\\CurrentControlSet\\Services\\mssmbios\\Data";
inline constexpr std::string_view kSmbiosRegistryValue = "SMBiosData";

bool readSmbiosFromRegistry(Platform& platform, const std::uint8_t*& table, std::int32_t& length);
void freeRegistryBuffer();

// Whether the registry unit currently holds a buffer.
bool registryBufferHeld();

}  // namespace gravelin
