#include "shared/Seal.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "shared/Blowfish.h"
#include "shared/Text.h"

namespace gravelin {

std::string sealReportText(std::string_view codePageBytes) {
    static constexpr std::array<std::uint8_t, 8> kZeroVector{};
    const std::size_t n = codePageBytes.size();
    if (n > kMaxSealableBytes)
        throw std::length_error("a report of " + std::to_string(n) +
                                " bytes is too large to seal (at most " +
                                std::to_string(kMaxSealableBytes) + ")");
    // Whole 8-byte blocks; the empty text is one block of zeros.
    const std::size_t padded = n == 0 ? 8 : (n + 7) / 8 * 8;
    BlowfishContext context;
    blowfishInit(context, kSealingKey.data(), kSealingKey.size(), kZeroVector);

    std::string block(padded, '\0');
    codePageBytes.copy(block.data(), codePageBytes.size());
    auto* bytes = reinterpret_cast<std::uint8_t*>(block.data());
    blowfishEncrypt(context, bytes, bytes, static_cast<std::uint32_t>(padded), kBlowfishEcb);

    // Two hex digits per byte from one table look-up.
    static const auto kPairs = [] {
        std::array<std::array<char, 2>, 256> pairs{};
        for (std::size_t i = 0; i < pairs.size(); ++i)
            pairs[i] = {kUpperHexDigits[i >> 4], kUpperHexDigits[i & 0xF]};
        return pairs;
    }();
    std::string hexText(padded * 2, '\0');
    char* out = hexText.data();
    for (std::size_t i = 0; i < padded; ++i, out += 2) std::memcpy(out, kPairs[bytes[i]].data(), 2);
    return hexText;
}

void unsealBlocks(std::string& bytes) {
    if (bytes.empty() || bytes.size() % 8 != 0)
        throw std::invalid_argument("sealed bytes are not whole 8-byte blocks");
    // The key schedule (521 block encryptions) is the same for every report: made once.
    static const BlowfishContext context = [] {
        BlowfishContext c;
        blowfishInit(c, kSealingKey.data(), kSealingKey.size(), {});
        return c;
    }();
    auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
    // ECB: every block stands alone, so a text of any size goes through in slices that fit
    // the cipher's 32-bit length.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
        const std::size_t n = std::min(kSlice, bytes.size() - at);
        blowfishDecryptEcb(context, data + at, data + at, static_cast<std::uint32_t>(n));
    }
    // Drop the zero padding: at most one block's worth.
    std::size_t end = bytes.size();
    while (end > 0 && bytes.size() - end < 8 && bytes[end - 1] == '\0') --end;
    bytes.resize(end);
}

std::string unsealReportText(std::string_view hex) {
    if (hex.empty()) throw std::runtime_error("no sealed text");
    if (hex.size() % 2 != 0)
        throw std::runtime_error("odd number of hex digits (" + std::to_string(hex.size()) + ")");
    if (hex.size() % 16 != 0)
        throw std::runtime_error("length " + std::to_string(hex.size()) +
                                 " is not a multiple of 16 hex digits (whole 8-byte blocks)");
    std::string bytes(hex.size() / 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hexDigitValue(hex[2 * i]);
        const int low = hexDigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            throw std::runtime_error("not a hex digit at position " +
                                     std::to_string(2 * i + (high < 0 ? 0 : 1)));
        bytes[i] = static_cast<char>(high * 16 + low);
    }
    unsealBlocks(bytes);
    return bytes;
}

}  // namespace gravelin
