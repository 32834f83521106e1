// The one narrow interface through which the portable core reaches the operating system.
// The core never includes an OS header; each platform (scanner/platform/linux, scanner/platform/windows)
// implements this class, and tests hand the core a fake.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "scanner/platform/WmiValue.h"
#include "shared/CodePage.h"

namespace gravelin {

// One object of a WMI class query: its class name and its properties in the order the
// provider lists them.
struct WmiObject {
    std::string className;
    std::vector<std::pair<std::string, WmiValue>> properties;
};

// The answer to a single-property query: either an error text of the WMI access steps
// ("Error at CoCreateInstance", ...) or the property's value.
struct WmiPropertyAnswer {
    std::string error;  // empty on success
    WmiValue value;
};

// Windows' extended version record, as far as the OS description uses it.
struct WindowsVersionRecord {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::uint32_t platformId = 0;
    std::string servicePack;  // UTF-8
    std::uint16_t suiteMask = 0;
    std::uint8_t productType = 0;
};

// What Windows tells about itself: the record and where it came from, and whether the
// operating system is 64-bit.
struct WindowsIdentity {
    enum class Source {
        RtlGetVersion,    // record filled by RtlGetVersion
        GetVersionEx,     // RtlGetVersion failed, GetVersionExW filled it
        NoRtlGetVersion,  // the routine does not exist
        Failed,           // both calls failed
    };
    Source source = Source::Failed;
    WindowsVersionRecord record;
    bool is64BitOs = false;
};

// What Linux tells about itself.
struct LinuxIdentity {
    std::string prettyName;     // PRETTY_NAME of os-release, empty when unknown
    bool is64BitOs = false;     // the running kernel's word size
    std::string kernelRelease;  // uname's release
};

using OsIdentity = std::variant<WindowsIdentity, LinuxIdentity>;

// The fixed part of a file's version information: two 32-bit words.
struct FileVersion {
    std::uint32_t high = 0;
    std::uint32_t low = 0;
};

// A file opened for writing bytes; closed on destruction.
class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual bool write(std::string_view bytes) = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // Registry, read-only: the bytes of a binary value under HKEY_LOCAL_MACHINE, or nothing
    // when the key or value cannot be read. The key is never created.
    [[nodiscard]] virtual std::optional<std::vector<std::uint8_t>> registryBinaryValue(
        std::string_view key, std::string_view valueName) = 0;

    // WMI class query in "root\cimv2": the objects the enumeration delivered, in order.
    // Failures give fewer (or no) objects, never an exception.
    [[nodiscard]] virtual std::vector<WmiObject> wmiQueryClass(std::string_view wql) = 0;

    // Single-property query: the named property of the first object the query returns.
    [[nodiscard]] virtual WmiPropertyAnswer wmiQueryProperty(std::string_view wmiNamespace,
                                                             std::string_view wql,
                                                             std::string_view property) = 0;

    // Shows a local file in the user's default browser; the result is not examined.
    virtual void shellOpen(std::string_view fileName) = 0;

    // Why the page file or the browser failed since the last call, as entries for the scan's
    // error text ("..., " each); empty when nothing did or the platform cannot tell.
    [[nodiscard]] virtual std::string takeHandOffErrors() { return {}; }

    virtual void sleepMs(unsigned milliseconds) = 0;

    // Opens a file in the current directory for writing bytes, created or emptied. Never
    // writes through a symbolic link. Nothing when the file cannot be opened now. (On Linux
    // an existing file is never written into: it is replaced when it is the user's own.)
    [[nodiscard]] virtual std::unique_ptr<OutputFile> createFile(std::string_view fileName) = 0;

    // Full path of the running program's executable (UTF-8).
    [[nodiscard]] virtual std::string executablePath() = 0;

    [[nodiscard]] virtual OsIdentity osIdentity() = 0;

    // Version information of a file; nothing when the file has none.
    [[nodiscard]] virtual std::optional<FileVersion> fileVersion(std::string_view path) = 0;

    // The machine's 8-bit code page (Windows' ANSI code page).
    [[nodiscard]] virtual const AnsiCodePage& ansiCodePage() = 0;

    // The user's decimal separator (UTF-8), as the locale says at start-up.
    [[nodiscard]] virtual std::string decimalSeparator() = 0;
};

}  // namespace gravelin
