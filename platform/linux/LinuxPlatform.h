// The Linux implementation of the platform: the SMBIOS table from sysfs in the registry
// value's layout, WMI classes answered from procfs and sysfs, xdg-open for the browser.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"
#include "platform/linux/RootFs.h"
#include "platform/linux/wmi/LinuxSystem.h"

namespace gravelin {

class LinuxWmiProvider;

class LinuxPlatform : public Platform {
public:
    explicit LinuxPlatform(std::string root = "/");
    // Tests: a fixture tree and a description of the fixture machine.
    LinuxPlatform(std::string root, std::unique_ptr<LinuxSystem> system);
    ~LinuxPlatform() override;

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

    [[nodiscard]] const RootFs& fs() const { return fs_; }

private:
    RootFs fs_;
    std::unique_ptr<LinuxSystem> system_;
    std::string decimalSeparator_;
    std::unique_ptr<LinuxWmiProvider> wmi_;
};

// The raw SMBIOS value built from sysfs: an 8-byte header (calling method 0, major, minor,
// DMI revision, table length) followed by the table. Nothing when either file is missing.
std::optional<std::vector<std::uint8_t>> sysfsSmbiosValue(const RootFs& fs);

// The raw SMBIOS value built from an entry point and a table: the header's version bytes
// come from the entry point ("_SM3_", "_SM_" or "_DMI_").
std::vector<std::uint8_t> rawSmbiosValue(std::string_view entryPoint, std::string_view table);

// The decimal separator of the user's LC_NUMERIC locale (UTF-8), "." when there is none.
std::string localeDecimalSeparator();

// PRETTY_NAME from os-release text, unquoted; "" when absent.
std::string osReleasePrettyName(std::string_view osRelease);

}  // namespace gravelin
