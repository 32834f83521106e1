// Small ASCII text helpers both halves use: hex digits and case folding that leave every
// byte above 0x7F alone (report texts are UTF-8 or a code page, never folded by locale).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace gravelin {

inline constexpr std::string_view kUpperHexDigits = "0123456789ABCDEF";

// The value of one hex digit (either case), or -1.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The text with its ASCII letters upper-cased; every byte keeps its position.
inline std::string asciiUpperCased(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = asciiUpper(c);
    return upper;
}

// The text with its ASCII letters lower-cased; every byte keeps its position.
inline std::string asciiLowerCased(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = asciiLower(c);
    return lower;
}

constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

}  // namespace gravelin
