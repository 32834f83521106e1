// The version record, the 64-bit question and file version information.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "scanner/platform/windows/WinText.h"
#include "scanner/platform/windows/WindowsPlatform.h"

namespace gravelin::windows {

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);

// GetProcAddress' result as a typed function pointer.
template <class Fn>
Fn lookUp(const wchar_t* module, const char* name) {
    const HMODULE handle = ::GetModuleHandleW(module);
    if (handle == nullptr) return nullptr;
    const FARPROC address = ::GetProcAddress(handle, name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

WindowsVersionRecord recordFrom(const OSVERSIONINFOEXW& info) {
    WindowsVersionRecord record;
    record.major = info.dwMajorVersion;
    record.minor = info.dwMinorVersion;
    record.build = info.dwBuildNumber;
    record.platformId = info.dwPlatformId;
    record.servicePack = narrowBounded(info.szCSDVersion, std::size(info.szCSDVersion));
    record.suiteMask = info.wSuiteMask;
    record.productType = info.wProductType;
    return record;
}

}  // namespace

bool is64BitOperatingSystem() {
#if defined(_WIN64)
    return true;  // a 64-bit process runs only on a 64-bit system
#else
    const auto isWow64Process = lookUp<IsWow64ProcessFn>(L"kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &wow64) &&
           wow64 != FALSE;
#endif
}

WindowsIdentity windowsIdentity() {
    WindowsIdentity identity;
    identity.is64BitOs = is64BitOperatingSystem();

    const auto rtlGetVersion = lookUp<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
    if (rtlGetVersion == nullptr) {
        identity.source = WindowsIdentity::Source::NoRtlGetVersion;
        return identity;
    }
    RTL_OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;  // 284
    if (rtlGetVersion(&info) == 0) {
        identity.source = WindowsIdentity::Source::RtlGetVersion;
        identity.record = recordFrom(info);
        return identity;
    }
    OSVERSIONINFOEXW fallback{};
    fallback.dwOSVersionInfoSize = sizeof fallback;
    if (::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&fallback)) != 0) {
        identity.source = WindowsIdentity::Source::GetVersionEx;
        identity.record = recordFrom(fallback);
        return identity;
    }
    identity.source = WindowsIdentity::Source::Failed;
    return identity;
}

std::optional<FileVersion> fileVersionOf(std::string_view path) {
    const std::wstring file = widen(path);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<std::uint8_t> data(size);
    if (!::GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return std::nullopt;
    void* root = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", &root, &length) || root == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    // The block must lie inside the data that was read.
    const auto begin = reinterpret_cast<std::uintptr_t>(data.data());
    const auto block = reinterpret_cast<std::uintptr_t>(root);
    if (data.size() < sizeof(VS_FIXEDFILEINFO) || block < begin ||
        block - begin > data.size() - sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, root, sizeof info);
    return FileVersion{info.dwFileVersionMS, info.dwFileVersionLS};
}

}  // namespace gravelin::windows
