#include "report/Placeholder.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace gravelin::report {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::string normalisedValue(std::string_view value) {
    const auto isEdge = [](char c) { return isBlank(c) || c == '.' || c == '/'; };
    while (!value.empty() && isEdge(value.front())) value.remove_prefix(1);
    while (!value.empty() && isEdge(value.back())) value.remove_suffix(1);
    std::string out;
    out.reserve(value.size());
    bool blank = false;
    for (const char c : value) {
        if (isBlank(c)) {
            blank = true;
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += upper(c);
    }
    return out;
}

std::optional<std::string> uuidDigits(std::string_view value) {
    while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
    if (value.size() >= 2 && value.front() == '{' && value.back() == '}') {
        value.remove_prefix(1);
        value.remove_suffix(1);
    }
    if (value.size() != 36) return std::nullopt;
    std::string digits;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return std::nullopt;
            continue;
        }
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!hex) return std::nullopt;
        digits += upper(c);
    }
    return digits;
}

namespace {

// The first three fields byte-reversed: the other reading of the same 16 bytes.
std::string byteSwapped(const std::string& digits) {
    std::string out = digits;
    const auto reverseBytes = [&](std::size_t at, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i) {
            out[at + 2 * i] = digits[at + 2 * (bytes - 1 - i)];
            out[at + 2 * i + 1] = digits[at + 2 * (bytes - 1 - i) + 1];
        }
    };
    reverseBytes(0, 4);
    reverseBytes(8, 2);
    reverseBytes(12, 2);
    return out;
}

}  // namespace

std::string byteOrderFree(const std::string& digits) {
    return std::min(digits, byteSwapped(digits));
}

std::string dashedUuid(const std::string& digits) {
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" +
           digits.substr(16, 4) + "-" + digits.substr(20);
}

bool isPlaceholderUuid(const std::string& digits) {
    if (std::all_of(digits.begin(), digits.end(), [&](char c) { return c == digits[0]; }))
        return true;  // all 00, all FF and the like
    bool sameBytes = true;
    for (std::size_t i = 2; i < digits.size(); i += 2)
        sameBytes = sameBytes && digits.compare(i, 2, digits, 0, 2) == 0;
    if (sameBytes) return true;
    static constexpr std::array<std::string_view, 3> kKnown = {
        // bytes 00 02 00 03 ... 00 09: Windows shows it as 03000200-0400-0500-0006-000700080009
        "03000200040005000006000700080009",
        // the UUID a Dell firmware derives from an empty service tag
        "4C4C454400000010800000C04F000000",
        // what Wine's WMI answers when it has no firmware UUID
        "DEADDEADDEADDEADDEADDEADDEADDEAD",
    };
    const std::string free = byteOrderFree(digits);
    for (const auto known : kKnown) {
        if (free == byteOrderFree(std::string(known))) return true;
    }
    return false;
}

namespace {

// Compared after normalisation, so "To Be Filled By O.E.M." is "TO BE FILLED BY O.E.M".
constexpr std::string_view kPlaceholders[] = {
    "TO BE FILLED BY O.E.M",
    "TO BE FILLED BY OEM",
    "DEFAULT STRING",
    "DEFAULT",
    "SYSTEM MANUFACTURER",
    "SYSTEM PRODUCT NAME",
    "SYSTEM VERSION",
    "SYSTEM NAME",
    "NONE",
    "NULL",
    "EMPTY",
    "UNKNOWN",
    "INVALID",
    "N/A",
    "NA",
    "OEM",
    "O.E.M",
    "NOT SPECIFIED",
    "NOT AVAILABLE",
    "NOT APPLICABLE",
    "NOT PRESENT",
    "NOT SETTABLE",
    "NO ASSET INFORMATION",
    "NO ASSET TAG",
    "ASSET TAG",
    "BASE BOARD ASSET TAG",
    "CHASSIS ASSET TAG",
    "SKU NUMBER",
    "NO ENCLOSURE",
    "OEM CHASSIS MANUFACTURER",
    "TYPE2 - BOARD VENDOR NAME1",
    "TYPE2 - BOARD PRODUCT NAME1",
    "TYPE2 - BOARD ASSET TAG",
    "DEFAULT_STRING",
    "NOT PROVIDED",
    "SERIAL",
    "SERIALNUMBER",
    "SERNUM",
    "9876543210",
};

}  // namespace

bool isPlaceholder(std::string_view value) {
    if (const auto digits = uuidDigits(value)) return isPlaceholderUuid(*digits);
    const std::string n = normalisedValue(value);
    // Empty, blank, or only punctuation: "", "   ", "..................", "/   /   /".
    if (std::none_of(n.begin(), n.end(), isAlnum)) return true;
    // One character repeated: "0000000000000000", "XXXXXXXX".
    std::string alnum;
    std::copy_if(n.begin(), n.end(), std::back_inserter(alnum), isAlnum);
    if (std::all_of(alnum.begin(), alnum.end(), [&](char c) { return c == alnum[0]; })) return true;
    // The label in place of the value: "System Serial Number", "Base Board Serial
    // Number", "Chassis Serial Number", "OEM Chassis Serial Number".
    if (n.find("SERIAL NUMBER") != std::string::npos) return true;
    // Counting digits: "0123456789", "1234567890", "BSN12345678901234567".
    if (n.find("123456789") != std::string::npos) return true;
    return std::find(std::begin(kPlaceholders), std::end(kPlaceholders), n) !=
           std::end(kPlaceholders);
}

}  // namespace gravelin::report
