// System identification (OS description, program version) and the round-up helper. The
// Windows-1252 code page is in shared/CodePage.h, which Platform.h brings in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "scanner/platform/Platform.h"

namespace gravelin {

// m + n - ((n - 1) rem m) - 1: the smallest multiple of m not below n, and m for n = 0.
std::int32_t roundUpToMultiple(std::int32_t n, std::int32_t m);

// The name of a Windows version by the decision table ("10", "Server 2008 R2", "Unknown").
std::string windowsVersionName(const WindowsVersionRecord& record);

// "Windows 10 Professional 64Bit  (build: 10.0.19045)" and the like; on Linux
// "Debian GNU/Linux 12 (bookworm) 64Bit (kernel: 6.1.0-18-amd64)".
std::string osDescription(const OsIdentity& identity);

// "1.2.3.4" from the fixed file information; "" when the file has none.
std::string programVersion(const std::optional<FileVersion>& version);

}  // namespace gravelin
