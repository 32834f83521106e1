#include "shared/CodePage.h"

#include <array>

#include "shared/Utf8.h"

namespace gravelin {

namespace {

// Windows-1252 bytes 0x80-0x9F; 0 marks the five bytes the code page leaves undefined,
// which Windows maps to the control characters of the same value.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t toUnicode(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F) {
        const char16_t mapped = kHighControls[byte - 0x80];
        return mapped != 0 ? mapped : byte;
    }
    return byte;
}

}  // namespace

std::string Windows1252::toUtf8(std::string_view bytes) const {
    // Runs of ASCII are the same in UTF-8 and are copied whole.
    std::string out;
    out.reserve(bytes.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x80) {
            out.append(bytes.substr(start, i - start));
            appendUtf8(out, toUnicode(byte));
            start = i + 1;
        }
    }
    out.append(bytes.substr(start));
    return out;
}

std::string Windows1252::fromUtf8(std::string_view utf8) const {
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[pos]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++pos;
            continue;
        }
        const char32_t cp = decodeUtf8(utf8, pos);
        char byte = '?';  // the code page's default character
        if (cp >= 0xA0 && cp <= 0xFF) {
            byte = static_cast<char>(cp);
        } else if (cp != kInvalidCodePoint) {
            for (std::size_t i = 0; i < kHighControls.size(); ++i) {
                const char32_t mapped = kHighControls[i] != 0 ? kHighControls[i] : 0x80 + i;
                if (mapped == cp) {
                    byte = static_cast<char>(0x80 + i);
                    break;
                }
            }
        }
        out += byte;
    }
    return out;
}

const Windows1252& windows1252() {
    static const Windows1252 codePage;
    return codePage;
}

}  // namespace gravelin
