#include "scanner/wmi/Wmi.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>

namespace gravelin {

namespace {

// The table buffer of this unit; `wmiBufferRecorded` marks the buffer once the byte array
// has arrived in it.
std::unique_ptr<std::uint8_t[]> wmiBuffer;
const std::uint8_t* wmiBufferRecorded = nullptr;

std::int32_t toSignedInteger(std::string_view text) {
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

}  // namespace

std::string queryWmiProperty(Platform& platform, std::string_view wmiNamespace,
                             std::string_view query, std::string_view property,
                             std::uint8_t* destination, std::size_t capacity, std::size_t* copied) {
    WmiPropertyAnswer answer = platform.wmiQueryProperty(wmiNamespace, query, property);
    if (!answer.error.empty()) return answer.error;
    if (const auto* bytes = std::get_if<WmiBytes>(&answer.value.data); bytes && destination) {
        wmiBufferRecorded = destination;
        const std::size_t n = std::min(bytes->size(), capacity);
        if (n > 0) std::memcpy(destination, bytes->data(), n);
        if (copied) *copied = n;
        return "";
    }
    return wmiScalarText(answer.value);
}

bool readSmbiosFromWmi(Platform& platform, const std::uint8_t*& table, std::int32_t& length) {
    const std::int32_t size =
        toSignedInteger(queryWmiProperty(platform, kRawSmbiosNamespace, kRawSmbiosQuery, "Size"));
    if (size <= 0) return false;
    // Left uninitialised: only the delivered bytes are ever touched or read.
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow)
                                               std::uint8_t[static_cast<std::size_t>(size)]);
    if (!buffer) return false;
    std::size_t copied = 0;
    wmiBufferRecorded = nullptr;
    queryWmiProperty(platform, kRawSmbiosNamespace, kRawSmbiosQuery, "SMBiosData", buffer.get(),
                     static_cast<std::size_t>(size), &copied);
    if (wmiBufferRecorded != buffer.get()) return false;  // the byte array did not arrive
    wmiBuffer = std::move(buffer);
    table = wmiBuffer.get();
    // An array shorter than "Size" leaves the rest of the buffer undelivered.
    length = static_cast<std::int32_t>(copied);
    return true;
}

void freeWmiBuffer() {
    wmiBuffer.reset();
    wmiBufferRecorded = nullptr;
}

bool wmiBufferHeld() {
    return wmiBuffer != nullptr;
}

}  // namespace gravelin
