// The Linux implementation of the platform: the SMBIOS table from sysfs in the registry
// value's layout, WMI classes answered from procfs and sysfs, xdg-open for the browser.
#pragma once

#include <memory>
#include <string>

#include "scanner/platform/Platform.h"
#include "scanner/platform/linux/RootFs.h"
#include "scanner/platform/linux/wmi/LinuxSystem.h"

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
    std::string takeHandOffErrors() override;
    void sleepMs(unsigned milliseconds) override;
    std::unique_ptr<OutputFile> createFile(std::string_view fileName) override;
    std::string executablePath() override;
    OsIdentity osIdentity() override;
    std::optional<FileVersion> fileVersion(std::string_view path) override;
    const AnsiCodePage& ansiCodePage() override;
    std::string decimalSeparator() override;

    [[nodiscard]] const RootFs& fs() const { return fs_; }

    // For a user at a terminal, a line or two: where the page is (or why there is none),
    // whether a browser was asked to open it, and what to do when none was.
    [[nodiscard]] std::string handOffSummary() const;

private:
    // Notes why no browser was asked to open the page, for the terminal (with paths and what
    // to do instead, when that differs from opening the page elsewhere); a non-empty error
    // entry (without paths or names) also goes into the error text.
    void refuseBrowser(std::string why, std::string_view errorEntry = {}, std::string advice = {});

    RootFs fs_;
    std::unique_ptr<LinuxSystem> system_;
    std::string decimalSeparator_;
    std::unique_ptr<LinuxWmiProvider> wmi_;

    // The hand-off so far. The page: the absolute path of the last one written, and why the
    // last attempt to write one failed ("" when it succeeded).
    std::string pagePath_;
    std::string pageFailure_;
    // The browser: whether one was asked to open the page, or why not.
    bool browserAsked_ = false;
    std::string browserRefusal_;
    std::string browserAdvice_;
    bool pageFailureTaken_ = false;
    // Error text entries not yet taken.
    std::string handOffErrors_;
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
std::string osReleasePrettyName(std::string_view text);

}  // namespace gravelin
