// The Windows implementation of the platform: the registry, WMI, the shell, files, the
// version record and file version information, the ANSI code page and the user's locale.
#pragma once

#include <string>

#include "scanner/platform/Platform.h"
#include "scanner/platform/windows/WinText.h"

namespace gravelin {

class WindowsPlatform : public Platform {
public:
    // Reads the user's decimal separator once, at start-up.
    WindowsPlatform();

    std::optional<std::vector<std::uint8_t>> registryBinaryValue(
        std::string_view key, std::string_view valueName) override;
    std::vector<WmiObject> wmiQueryClass(std::string_view wql) override;
    WmiPropertyAnswer wmiQueryProperty(std::string_view wmiNamespace, std::string_view wql,
                                       std::string_view property) override;
    void shellOpen(std::string_view fileName) override;
    void sleepMs(unsigned milliseconds) override;
    std::unique_ptr<OutputFile> createFile(std::string_view fileName) override;
    std::string executablePath() override;
    OsIdentity osIdentity() override;
    std::optional<FileVersion> fileVersion(std::string_view path) override;
    const AnsiCodePage& ansiCodePage() override;
    std::string decimalSeparator() override;

private:
    std::string decimalSeparator_;
    windows::WindowsAnsiCodePage codePage_;
};

namespace windows {

// The version record as RtlGetVersion (or, failing that, GetVersionExW) fills it, and
// whether the operating system is 64-bit: a 64-bit process, or a 32-bit one under WOW64.
WindowsIdentity windowsIdentity();

// Whether the operating system is 64-bit (see windowsIdentity).
bool is64BitOperatingSystem();

// The fixed file information of a file's version resource; nothing when the file has no
// version information or its root block cannot be read.
std::optional<FileVersion> fileVersionOf(std::string_view path);

}  // namespace windows

}  // namespace gravelin
