// Helpers for the Windows platform's tests: a COM apartment for the test thread, variants
// and safe arrays built by hand, and a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h:
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

#include "scanner/platform/windows/WinText.h"

namespace gravelin::testing {

// The test program's main thread joins a single-threaded apartment, as the scanner's does.
class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override { initialised_ = SUCCEEDED(::CoInitialize(nullptr)); }
    void TearDown() override {
        if (initialised_) ::CoUninitialize();
    }

private:
    bool initialised_ = false;
};

// A variant that owns its contents.
class Variant {
public:
    Variant() { ::VariantInit(&v_); }
    ~Variant() { ::VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT& operator*() { return v_; }
    VARIANT* operator->() { return &v_; }

private:
    VARIANT v_;
};

inline BSTR bstr(const std::wstring& text) {
    return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// A one-dimensional SAFEARRAY of `type` with the given lower bound, filled by `put` for each
// index.
template <class Put>
SAFEARRAY* makeArray(VARTYPE type, LONG lowerBound, ULONG count, Put put) {
    SAFEARRAYBOUND bound{count, lowerBound};
    SAFEARRAY* array = ::SafeArrayCreate(type, 1, &bound);
    for (ULONG i = 0; i < count; ++i) {
        LONG index = lowerBound + static_cast<LONG>(i);
        put(array, index, i);
    }
    return array;
}

inline SAFEARRAY* bstrArray(const std::vector<std::wstring>& items, LONG lowerBound = 0) {
    return makeArray(VT_BSTR, lowerBound, static_cast<ULONG>(items.size()),
                     [&](SAFEARRAY* a, LONG index, ULONG i) {
                         BSTR s = bstr(items[i]);
                         ::SafeArrayPutElement(a, &index, s);  // copies the string
                         ::SysFreeString(s);
                     });
}

// A fresh directory under the temporary folder, removed with its files afterwards.
class ScratchDirectory {
public:
    ScratchDirectory() {
        wchar_t base[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, base);
        path_ = std::wstring(base) + L"gravelin-test-" + std::to_wstring(::GetCurrentProcessId()) +
                L"-" + std::to_wstring(counter()++);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchDirectory() { removeTree(path_); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    [[nodiscard]] std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    static void removeTree(const std::wstring& dir) {
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW((dir + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring full = dir + L"\\" + name;
                ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                    removeTree(full);
                } else if (!::DeleteFileW(full.c_str())) {
                    ::RemoveDirectoryW(full.c_str());  // a directory link
                }
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(dir.c_str());
    }

    std::wstring path_;
};

// A file's whole content, or nothing when it cannot be read.
inline std::optional<std::string> readFile(const std::wstring& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string content;
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) content.append(buffer, n);
    ::CloseHandle(file);
    return content;
}

inline bool writeFile(const std::wstring& path, const std::string& content) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok =
        ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &n, nullptr) &&
        n == content.size();
    ::CloseHandle(file);
    return ok;
}

}  // namespace gravelin::testing
