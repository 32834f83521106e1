#include "scanner/platform/windows/WindowsPlatform.h"

#include <windows.h>
// After windows.h:
#include <shellapi.h>

#include <climits>

#include "scanner/platform/windows/ComHolders.h"
#include "scanner/platform/windows/WindowsWmi.h"

namespace gravelin {

namespace {

using windows::narrowBounded;
using windows::ScopedHandle;
using windows::ScopedKey;
using windows::widen;

constexpr DWORD kExecutablePathCapacity = 1024;  // UTF-16 code units

class WindowsFile final : public OutputFile {
public:
    explicit WindowsFile(HANDLE handle) : handle_(handle) {}

    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 20));
            DWORD written = 0;
            if (!::WriteFile(handle_.get(), bytes.data(), chunk, &written, nullptr) || written == 0)
                return false;
            bytes.remove_prefix(written);
        }
        return true;
    }

private:
    ScopedHandle handle_;
};

}  // namespace

WindowsPlatform::WindowsPlatform() : decimalSeparator_(windows::userDecimalSeparator()) {}

std::optional<std::vector<std::uint8_t>> WindowsPlatform::registryBinaryValue(
    std::string_view key, std::string_view valueName) {
    ScopedKey handle;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, widen(key).c_str(), 0, KEY_READ, handle.put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    const std::wstring name = widen(valueName);
    // The value may grow between asking its size and reading it: ask again a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        if (::RegQueryValueExW(handle.get(), name.c_str(), nullptr, nullptr, nullptr, &size) !=
            ERROR_SUCCESS)
            return std::nullopt;
        std::vector<std::uint8_t> data(size);
        DWORD read = size;
        const LONG status = ::RegQueryValueExW(handle.get(), name.c_str(), nullptr, nullptr,
                                               size != 0 ? data.data() : nullptr, &read);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) return std::nullopt;
        data.resize(std::min<std::size_t>(read, size));
        return data;
    }
    return std::nullopt;
}

std::vector<WmiObject> WindowsPlatform::wmiQueryClass(std::string_view wql) {
    return windows::queryWmiClass(wql);
}

WmiPropertyAnswer WindowsPlatform::wmiQueryProperty(std::string_view wmiNamespace,
                                                    std::string_view wql,
                                                    std::string_view property) {
    return windows::queryWmiProperty(wmiNamespace, wql, property);
}

void WindowsPlatform::shellOpen(std::string_view fileName) {
    (void)::ShellExecuteW(nullptr, L"open", widen(fileName).c_str(), nullptr, nullptr, SW_SHOW);
}

void WindowsPlatform::sleepMs(unsigned milliseconds) {
    ::Sleep(milliseconds);
}

std::unique_ptr<OutputFile> WindowsPlatform::createFile(std::string_view fileName) {
    // Opened without truncating and without following a reparse point (a symbolic link or a
    // junction is opened itself, not its target); emptied only once it is known to be a
    // plain file with no other name.
    ScopedHandle file(::CreateFileW(widen(fileName).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1 || !::SetEndOfFile(file.get()))
        return nullptr;
    return std::make_unique<WindowsFile>(file.release());
}

std::string WindowsPlatform::executablePath() {
    wchar_t buffer[kExecutablePathCapacity] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, kExecutablePathCapacity);
    // A longer path is cut to fit the buffer.
    return narrowBounded(buffer, std::min<DWORD>(length, kExecutablePathCapacity));
}

OsIdentity WindowsPlatform::osIdentity() {
    return windows::windowsIdentity();
}

std::optional<FileVersion> WindowsPlatform::fileVersion(std::string_view path) {
    return windows::fileVersionOf(path);
}

const AnsiCodePage& WindowsPlatform::ansiCodePage() {
    return codePage_;
}

std::string WindowsPlatform::decimalSeparator() {
    return decimalSeparator_;
}

}  // namespace gravelin
