#include "reading/Unseal.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "shared/Blowfish.h"

namespace gravelin::report {

namespace {

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::optional<std::string_view> sealedTextIn(std::string_view input) {
    constexpr std::string_view kField = "name=\"scanResult\" value=\"";
    if (const auto at = input.find(kField); at != std::string_view::npos) {
        input.remove_prefix(at + kField.size());
        const auto end = input.find('"');
        if (end == std::string_view::npos) return std::nullopt;
        input = input.substr(0, end);
    }
    while (!input.empty() && isAsciiSpace(input.front())) input.remove_prefix(1);
    while (!input.empty() && isAsciiSpace(input.back())) input.remove_suffix(1);
    return input;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
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

std::string unsealText(std::string_view input) {
    const auto found = sealedTextIn(input);
    if (!found) throw std::runtime_error("submit page: the scanResult value has no closing quote");
    const std::string_view hex = *found;
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

}  // namespace gravelin::report
