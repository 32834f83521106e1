#include "scanner/smbios/Reg.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace gravelin {

namespace {

constexpr std::size_t kHeaderSize = 8;
std::vector<std::uint8_t> registryBuffer;

}  // namespace

bool readSmbiosFromRegistry(Platform& platform, const std::uint8_t*& table, std::int32_t& length) {
    auto value = platform.registryBinaryValue(kSmbiosRegistryKey, kSmbiosRegistryValue);
    if (!value || value->size() < kHeaderSize) return false;
    const auto& bytes = *value;
    const std::uint32_t announced =
        static_cast<std::uint32_t>(bytes[4]) | (static_cast<std::uint32_t>(bytes[5]) << 8) |
        (static_cast<std::uint32_t>(bytes[6]) << 16) | (static_cast<std::uint32_t>(bytes[7]) << 24);
    // Never let the length cover bytes that were not delivered.
    const std::size_t delivered = bytes.size() - kHeaderSize;
    const std::size_t usable = std::min<std::size_t>(
        {announced, delivered, static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())});
    registryBuffer = std::move(*value);
    table = registryBuffer.data() + kHeaderSize;
    length = static_cast<std::int32_t>(usable);
    return true;
}

void freeRegistryBuffer() {
    registryBuffer.clear();
    registryBuffer.shrink_to_fit();
}

bool registryBufferHeld() {
    return !registryBuffer.empty();
}

}  // namespace gravelin
