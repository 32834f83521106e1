// The raw SMBIOS structure table, its sources and its walk.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/platform/Platform.h"
#include "scanner/smbios/Decoding.h"

namespace gravelin {

// The scan driver's two report callbacks.
using AttributeCallback =
    std::function<void(std::string_view name, std::string_view value, std::string_view unit)>;
using StartObjectCallback = std::function<void(std::string_view nodeName, std::int32_t index)>;

enum SmbiosSource : std::int32_t { kSourceNone = -1, kSourceRegistry = 1, kSourceWmi = 2 };

// The type's name in the report's node names ("MemoryDevice", "OEM specific", ...).
std::string_view smbiosTypeName(unsigned type);

// Fills the string list from the string area starting at `area` (at most `available`
// bytes) and returns the string-area size: the strings with their terminating zeros, or 1
// when there are none. Returns -1 when the area does not end inside the available bytes.
std::int32_t readStringSet(std::span<const std::uint8_t> area, StringList& strings,
                           const AnsiCodePage& codePage);

// The string-area size that readStringSet gives for `area`, without reading the strings.
std::int32_t stringAreaSize(std::span<const std::uint8_t> area);

// How many structures the walk steps through in these bytes taken as a table: up to the
// first one that is cut off by the end or whose Length is below its header.
std::size_t countWholeStructures(std::span<const std::uint8_t> table);

// The decoder of a structure type, or nullptr when the type has none.
Decoder decoderFor(unsigned type);

class SMBIOS {
public:
    explicit SMBIOS(Platform& platform) : platform_(platform) {}
    ~SMBIOS() { release(); }
    SMBIOS(const SMBIOS&) = delete;
    SMBIOS& operator=(const SMBIOS&) = delete;

    // 0: registry, else WMI; 1: registry only; 2: WMI only; anything else: nothing.
    std::int32_t load(std::int32_t requestCode);
    [[nodiscard]] bool isAvailable() const { return source_ != kSourceNone; }
    void release();

    [[nodiscard]] const std::uint8_t* table() const { return table_; }
    [[nodiscard]] std::int32_t tableLength() const { return tableLength_; }
    [[nodiscard]] std::int32_t sourceKind() const { return source_; }
    [[nodiscard]] std::span<const std::uint8_t> tableBytes() const;

    // The structure types present in the table, ascending.
    [[nodiscard]] std::vector<unsigned> typesPresent() const;

    // Steps through the whole table; for every structure of the type (255: every type)
    // opens its node and runs its decoder. Returns the number of decoded structures.
    std::int32_t walk(std::int32_t typeFilter, std::string_view selectList,
                      const AttributeCallback& addAttribute,
                      const StartObjectCallback& startObject);

    // The select list of the last walk ("*" passes every field).
    [[nodiscard]] const std::string& fieldFilter() const { return fieldFilter_; }

    // Hands the decoder's fields to the walk's attribute callback, filtered by fieldFilter.
    bool decodeStructure(const StructureView& structure, const StringList& strings,
                         const AttributeCallback& addAttribute) const;

private:
    Platform& platform_;
    const std::uint8_t* table_ = nullptr;
    std::int32_t tableLength_ = 0;
    std::int32_t source_ = kSourceNone;
    std::string fieldFilter_ = "*";
};

}  // namespace gravelin
