// Text at the Windows boundary: the core speaks UTF-8, Windows speaks UTF-16, and the
// machine's ANSI code page is the 8-bit text of SMBIOS strings and of the sealed report.
#pragma once

#include <string>
#include <string_view>

#include "scanner/platform/Platform.h"

namespace gravelin::windows {

// UTF-8 -> UTF-16; malformed sequences become U+FFFD. Throws std::length_error for texts
// too long for the conversion calls.
std::wstring widen(std::string_view utf8);

// UTF-16 -> UTF-8; unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view utf16);

// A zero-terminated UTF-16 text of at most `capacity` code units (a missing terminator
// ends the text at the capacity) -> UTF-8.
std::string narrowBounded(const wchar_t* text, std::size_t capacity);

// The ANSI code page (CP_ACP) through MultiByteToWideChar / WideCharToMultiByte.
class WindowsAnsiCodePage final : public AnsiCodePage {
public:
    [[nodiscard]] std::string toUtf8(std::string_view bytes) const override;
    // Characters the code page lacks become its default character.
    [[nodiscard]] std::string fromUtf8(std::string_view utf8) const override;
};

// The user's decimal separator (GetLocaleInfoEx, LOCALE_SDECIMAL), "." when unknown.
std::string userDecimalSeparator();

}  // namespace gravelin::windows
