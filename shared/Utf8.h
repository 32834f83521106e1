// UTF-8 decoding and encoding of single code points.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gravelin {

inline constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;

// Decodes the code point at text[pos] and advances pos past it. A malformed or truncated
// sequence, an overlong form, a surrogate or a value above U+10FFFF gives kInvalidCodePoint
// and advances pos by one byte.
char32_t decodeUtf8(std::string_view text, std::size_t& pos);

void appendUtf8(std::string& out, char32_t cp);

}  // namespace gravelin
