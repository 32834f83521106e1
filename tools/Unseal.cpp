#include "tools/Unseal.h"

#include <array>
#include <stdexcept>

#include "delivery/Blowfish.h"

namespace gravelin {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string_view hexPart(std::string_view input) {
    constexpr std::string_view kField = "name=\"scanResult\" value=\"";
    if (const auto at = input.find(kField); at != std::string_view::npos) {
        input.remove_prefix(at + kField.size());
        const auto end = input.find('"');
        if (end == std::string_view::npos)
            throw std::runtime_error("submit page: the scanResult value has no closing quote");
        return input.substr(0, end);
    }
    while (!input.empty() && std::isspace(static_cast<unsigned char>(input.front())))
        input.remove_prefix(1);
    while (!input.empty() && std::isspace(static_cast<unsigned char>(input.back())))
        input.remove_suffix(1);
    return input;
}

}  // namespace

std::string unsealText(std::string_view input) {
    const std::string_view hex = hexPart(input);
    if (hex.empty()) throw std::runtime_error("no sealed text");
    if (hex.size() % 2 != 0)
        throw std::runtime_error("odd number of hex digits (" + std::to_string(hex.size()) + ")");
    if (hex.size() % 16 != 0)
        throw std::runtime_error("length " + std::to_string(hex.size()) +
                                 " is not a multiple of 16 hex digits (whole 8-byte blocks)");
    std::string bytes(hex.size() / 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hexValue(hex[2 * i]);
        const int low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            throw std::runtime_error("not a hex digit at position " +
                                     std::to_string(2 * i + (high < 0 ? 0 : 1)));
        bytes[i] = static_cast<char>(high * 16 + low);
    }
    BlowfishContext context;
    blowfishInit(context, kSealingKey.data(), kSealingKey.size(), {});
    auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
    blowfishDecryptEcb(context, data, data, static_cast<std::uint32_t>(bytes.size()));
    // Drop the zero padding: at most one block's worth.
    std::size_t end = bytes.size();
    while (end > 0 && bytes.size() - end < 8 && bytes[end - 1] == '\0') --end;
    bytes.resize(end);
    return bytes;
}

}  // namespace gravelin
