#include "scanner/platform/windows/WinText.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

namespace gravelin::windows {

namespace {

int checkedLength(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX / 4))
        throw std::length_error("text too long for conversion");
    return static_cast<int>(size);
}

// 8-bit text in `codePage` -> UTF-16.
std::wstring toWide(UINT codePage, std::string_view bytes) {
    if (bytes.empty()) return {};
    const int length = checkedLength(bytes.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<std::size_t>(needed), L'\0');
    const int written =
        ::MultiByteToWideChar(codePage, 0, bytes.data(), length, out.data(), needed);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

// UTF-16 -> 8-bit text in `codePage`; the code page's default character for what it lacks.
std::string fromWide(UINT codePage, std::wstring_view text) {
    if (text.empty()) return {};
    const int length = checkedLength(text.size());
    const int needed =
        ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    const int written = ::WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), needed,
                                              nullptr, nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

}  // namespace

std::wstring widen(std::string_view utf8) {
    return toWide(CP_UTF8, utf8);
}

std::string narrow(std::wstring_view utf16) {
    return fromWide(CP_UTF8, utf16);
}

std::string narrowBounded(const wchar_t* text, std::size_t capacity) {
    if (text == nullptr) return {};
    std::size_t length = 0;
    while (length < capacity && text[length] != L'\0') ++length;
    return narrow(std::wstring_view(text, length));
}

std::string WindowsAnsiCodePage::toUtf8(std::string_view bytes) const {
    return narrow(toWide(CP_ACP, bytes));
}

std::string WindowsAnsiCodePage::fromUtf8(std::string_view utf8) const {
    return fromWide(CP_ACP, widen(utf8));
}

std::string userDecimalSeparator() {
    wchar_t buffer[16] = {};
    const int n = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer,
                                    static_cast<int>(std::size(buffer)));
    if (n <= 1) return ".";
    return narrowBounded(buffer, std::size(buffer));
}

}  // namespace gravelin::windows
