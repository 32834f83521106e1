// What every structure decoder shares: the view of one structure, its string list, the
// field sink, the Length guard and the text forms of values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin {

// One structure inside the table: its bytes from the type byte up to the end of the table.
// Reads past the end of the table give 0, so a multi-byte field of the last structure
// never reads outside the table.
class StructureView {
public:
    explicit StructureView(std::span<const std::uint8_t> toTableEnd) : bytes_(toTableEnd) {}

    [[nodiscard]] std::uint8_t type() const { return u8(0); }
    [[nodiscard]] std::uint8_t length() const { return u8(1); }
    [[nodiscard]] std::uint16_t handle() const { return u16(2); }

    [[nodiscard]] std::uint8_t u8(std::size_t offset) const {
        return offset < bytes_.size() ? bytes_[offset] : 0;
    }
    [[nodiscard]] std::uint16_t u16(std::size_t offset) const {
        return static_cast<std::uint16_t>(u8(offset) | (u8(offset + 1) << 8));
    }
    [[nodiscard]] std::uint32_t u32(std::size_t offset) const {
        return static_cast<std::uint32_t>(u16(offset)) |
               (static_cast<std::uint32_t>(u16(offset + 2)) << 16);
    }
    [[nodiscard]] std::uint64_t u64(std::size_t offset) const {
        return static_cast<std::uint64_t>(u32(offset)) |
               (static_cast<std::uint64_t>(u32(offset + 4)) << 32);
    }
    // The bytes [offset, offset + count) that lie inside the table.
    [[nodiscard]] std::span<const std::uint8_t> bytes(std::size_t offset, std::size_t count) const;
    // Bytes from the type byte to the end of the table.
    [[nodiscard]] std::size_t available() const { return bytes_.size(); }

    // Reads for callers that pick single fields: a field that does not lie wholly inside
    // the structure's Length (and the table) reads as nothing.
    [[nodiscard]] bool holds(std::size_t offset, std::size_t size) const {
        const std::size_t end = std::min<std::size_t>(length(), bytes_.size());
        return offset <= end && size <= end - offset;
    }
    [[nodiscard]] std::optional<std::uint8_t> field8(std::size_t offset) const {
        if (!holds(offset, 1)) return std::nullopt;
        return u8(offset);
    }
    [[nodiscard]] std::optional<std::uint16_t> field16(std::size_t offset) const {
        if (!holds(offset, 2)) return std::nullopt;
        return u16(offset);
    }
    [[nodiscard]] std::optional<std::uint32_t> field32(std::size_t offset) const {
        if (!holds(offset, 4)) return std::nullopt;
        return u32(offset);
    }
    // The formatted area: the header and the fields up to Length.
    [[nodiscard]] std::span<const std::uint8_t> formatted() const { return bytes(0, length()); }

private:
    std::span<const std::uint8_t> bytes_;
};

// The texts of one structure's string area, in order, already converted to UTF-8.
using StringList = std::vector<std::string>;

// String number n gives entry n - 1; 0 or a number beyond the list gives "".
const std::string& lookupString(const StringList& strings, unsigned number);

// Receives one field: name, value text, unit text.
using FieldSink = std::function<void(std::string_view, std::string_view, std::string_view)>;

// ---- Text forms -------------------------------------------------------------------------

std::string decimal(std::uint64_t value);
// A 4-byte value taken as signed 32-bit.
std::string signedDecimal32(std::uint32_t value);
// "0x" + upper-case digits, zero-padded to width; more digits when the value needs them.
std::string hex(std::uint64_t value, int width);
// Each byte as two upper-case digits followed by one blank.
std::string hexBytes(std::span<const std::uint8_t> bytes);
// Shortest general form with at most 15 significant digits, the locale's decimal separator.
std::string floating(double value);

// The decimal separator used by floating(); the platform's, set once at start-up.
void setDecimalSeparator(std::string separator);
const std::string& decimalSeparator();

// One entry of a value table or bit list.
struct CodeText {
    std::uint32_t code;
    const char* text;
};
using CodeTable = std::span<const CodeText>;

// The text of a code, or the fallback when the table does not list it.
std::string lookupCode(CodeTable table, std::uint32_t code, std::string_view fallback = "Unknown");
// Every named set bit's text, from bit 0 upward; each text carries its own ", ".
std::string bitList(CodeTable bits, std::uint64_t flags);

// ---- Emitting with the Length guard ---------------------------------------------------

// Emits a decoder's fields in order. A field is emitted only when the structure's Length is
// greater than its guard offset; at the first failed guard every later field is dropped.
class Fields {
public:
    Fields(const StructureView& structure, const StringList& strings, const FieldSink& sink)
        : s_(structure), strings_(strings), sink_(sink) {}

    // True while no guard has failed and Length > guardOffset. A false answer latches.
    bool reaches(std::size_t guardOffset);
    [[nodiscard]] bool stopped() const { return stopped_; }

    // The field with a text computed by the caller.
    void text(std::string_view name, std::size_t guardOffset, std::string_view value,
              std::string_view unit = "");
    void byteDecimal(std::string_view name, std::size_t offset, std::string_view unit = "");
    void wordDecimal(std::string_view name, std::size_t offset, std::string_view unit = "");
    void dwordSigned(std::string_view name, std::size_t offset, std::string_view unit = "");
    void string(std::string_view name, std::size_t offset);
    void byteCode(std::string_view name, std::size_t offset, CodeTable table,
                  std::string_view fallback = "Unknown");
    void byteHex(std::string_view name, std::size_t offset);
    void wordHex(std::string_view name, std::size_t offset);

    // Emits without a guard (for fields inside a group whose guard already passed).
    void emit(std::string_view name, std::string_view value, std::string_view unit = "") const;

    [[nodiscard]] const StructureView& structure() const { return s_; }
    [[nodiscard]] const std::string& str(std::size_t offset) const {
        return lookupString(strings_, s_.u8(offset));
    }

private:
    const StructureView& s_;
    const StringList& strings_;
    const FieldSink& sink_;
    bool stopped_ = false;
};

// The common decoder signature.
using Decoder = void (*)(const StructureView&, const StringList&, const FieldSink&);

}  // namespace gravelin
