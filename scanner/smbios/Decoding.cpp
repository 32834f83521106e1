#include "scanner/smbios/Decoding.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace gravelin {

namespace {

std::string& separatorStorage() {
    static std::string separator = ".";
    return separator;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

std::span<const std::uint8_t> StructureView::bytes(std::size_t offset, std::size_t count) const {
    if (offset >= bytes_.size()) return {};
    const std::size_t n = std::min(count, bytes_.size() - offset);
    return bytes_.subspan(offset, n);
}

const std::string& lookupString(const StringList& strings, unsigned number) {
    static const std::string empty;
    if (number == 0 || number > strings.size()) return empty;
    return strings[number - 1];
}

std::string decimal(std::uint64_t value) {
    std::array<char, 24> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return {buffer.data(), end};
}

std::string signedDecimal32(std::uint32_t value) {
    return std::to_string(static_cast<std::int32_t>(value));
}

std::string hex(std::uint64_t value, int width) {
    std::array<char, 16> digits{};
    int count = 0;
    do {
        digits[static_cast<std::size_t>(count++)] = kHexDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::string text = "0x";
    for (int i = count; i < width; ++i) text += '0';
    while (count > 0) text += digits[static_cast<std::size_t>(--count)];
    return text;
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (auto byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
        text += ' ';
    }
    return text;
}

std::string floating(double value) {
    // At most 15 significant digits, no trailing zeros; the exponent form only below 1e-5
    // and from 1e15 on. Formatting happens in the C locale, then the user's separator
    // replaces the full stop.
    std::array<char, 64> buffer{};
    const double magnitude = std::fabs(value);
    int n = 0;
    if (value == 0.0 || !std::isfinite(value)) {
        n = std::snprintf(buffer.data(), buffer.size(), "%.15G", value);
    } else if (magnitude >= 1e-5 && magnitude < 1e15) {
        const int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
        const int decimals = std::max(0, 14 - exponent);
        n = std::snprintf(buffer.data(), buffer.size(), "%.*f", decimals, value);
    } else {
        n = std::snprintf(buffer.data(), buffer.size(), "%.14E", value);
    }
    std::string text(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    // Split off an exponent, trim the mantissa's trailing zeros, rebuild as 1.5E15 / 1E-6.
    std::string exponentText;
    if (const auto e = text.find('E'); e != std::string::npos) {
        const int exponent = std::atoi(text.c_str() + e + 1);
        exponentText = "E" + std::to_string(exponent);
        text.resize(e);
    }
    if (text.find('.') != std::string::npos) {
        while (!text.empty() && text.back() == '0') text.pop_back();
        if (!text.empty() && text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    text += exponentText;
    if (const auto dot = text.find('.'); dot != std::string::npos)
        text.replace(dot, 1, separatorStorage());
    return text;
}

void setDecimalSeparator(std::string separator) {
    separatorStorage() = separator.empty() ? "." : std::move(separator);
}

const std::string& decimalSeparator() {
    return separatorStorage();
}

std::string lookupCode(CodeTable table, std::uint32_t code, std::string_view fallback) {
    for (const auto& entry : table) {
        if (entry.code == code) return entry.text;
    }
    return std::string(fallback);
}

std::string bitList(CodeTable bits, std::uint64_t flags) {
    std::string text;
    for (const auto& entry : bits) {
        if (entry.code < 64 && (flags >> entry.code) & 1U) text += entry.text;
    }
    return text;
}

bool Fields::reaches(std::size_t guardOffset) {
    if (!stopped_ && s_.length() <= guardOffset) stopped_ = true;
    return !stopped_;
}

void Fields::emit(std::string_view name, std::string_view value, std::string_view unit) const {
    sink_(name, value, unit);
}

void Fields::text(std::string_view name, std::size_t guardOffset, std::string_view value,
                  std::string_view unit) {
    if (reaches(guardOffset)) emit(name, value, unit);
}

void Fields::byteDecimal(std::string_view name, std::size_t offset, std::string_view unit) {
    if (reaches(offset)) emit(name, decimal(s_.u8(offset)), unit);
}

void Fields::wordDecimal(std::string_view name, std::size_t offset, std::string_view unit) {
    if (reaches(offset)) emit(name, decimal(s_.u16(offset)), unit);
}

void Fields::dwordSigned(std::string_view name, std::size_t offset, std::string_view unit) {
    if (reaches(offset)) emit(name, signedDecimal32(s_.u32(offset)), unit);
}

void Fields::string(std::string_view name, std::size_t offset) {
    if (reaches(offset)) emit(name, str(offset));
}

void Fields::byteCode(std::string_view name, std::size_t offset, CodeTable table,
                      std::string_view fallback) {
    if (reaches(offset)) emit(name, lookupCode(table, s_.u8(offset), fallback));
}

void Fields::byteHex(std::string_view name, std::size_t offset) {
    if (reaches(offset)) emit(name, hex(s_.u8(offset), 2));
}

void Fields::wordHex(std::string_view name, std::size_t offset) {
    if (reaches(offset)) emit(name, hex(s_.u16(offset), 4));
}

}  // namespace gravelin
