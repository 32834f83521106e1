// Sealing a report for the trip from the scanner to the receiver, and unsealing it there:
// the report's code-page bytes, zero padding to whole 8-byte blocks, Blowfish-ECB under the
// fixed key, upper-case hex. Both directions live here so that they cannot drift apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gravelin {

// The most bytes a report text may have to be sealed: the cipher takes a 32-bit length, so
// the padded text must stay within 2^32 - 8 bytes.
inline constexpr std::size_t kMaxSealableBytes = 0xFFFFFFF8U;

// The report text sealed under the fixed key: code-page bytes, zero padding to whole 8-byte
// blocks, Blowfish-ECB, upper-case hex. Throws std::length_error, touching no byte of the
// text, when it has more than kMaxSealableBytes.
std::string sealReportText(std::string_view codePageBytes);

// Decrypts sealed bytes (a whole number of 8-byte blocks) in place under the fixed key and
// drops the zero padding the sealing added (at most one block's worth). Throws
// std::invalid_argument for any other length.
void unsealBlocks(std::string& bytes);

// The inverse of sealReportText: the report's code-page bytes without the zero padding.
// Throws std::runtime_error naming what is wrong with the hex text (empty, odd, not whole
// blocks, a character that is no hex digit).
std::string unsealReportText(std::string_view hexText);

}  // namespace gravelin
