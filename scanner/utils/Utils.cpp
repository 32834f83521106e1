#include "scanner/utils/Utils.h"

namespace gravelin {

std::int32_t roundUpToMultiple(std::int32_t n, std::int32_t m) {
    // C++ division truncates toward zero, as the formula wants.
    return m + n - ((n - 1) % m) - 1;
}

namespace {

constexpr std::uint32_t kWin32s = 0;
constexpr std::uint32_t kWindows9x = 1;
constexpr std::uint32_t kWindowsNt = 2;
constexpr std::uint8_t kWorkstation = 1;

std::string nt10Name(const WindowsVersionRecord& r) {
    // Windows 11 and the servers after 2016 still report 10.0; the build tells them apart.
    if (r.productType == kWorkstation) return r.build >= 22000 ? "11" : "10";
    if (r.build >= 26100) return "Server 2025";
    if (r.build == 20348) return "Server 2022";
    if (r.build == 17763) return "Server 2019";
    return "Server 2016";
}

std::string ntName(const WindowsVersionRecord& r) {
    const bool workstation = r.productType == kWorkstation;
    switch (r.major) {
        case 3: return "NT 3.51";
        case 4: return "NT 4.0";
        case 5:
            if (r.minor == 0) return r.build == 2195 ? "2000" : "Unknown";
            if (r.minor == 1) return (r.build == 2505 || r.build == 2600) ? "XP" : "Unknown";
            if (r.minor == 2) {
                if (r.suiteMask == 0x8000) return "Home Server";
                return workstation ? "XP x64 Edition" : "Server 2003";
            }
            return "Unknown";
        case 6:
            switch (r.minor) {
                case 0: return workstation ? "Vista" : "Server 2008";
                case 1: return workstation ? "7" : "Server 2008 R2";
                case 2: return workstation ? "8" : "Server 2012";
                case 3: return workstation ? "8.1" : "Server 2012 R2";
                default: return "Unknown";
            }
        case 10: return r.minor == 0 ? nt10Name(r) : "Unknown";
        default: return "Unknown";
    }
}

std::string win9xName(const WindowsVersionRecord& r) {
    if (r.major != 4) return "Unknown";
    const std::uint32_t build = r.build & 0xFFFF;
    switch (r.minor) {
        case 0:
            if (build == 951) return "95A (OSR 1.0)";
            if (build == 1111) return "95B (OSR 2.0)";
            return "95";
        case 3:
            if (build == 1212) return "95B (OSR 2.1)";
            if (build == 1214) return "95C (OSR 2.5)";
            return "95";
        case 10:
            if (build == 1998) return "98 (Final Release)";
            if (build == 2000 || build == 2222) return "98 (Second Edition)";
            return "98";
        case 90: return "ME";
        default: return "Unknown";
    }
}

std::string describe(const WindowsIdentity& w) {
    using Source = WindowsIdentity::Source;
    if (w.source == Source::NoRtlGetVersion) return "RtlGetVersion not supported";
    if (w.source == Source::Failed) return "UNKNOWN";
    const auto& r = w.record;
    const bool embedded = (r.suiteMask & 0x0040) != 0;
    return "Windows " + windowsVersionName(r) + (embedded ? " Embedded" : " Professional") + " " +
           (w.is64BitOs ? "64Bit" : "32Bit") + " " + r.servicePack +
           " (build: " + std::to_string(r.major) + "." + std::to_string(r.minor) + "." +
           std::to_string(r.build) + ")";
}

std::string describe(const LinuxIdentity& l) {
    return (l.prettyName.empty() ? std::string("Linux") : l.prettyName) + " " +
           (l.is64BitOs ? "64Bit" : "32Bit") + " (kernel: " + l.kernelRelease + ")";
}

}  // namespace

std::string windowsVersionName(const WindowsVersionRecord& r) {
    switch (r.platformId) {
        case kWin32s: return "3.1";
        case kWindows9x: return win9xName(r);
        case kWindowsNt: return ntName(r);
        default: return "Unknown";
    }
}

std::string osDescription(const OsIdentity& identity) {
    return std::visit([](const auto& id) { return describe(id); }, identity);
}

std::string programVersion(const std::optional<FileVersion>& version) {
    if (!version) return "";
    return std::to_string(version->high >> 16) + "." + std::to_string(version->high & 0xFFFF) +
           "." + std::to_string(version->low >> 16) + "." + std::to_string(version->low & 0xFFFF);
}

}  // namespace gravelin
