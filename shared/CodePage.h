// 8-bit code pages: the interface the scanner writes its report through (Windows' ANSI code
// page) and Windows-1252, the code page of the Linux build, the tools and the receiver.
#pragma once

#include <string>
#include <string_view>

namespace gravelin {

// An 8-bit code page and its conversions to and from UTF-8, the core's text form.
class AnsiCodePage {
public:
    virtual ~AnsiCodePage() = default;
    // 8-bit text in this code page -> UTF-8.
    [[nodiscard]] virtual std::string toUtf8(std::string_view bytes) const = 0;
    // UTF-8 -> 8-bit text; characters the code page lacks become its default character.
    [[nodiscard]] virtual std::string fromUtf8(std::string_view utf8) const = 0;
};

// The Windows-1252 code page: the 8-bit code page of the Linux build and of the tools.
class Windows1252 final : public AnsiCodePage {
public:
    [[nodiscard]] std::string toUtf8(std::string_view bytes) const override;
    [[nodiscard]] std::string fromUtf8(std::string_view utf8) const override;
};

const Windows1252& windows1252();

}  // namespace gravelin
