// The single-property WMI query and the WMI source of the SMBIOS table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "scanner/platform/Platform.h"

namespace gravelin {

inline constexpr std::string_view kRawSmbiosNamespace = "ROOT\\wmi";
inline constexpr std::string_view kRawSmbiosQuery = "Select * from MSSmBios_RawSMBiosTables";

// The property of the first object the query returns, as text; "" when the value was an
// array of bytes copied into the destination (then recorded as the unit's table buffer);
// else one of the error texts ("Error at CoCreateInstance", ...). When the bytes are
// copied, `copied` receives their number (never more than the capacity).
std::string queryWmiProperty(Platform& platform, std::string_view wmiNamespace,
                             std::string_view query, std::string_view property,
                             std::uint8_t* destination = nullptr, std::size_t capacity = 0,
                             std::size_t* copied = nullptr);

bool readSmbiosFromWmi(Platform& platform, const std::uint8_t*& table, std::int32_t& length);
void freeWmiBuffer();
bool wmiBufferHeld();

}  // namespace gravelin
