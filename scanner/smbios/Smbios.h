// The raw SMBIOS structure table, its sources and its walk.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
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

// As readStringSet, with the strings' bytes kept as the firmware wrote them.
std::int32_t readRawStringSet(std::span<const std::uint8_t> area, StringList& strings);

// The string-area size that readStringSet gives for `area`, without reading the strings.
std::int32_t stringAreaSize(std::span<const std::uint8_t> area);

// Steps through the table and calls visit(structure offset, Length) for every structure
// that lies wholly inside it. A structure cut off by the end of the table, or one whose
// Length is below the 4-byte header (the table is broken from there on), ends the walk
// unreported. The strings are only measured here; the visitor reads those it needs. A
// visitor that returns bool ends the walk by returning false.
template <typename Visit>
void forEachStructure(std::span<const std::uint8_t> table, Visit&& visit) {
    std::size_t offset = 0;
    while (offset < table.size()) {
        if (table.size() - offset < 4) break;
        const std::size_t length = table[offset + 1];
        if (length < 4 || length > table.size() - offset) break;
        const std::int32_t areaSize = stringAreaSize(table.subspan(offset + length));
        if (areaSize < 0) break;
        if constexpr (std::is_same_v<decltype(visit(offset, length)), bool>) {
            if (!visit(offset, length)) break;
        } else {
            visit(offset, length);
        }
        offset += length + static_cast<std::size_t>(areaSize) + 1;
    }
}

// How many structures the walk steps through in these bytes taken as a table: up to the
// first one that is cut off by the end or whose Length is below its header.
std::size_t countWholeStructures(std::span<const std::uint8_t> table);

// The SMBIOS version an entry point announces, and its entry point revision (none for the
// legacy "_DMI_" anchor); all zero for an anchor it does not know.
struct EntryPointVersion {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint8_t revision = 0;
};
EntryPointVersion entryPointVersion(std::string_view entryPoint);

// One whole structure of the walk with its strings as the firmware wrote them, for readers
// that pick single fields by offset: every read lies inside the structure's Length, and a
// field beyond it (or a string number 0 or beyond the list) reads as nothing.
class TableStructure {
public:
    TableStructure(std::span<const std::uint8_t> toTableEnd, StringList strings)
        : view_(toTableEnd), strings_(std::move(strings)) {}

    [[nodiscard]] std::uint8_t type() const { return view_.type(); }
    [[nodiscard]] std::uint16_t handle() const { return view_.handle(); }
    [[nodiscard]] std::optional<std::uint8_t> byte(std::size_t offset) const {
        return view_.field8(offset);
    }
    [[nodiscard]] std::optional<std::uint16_t> word(std::size_t offset) const {
        return view_.field16(offset);
    }
    [[nodiscard]] std::optional<std::uint32_t> dword(std::size_t offset) const {
        return view_.field32(offset);
    }
    // The string a string-number byte at `offset` names.
    [[nodiscard]] std::optional<std::string> string(std::size_t offset) const;
    [[nodiscard]] const StringList& strings() const { return strings_; }
    [[nodiscard]] const StructureView& view() const { return view_; }

private:
    StructureView view_;
    StringList strings_;
};

// The structures of a table, as the walk finds them, up to and including the end-of-table
// structure (type 127). The table's bytes must outlive it.
class StructureTable {
public:
    explicit StructureTable(std::span<const std::uint8_t> table);

    [[nodiscard]] const std::vector<TableStructure>& structures() const { return structures_; }
    // The structures of a type, in table order.
    [[nodiscard]] std::vector<const TableStructure*> ofType(std::uint8_t type) const;
    // The first structure with the handle, or nullptr.
    [[nodiscard]] const TableStructure* byHandle(std::uint16_t handle) const;

private:
    std::vector<TableStructure> structures_;
};

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
